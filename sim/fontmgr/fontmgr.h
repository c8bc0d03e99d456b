// The stand-in font manager: a 16-bit module ("ATM", "ATM32" and/or "ATM16") with the nineteen
// entry points that the kit binds, each present or absent. Every call is recorded with its raw
// argument bytes and the bytes behind each 16:16 pointer, read through the pointer's descriptor.
// Results are scripted; the enumeration and outline functions call the procedures they are
// handed with scripted data placed in 16-bit memory.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../transition/transition.h"

namespace sim {

// The argument kinds of each entry point, first to last: W a word, D a dword, P / R / G a 16:16
// pointer whose bytes are recorded.
struct AtmFunction {
    const char* name;
    const char* kinds;
};
extern const AtmFunction kAtmFunctions[19];
unsigned ArgBytesOf(const char* kinds);

constexpr unsigned kPointeeBytes = 64;  // recorded from behind each pointer, as far as readable

struct AtmCall {
    std::string name;
    std::vector<uint8_t> args;                  // as they lay on the stack, last argument first
    std::vector<uint32_t> values;               // each argument, first to last: a word or 16:16 pointer
    std::vector<uint32_t> pointers;             // each pointer argument, first to last
    std::vector<std::vector<uint8_t>> pointees; // the bytes behind each
};

// A call as it reached a 16-bit entry point whose argument list `kinds` describes: the raw
// argument bytes, each value first to last, and the bytes behind each pointer (P, R, G).
AtmCall DecodeCall(const char* name, const char* kinds, const uint8_t* args);

struct EnumFont {
    std::string block;  // the 50-byte block A (shorter is padded with zeros)
    std::string name;   // the string S
    uint16_t value = 0; // V
};

struct OutlineStep {
    unsigned procedure;          // 1..4: which procedure argument of ATMGetOutline is called
    std::vector<uint64_t> points;  // 8-byte points: one for procedures 1 and 2, three for 3, none for 4
};

struct FontManagerSetup {
    std::vector<std::string> modules = {"ATM"};
    std::set<std::string> absent;                       // entry points left out
    std::map<std::string, std::deque<uint16_t>> results; // per call in turn; then the default
    // Bytes written through a pointer argument (index among the pointers) before returning.
    std::map<std::string, std::map<unsigned, std::string>> writes;
    // Offset of a byte 0xCB from ATMIsUp's entry; -1: none at or after the entry. The entry
    // holds a 5-byte far jump: an offset below 5 leaves ATMIsUp uncallable.
    int far_return_at = 5;
    unsigned code_size = 0x80; // ATMIsUp's code segment
    std::vector<EnumFont> fonts;           // ATMEnumFonts calls its procedure for each
    std::vector<std::string> mm_blocks;    // ATMEnumMMFonts calls its procedure with each (320 bytes)
    std::vector<OutlineStep> outline;      // ATMGetOutline's calls, in order
    bool stop_on_zero = true;              // a procedure answering 0 ends the enumeration
    // A working font manager instead of scripted answers: a font table that ATMAddFont (final
    // argument 0: add, 1: status) and ATMRemoveFont change, ATMEnumFonts lists and ATMGetOutline
    // draws a square for; ATMGetVersion answers `version`.
    bool working = false;
    uint16_t version = 0x0105;
};

// Answers of the working font manager.
constexpr int16_t kFontAdded = 0, kFontAlreadyInstalled = -2, kFontNotInstalled = -3;
constexpr int16_t kFontInstalled = 1;  // a status request for an installed font

struct FontManager {
    std::vector<AtmCall> calls;
    std::vector<uint16_t> callback_results;  // AX of every procedure call, in order
    std::map<std::string, uint32_t> entries; // entry point of each present function
    uint16_t code_selector = 0;              // ATMIsUp's code segment
    uint16_t isup_offset = 0;
    std::vector<uint16_t> module_handles;
    std::vector<std::string> fonts;          // the working font manager's table

    unsigned CallsOf(const std::string& name) const;
    const AtmCall* LastCall(const std::string& name) const;
};

// Installs the font manager (the 16-bit KERNEL must be installed first, for its registry).
FontManager& InstallFontManager(const FontManagerSetup& setup);
void RemoveFontManager();

}  // namespace sim

// The bridge's operations: the exports (qfatm.h), binding, and the calls of ATM's entry points.
#pragma once
#include <stdint.h>

#define QFATM_API
#include "qfatm.h"

#include "atm_entry_table.h"

extern "C" {

// Binding (binding.cpp).
int BindAtm();              // 1: thunk services bound, ATM found, work block built
uint32_t FindAtmModule();   // the first of "ATM", "ATM32", "ATM16" that is loaded; 0: none
void ClearAtmEntries();     // the nineteen entry points only

// The finish steps of QFFinish, also run by a failed load (lifecycle.cpp).
int32_t FinishBridge();

// Calls of ATM's entry points (atm_calls.asm). Each calls nothing when its entry point is 0 and
// then answers 0 (AtmCallIsUp, AtmCallGetVersion) or QF_NOT_AVAILABLE / QF_NOT_LOADED as
// Loaded is set or clear. Values are passed as their low 16 bits, pointers mapped for the call.
int32_t AtmCallIsUp();
int32_t AtmCallAddFont(uint32_t lead, void* font, uint32_t value, void* a, void* b, uint32_t flag);
int32_t AtmCallRemoveFont(uint32_t lead, void* font, uint32_t value);
int32_t AtmCallBeginFontChange();
int32_t AtmCallForceFontChange();
int32_t AtmCallEndFontChange();
uint32_t AtmCallGetVersion();  // ATM's 16-bit value, zero-extended

}  // extern "C"

// Font information queries (font_queries.asm, font_paths.cpp) and the flat-thunk calls
// (flat_calls.asm). Each removes its own arguments. Values are passed as their low 16 bits,
// pointers mapped for the call; ATM's result comes back sign-extended. An unbound entry point
// calls nothing and answers 0 (AtmCallFontSelected and the flat-thunk calls) or
// QF_NOT_AVAILABLE / QF_NOT_LOADED as Loaded is set or clear.
extern "C" {
int32_t __stdcall AtmCallFontSelected(uint32_t value);
int32_t __stdcall AtmCallGetFontBBox(uint32_t value, void* box);
int32_t __stdcall AtmCallGetFontPaths(uint32_t value, void* pointer, void* record);
int32_t __stdcall AtmCallGetMenuName(uint32_t value, void* a, void* b);
int32_t __stdcall AtmCallGetPostScriptName(uint32_t value, void* a, void* b);
// ATM stores a 16-bit value in the low half of *out, which comes back zero-extended.
int32_t __stdcall AtmCallSelectObject(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t* out);
// AtmCallGetFontPaths with the record (four fields, 260 bytes each) in the 260-byte layout
// whatever ATM's version; ATM's version value is asked once and kept in AtmVersion.
int32_t __stdcall GetFontPathsUniform(uint32_t value, void* pointer, void* record);

// `rect` points to four 32-bit values, passed to ATM as their low 16 bits; null passes null.
int32_t __stdcall AtmCallBBoxBaseXYShowText(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                            const int32_t* rect, void* p6, uint32_t a7, void* p8,
                                            void* p9, uint32_t a10, void* g11, void* g12);
int32_t __stdcall AtmCallXYShowText(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                    const int32_t* rect, void* p6, uint32_t a7, void* p8, void* p9);
// ATM stores a 16-bit value in the low half of *out, which comes back sign-extended.
int32_t __stdcall AtmCallFontAvailable(void* name, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5,
                                       int32_t* out);
}  // extern "C"

// Recorded-callback operations (recorded.cpp): ATM reports through 16-bit callbacks, so its
// calls are recorded by the work block's recorders into a RecordBuffer, and the caller's 32-bit
// callbacks are called afterwards from the records, in the order ATM made its calls. Each
// callback returns non-zero to go on, 0 to stop; `user` is handed unchanged as its last argument.
// Every pointer handed to a callback is valid only until it returns.

// The 32-bit form of the font block that ATMEnumFonts hands over (its 16-bit form has 16-bit
// fields where this has 32-bit ones).
struct LogFontA {
    int32_t Height, Width, Escapement, Orientation, Weight;
    uint8_t Italic, Underline, StrikeOut, CharSet, OutPrecision, ClipPrecision, Quality, PitchAndFamily;
    char FaceName[32];
};

// A named multiple-master instance: the name and the 16-bit value recorded with it.
struct MMFontName {
    const char* Name;
    uint16_t Value;
};

// An outline point: two 32-bit values as ATM gave them.
struct OutlinePoint {
    int32_t X, Y;
};

typedef int32_t(__stdcall* EnumFontsCallback)(const LogFontA* font, const char* name, uint16_t value,
                                               uint32_t user);
// `record` is an MMFontName when the enumeration's pointer was given, else ATM's 320-byte record.
typedef int32_t(__stdcall* EnumMMFontsCallback)(const void* record, uint32_t user);
typedef int32_t(__stdcall* OutlinePointCallback)(const OutlinePoint* point, uint32_t user);
typedef int32_t(__stdcall* OutlineCurveCallback)(const OutlinePoint* p1, const OutlinePoint* p2,
                                                  const OutlinePoint* p3, uint32_t user);
typedef int32_t(__stdcall* OutlineCloseCallback)(uint32_t user);

extern "C" {

// QF_OK when every record was delivered; QF_ABORTED when a callback answered 0; QF_BAD_ARGUMENT
// for a null callback, or a record that is not whole within the recorded bytes; QF_NO_MEMORY when
// no RecordBuffer could be had, ATM answered -8, or ATM answered 0 although a recorder refused a
// record because the RecordBuffer could not grow (no callback is called); QF_BUSY while another
// recording holds the RecordBuffer; QF_NOT_AVAILABLE / QF_NOT_LOADED for an unbound entry point;
// any other ATM result unchanged.
int32_t RecordedEnumFonts(uint32_t value, EnumFontsCallback callback, uint32_t user);
int32_t RecordedEnumMMFonts(uint32_t value, void* p, EnumMMFontsCallback callback, uint32_t user);
// ATM's four outline procedures, in its order: a move and a line (one point each), a curve
// (three points) and the closing of a path (no point).
int32_t RecordedGetOutline(uint32_t a, uint32_t b, void* pointer, OutlinePointCallback move_to,
                           OutlinePointCallback line_to, OutlineCurveCallback curve_to,
                           OutlineCloseCallback close_path, uint32_t user);

// The recording calls (recorded_calls.asm): ATM's result sign-extended.
int32_t AtmCallEnumFonts(uint32_t value, FarPtr16 recorder, uint32_t client);
int32_t AtmCallEnumMMFonts(uint32_t value, void* p, FarPtr16 recorder, uint32_t client);
int32_t AtmCallGetOutline(uint32_t a, uint32_t b, void* pointer, FarPtr16 recorder4, FarPtr16 recorder3,
                          FarPtr16 recorder2, FarPtr16 recorder1, uint32_t client);

}  // extern "C"

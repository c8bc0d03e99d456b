// The 16-bit KERNEL of the test machine: module databases in their loaded NE form, the eight
// KERNEL entry points that the kit looks up by ordinal, and the global heap behind them.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "../transition/transition.h"

namespace sim {

// Reads through a 16:16 address: the linear address of its byte, 0 for an invalid selector.
uint32_t Linear16(FarPtr16 address);
std::string ReadString16(FarPtr16 address, unsigned max = 256);

struct Bundle {
    uint16_t first, last;  // ordinals of the bundle's first and last entries
};

struct Export16 {
    uint16_t ordinal;
    std::string name;
    FarPtr16 address;
};

// A module database at `selector` (0: any) whose resident name is `name`, with the given entry
// bundles; each export lies in the bundle that covers its ordinal, other entries are empty.
// Segment 1's handle is even, segment 2's odd; an export's entry names segment 1 for an odd
// ordinal and 2 for an even one, both resolving to the export's selector. Returns the selector.
uint16_t BuildModuleDatabase(uint16_t selector, const std::string& name, const std::vector<Bundle>& bundles,
                             const std::vector<Export16>& exports);
// A data segment at `selector` that is not a module database.
uint16_t BuildPlainSegment(uint16_t selector, const std::string& contents);
// Makes GetThreadSelectorEntry answer for an empty LDT slot, so that only the processor's limit
// query tells that the selector is unusable; the answer's base addresses `contents`.
void AddPhantomDescriptor(uint16_t selector, const std::string& contents);

// Segments that begin like a module database and are not KERNEL's, each made to fool one faulty
// way of recognising KERNEL by its name; a search that reads as the loaded NE form says passes
// over every one.
enum class Decoy {
    Phantom,              // KERNEL's database in a slot that only GetThreadSelectorEntry reports
    Kernel32,             // a module named "KERNEL32", which begins with "KERNEL"
    LowerCase,            // "kernel"
    ShortName,            // "KERN", a prefix of "KERNEL"
    LastCharacter,        // "KERNEX": the same length, only the last character differs
    NoSignature,          // "\x06KERNEL" at offset 0, no "NE", and so 0 in the word at 0x26
    OnlyTheN,             // KERNEL's database with "NX" for "NE"
    NameAtTheUsualPlace,  // the word at 0x26 leads to "GDI"; "\x06KERNEL" lies at 0x86, where KERNEL
                          // keeps its name
    NameOffsetAbove255,   // the word at 0x26 is 0x0186 and leads to "USER"; "\x06KERNEL" lies at 0x86
    NameBeyondTheLimit,   // KERNEL's database with a limit of 0x7F: the name lies after the limit,
                          // readable through the linear address only
    NameCutByTheLimit,    // the same with a limit of 0x89: the length byte and "KER" below it
    NameInNoAccessPages,  // "NE" in a 0x50-byte segment; the word at 0x26 leads into the no-access
                          // pages after it
};
constexpr Decoy kDecoys[] = {Decoy::Phantom, Decoy::Kernel32, Decoy::LowerCase, Decoy::ShortName, Decoy::LastCharacter,
                             Decoy::NoSignature, Decoy::OnlyTheN, Decoy::NameAtTheUsualPlace,
                             Decoy::NameOffsetAbove255, Decoy::NameBeyondTheLimit, Decoy::NameCutByTheLimit,
                             Decoy::NameInNoAccessPages};
// Places a decoy at `selector` (a phantom replaces any other); returns the selector, 0 when it
// is taken.
uint16_t BuildDecoy(uint16_t selector, Decoy decoy);
// Releases every module database, plain segment, decoy and phantom made so far.
void FreeModuleDatabases();

// 16-bit modules that GetModuleHandle and GetProcAddress know, by name.
uint16_t RegisterModule16(const std::string& name, const std::vector<Export16>& exports);
// Forgets a module: GetModuleHandle no longer finds it (its database stays until
// FreeModuleDatabases).
void UnregisterModule16(const std::string& name);
// Every name that 16-bit GetModuleHandle was asked for since KERNEL was installed, in order.
const std::vector<std::string>& ModuleRequests16();

constexpr uint16_t kKernelOrdinals[] = {15, 16, 17, 18, 47, 50, 171, 176};

struct KernelSetup {
    uint16_t selector = 0x10F;        // where KERNEL's module database lies; 0: nowhere
    std::set<uint16_t> missing;       // ordinals left out of the entry table (gaps)
};
// Installs KERNEL as the setup says (again on every call); returns its module database selector.
uint16_t InstallKernel16(const KernelSetup& setup = {});
FarPtr16 Kernel16Entry(uint16_t ordinal);  // the entry point of one of the eight ordinals

// Failure injection for the global heap: fail the n-th call (1-based; 0 never) or any request
// above a size.
struct HeapFaults {
    unsigned alloc_fail_at = 0, realloc_fail_at = 0, lock_fail_at = 0, alias_fail_at = 0;
    uint32_t alloc_above = 0xFFFFFFFF, realloc_above = 0xFFFFFFFF;
};
HeapFaults& Heap16Faults();

struct HeapCounters {
    unsigned allocs = 0, reallocs = 0, locks = 0, frees = 0, aliases = 0, freed_selectors = 0;
    unsigned moves = 0;  // reallocations that moved the block to new memory and a new selector
};
HeapCounters& Heap16Counters();
unsigned LiveGlobalHandles();
unsigned LiveAliases();
uint32_t GlobalSize16(uint16_t handle);  // 0 for no such handle (a block's selector is none)
// The selector that GlobalLock would answer for the handle, without locking; 0 for no such handle.
uint16_t GlobalSelector16(uint16_t handle);

}  // namespace sim

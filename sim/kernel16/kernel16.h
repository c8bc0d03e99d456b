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
// Releases every module database, plain segment and phantom made so far.
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
    unsigned moves = 0;  // reallocations that moved the block
};
HeapCounters& Heap16Counters();
unsigned LiveGlobalHandles();
unsigned LiveAliases();
uint32_t GlobalSize16(uint16_t handle);  // 0 for no such handle

}  // namespace sim

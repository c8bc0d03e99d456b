// 16-bit KERNEL: the global heap and selector services.
//
// A block lies in its own memory with 64 KB of no-access pages after it and has one selector
// whose limit covers the whole block, so 32-bit offsets reach every byte of a block over 64 KB.
// A movable block's handle is even (its selector minus one); a fixed block's handle is its odd
// selector. Resizing moves the block, so that its last byte still abuts the no-access pages; a
// fixed block cannot grow. The selector stays valid across the move.
#include <cstring>
#include <map>

#include "../core/ldt.h"
#include "../core/machine.h"
#include "kernel16.h"
#include "relay16.h"

namespace sim {
namespace {

constexpr uint16_t kMovable = 0x0002;
constexpr uint16_t kZeroInit = 0x0040;

struct Block {
    GuardedBlock memory;
    uint32_t size;
    bool movable;
};

std::map<uint16_t, Block> blocks;  // by selector
std::map<uint16_t, uint16_t> aliases;  // code selector -> data selector
HeapFaults faults;
HeapCounters counters;

bool Injected(unsigned count, unsigned fail_at) { return fail_at != 0 && count == fail_at; }

SegmentSpec DataSpec(const Block& b)
{
    SegmentSpec spec;
    spec.base = (uint32_t)(uintptr_t)b.memory.data;
    spec.limit = b.size - 1;
    return spec;
}

Block* Find(uint16_t handle)
{
    auto it = blocks.find(handle | 1);
    return it == blocks.end() ? nullptr : &it->second;
}

uint16_t HandleOf(uint16_t selector, const Block& b) { return b.movable ? selector - 1 : selector; }

}  // namespace

HeapFaults& Heap16Faults() { return faults; }
HeapCounters& Heap16Counters() { return counters; }
unsigned LiveGlobalHandles() { return (unsigned)blocks.size(); }
unsigned LiveAliases() { return (unsigned)aliases.size(); }

uint32_t GlobalSize16(uint16_t handle)
{
    Block* b = Find(handle);
    return b ? b->size : 0;
}

// Ordinal 15, GlobalAlloc(WORD flags, DWORD size): a handle, 0 on failure.
uint32_t GlobalAlloc16(const uint8_t* args, void*)
{
    uint32_t size = Arg16D(args, 0);
    uint16_t flags = Arg16W(args, 4);
    ++counters.allocs;
    if (Injected(counters.allocs, faults.alloc_fail_at) || size > faults.alloc_above || size == 0 ||
        size > 0x1000000)
        return 0;
    Block b;
    b.size = size;
    b.movable = flags & kMovable;
    b.memory = AllocGuarded(size, true);
    if (b.memory.data == nullptr) return 0;
    uint16_t selector = AllocSelector(DataSpec(b));
    if (selector == 0) {
        FreeGuarded(b.memory);
        return 0;
    }
    if (!(flags & kZeroInit)) std::memset(b.memory.data, 0xA5, size);  // fresh memory is not zero
    blocks[selector] = b;
    return HandleOf(selector, b);
}

// Ordinal 16, GlobalReAlloc(HGLOBAL handle, DWORD size, WORD flags): the handle, 0 on failure,
// with the block unchanged.
uint32_t GlobalReAlloc16(const uint8_t* args, void*)
{
    uint16_t flags = Arg16W(args, 0);
    uint32_t size = Arg16D(args, 2);
    uint16_t handle = Arg16W(args, 6);
    ++counters.reallocs;
    Block* b = Find(handle);
    if (b == nullptr || Injected(counters.reallocs, faults.realloc_fail_at) || size > faults.realloc_above ||
        size == 0 || size > 0x1000000)
        return 0;
    if (size == b->size) return handle;
    if (size > b->size && !b->movable && !(flags & kMovable)) return 0;
    GuardedBlock moved = AllocGuarded(size, true);
    if (moved.data == nullptr) return 0;
    std::memcpy(moved.data, b->memory.data, size < b->size ? size : b->size);
    if (size > b->size) std::memset(moved.data + b->size, (flags & kZeroInit) ? 0 : 0xA5, size - b->size);
    FreeGuarded(b->memory);
    b->memory = moved;
    b->size = size;
    ++counters.moves;
    SetSelector(handle | 1, DataSpec(*b));
    return handle;
}

// Ordinal 17, GlobalFree(HGLOBAL handle): 0 on success, the handle on failure.
uint32_t GlobalFree16(const uint8_t* args, void*)
{
    uint16_t handle = Arg16W(args, 0);
    ++counters.frees;
    Block* b = Find(handle);
    if (b == nullptr) return handle;
    FreeGuarded(b->memory);
    FreeSelector(handle | 1);
    blocks.erase(handle | 1);
    return 0;
}

// Ordinal 18, GlobalLock(HGLOBAL handle): DX:AX = the block's first byte, 0 on failure.
uint32_t GlobalLock16(const uint8_t* args, void*)
{
    uint16_t handle = Arg16W(args, 0);
    ++counters.locks;
    if (Find(handle) == nullptr || Injected(counters.locks, faults.lock_fail_at)) return 0;
    return MakeFar(handle | 1, 0);
}

// Ordinal 171, AllocDStoCSAlias(WORD selector): a code selector for the same memory, 0 on failure.
uint32_t AllocDStoCSAlias16(const uint8_t* args, void*)
{
    uint16_t data = Arg16W(args, 0);
    ++counters.aliases;
    win32::LdtEntry e;
    if (Injected(counters.aliases, faults.alias_fail_at) || !ReadDescriptor(data, &e)) return 0;
    SegmentSpec spec;
    spec.base = DescriptorBase(e);
    spec.limit = DescriptorLimit(e);
    spec.kind = SegKind::Code;
    uint16_t code = AllocSelector(spec);
    if (code) aliases[code] = data;
    return code;
}

// Ordinal 176, FreeSelector(WORD selector): 0 on success, the selector on failure.
uint32_t FreeSelector16(const uint8_t* args, void*)
{
    uint16_t selector = Arg16W(args, 0);
    auto it = aliases.find(selector);
    if (it == aliases.end()) return selector;
    aliases.erase(it);
    FreeSelector(selector);
    ++counters.freed_selectors;
    return 0;
}

}  // namespace sim

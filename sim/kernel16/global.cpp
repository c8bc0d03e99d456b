// 16-bit KERNEL: the global heap and selector services.
//
// A block lies in its own memory with 64 KB of no-access pages after it and has one selector
// whose limit covers the whole block, so 32-bit offsets reach every byte of a block over 64 KB.
// A fixed block's handle is its selector. A movable block's handle is even and names an LDT slot
// that is kept empty, so handle | 1 faults when loaded: only GlobalLock leads from the handle to
// the block's selector.
//
// GlobalReAlloc moves a block whenever it may, as the platform is free to: a movable block that
// is not locked, and any block when the flags include GMEM_MOVEABLE. A moved block gets new memory
// and a new selector, and its old selector is freed, so that a stale copy faults when loaded; a
// movable block keeps its handle, a fixed block's handle is its new selector. A block that may not
// move (a locked movable block, or a fixed one, without GMEM_MOVEABLE) keeps its selector and is
// resized in place: it can grow to what the pages of its mapping hold (its size when allocated,
// rounded up to whole pages), its bytes shifting within the mapping so that it still ends at the
// no-access pages; beyond that the reallocation fails. No lock is ever undone: the eight entry
// points have no GlobalUnlock.
#include <algorithm>
#include <cstring>
#include <map>

#include "../core/ldt.h"
#include "../core/machine.h"
#include "kernel16.h"
#include "relay16.h"

namespace sim {
namespace {

constexpr uint16_t kMovable = 0x0002;  // GMEM_MOVEABLE
constexpr uint16_t kZeroInit = 0x0040;
constexpr uint32_t kLargestBlock = 0x1000000;

struct Block {
    GuardedBlock memory;
    uint32_t size = 0;
    uint16_t selector = 0;  // what GlobalLock hands out
    bool movable = false;
    unsigned locks = 0;
};

std::map<uint16_t, Block> blocks;  // by handle
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
    auto it = blocks.find(handle);
    return it == blocks.end() ? nullptr : &it->second;
}

// New memory and a new selector for the block's first `size` bytes; false with nothing changed.
bool Move(Block& b, uint32_t size)
{
    Block moved = b;
    moved.size = size;
    moved.memory = AllocGuarded(size, true);
    if (moved.memory.data == nullptr) return false;
    moved.selector = AllocSelector(DataSpec(moved));
    if (moved.selector == 0) {
        FreeGuarded(moved.memory);
        return false;
    }
    std::memcpy(moved.memory.data, b.memory.data, std::min(size, b.size));
    FreeGuarded(b.memory);
    FreeSelector(b.selector);
    b = moved;
    ++counters.moves;
    return true;
}

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

uint16_t GlobalSelector16(uint16_t handle)
{
    Block* b = Find(handle);
    return b ? b->selector : 0;
}

// Ordinal 15, GlobalAlloc(WORD flags, DWORD size): a handle, 0 on failure.
uint32_t GlobalAlloc16(const uint8_t* args, void*)
{
    uint32_t size = Arg16D(args, 0);
    uint16_t flags = Arg16W(args, 4);
    ++counters.allocs;
    if (Injected(counters.allocs, faults.alloc_fail_at) || size > faults.alloc_above || size == 0 ||
        size > kLargestBlock)
        return 0;
    Block b;
    b.size = size;
    b.movable = flags & kMovable;
    b.memory = AllocGuarded(size, true);
    if (b.memory.data == nullptr) return 0;
    b.selector = AllocSelector(DataSpec(b));
    uint16_t slot = b.movable && b.selector ? ReserveSelector() : b.selector;
    if (slot == 0) {
        FreeSelector(b.selector);
        FreeGuarded(b.memory);
        return 0;
    }
    uint16_t handle = b.movable ? (uint16_t)(slot - 1) : slot;
    if (!(flags & kZeroInit)) std::memset(b.memory.data, 0xA5, size);  // fresh memory is not zero
    blocks[handle] = b;
    return handle;
}

// Ordinal 16, GlobalReAlloc(HGLOBAL handle, DWORD size, WORD flags): the block's handle (a moved
// fixed block's new one), 0 on failure, with the block unchanged.
uint32_t GlobalReAlloc16(const uint8_t* args, void*)
{
    uint16_t flags = Arg16W(args, 0);
    uint32_t size = Arg16D(args, 2);
    uint16_t handle = Arg16W(args, 6);
    ++counters.reallocs;
    Block* b = Find(handle);
    if (b == nullptr || Injected(counters.reallocs, faults.realloc_fail_at) || size > faults.realloc_above ||
        size == 0 || size > kLargestBlock)
        return 0;
    if (size == b->size) return handle;
    uint32_t old_size = b->size;
    if ((flags & kMovable) || (b->movable && b->locks == 0)) {
        if (!Move(*b, size)) return 0;
        if (!b->movable) {
            Block moved = *b;
            blocks.erase(handle);
            handle = moved.selector;
            b = &(blocks[handle] = moved);
        }
    } else {
        if (!ResizeGuarded(b->memory, size)) return 0;
        b->size = size;
        SetSelector(b->selector, DataSpec(*b));
    }
    if (size > old_size) std::memset(b->memory.data + old_size, (flags & kZeroInit) ? 0 : 0xA5, size - old_size);
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
    FreeSelector(b->selector);
    if (b->movable) FreeSelector(handle | 1);  // the slot that the handle kept
    blocks.erase(handle);
    return 0;
}

// Ordinal 18, GlobalLock(HGLOBAL handle): DX:AX = the block's first byte, 0 on failure.
uint32_t GlobalLock16(const uint8_t* args, void*)
{
    uint16_t handle = Arg16W(args, 0);
    ++counters.locks;
    Block* b = Find(handle);
    if (b == nullptr || Injected(counters.locks, faults.lock_fail_at)) return 0;
    ++b->locks;
    return MakeFar(b->selector, 0);
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

// Local descriptor table of the machine's one thread, through modify_ldt.
//
// qemu's user-mode emulation loads and checks descriptors faithfully but does not check data
// accesses against segment limits. A segment whose memory comes from AllocGuarded therefore ends
// exactly where no-access pages begin, so that a byte beyond its limit faults as on the processor
// (ResizeGuarded keeps it so; only two decoys of the module search, sim::Decoy, end their limit
// before their memory on purpose).
#pragma once
#include <cstdint>
#include "win32.h"

namespace sim {

enum class SegKind { Data, Code };

struct SegmentSpec {
    uint32_t base = 0;
    uint32_t limit = 0;      // offset of the last byte; page granular when above 0xFFFFF
    SegKind kind = SegKind::Data;
    bool bits32 = false;
};

// The machine's own selectors come from the general range; those below it are left to the tests
// (the kit scans 0x2F-0xFFF for KERNEL, and tests place module databases there).
constexpr uint16_t kFirstGeneralSelector = 0x1007;
constexpr uint16_t kLastGeneralSelector = 0xFFFF;

uint16_t SelectorOfIndex(unsigned index);
unsigned IndexOfSelector(uint16_t selector);

// Allocates a descriptor; `wanted` names the selector, 0 takes a general one. Returns 0 when the
// selector is taken or the table is full.
//
// General selectors are handed out from the top of the table downward, each below the last one
// handed out, wrapping around from kFirstGeneralSelector to the top: the first ones are 0xFFFF,
// 0xFFF7, ..., so that every handle and selector a kit gets has its top bit set, and a selector
// just freed is not handed out again until the range wraps around, so that a stale copy of it
// faults rather than reaching a new segment. ResetSelectorOrder starts again from the top.
uint16_t AllocSelector(const SegmentSpec& spec, uint16_t wanted = 0);
// A general selector taken without a segment: its descriptor is empty, so loading it faults,
// and no other allocation gets it until it is freed.
uint16_t ReserveSelector();
bool SetSelector(uint16_t selector, const SegmentSpec& spec);
void FreeSelector(uint16_t selector);
void ResetSelectorOrder();
// Reads the descriptor from the processor's table; false for an empty slot.
bool ReadDescriptor(uint16_t selector, win32::LdtEntry* out);
// A descriptor's linear base, and its limit scaled by the granularity bit.
uint32_t DescriptorBase(const win32::LdtEntry& entry);
uint32_t DescriptorLimit(const win32::LdtEntry& entry);
// A descriptor that GetThreadSelectorEntry reports although the processor's table has none
// there; null `entry` withdraws it.
void SetPhantomDescriptor(uint16_t selector, const win32::LdtEntry* entry);
bool PhantomDescriptor(uint16_t selector, win32::LdtEntry* out);
unsigned LiveSelectors();

// Memory for a 16-bit segment of `size` bytes followed by 64 KB of no-access pages. The mapping
// has whole pages before the no-access ones; the segment takes the last `size` bytes of them.
struct GuardedBlock {
    uint8_t* data = nullptr;  // first byte of the segment
    void* mapping = nullptr;
    uint32_t mapping_size = 0;
};
GuardedBlock AllocGuarded(uint32_t size, bool executable = false);
void FreeGuarded(GuardedBlock& block);
// The most bytes a segment in the block's mapping can have: its pages before the no-access ones.
uint32_t GuardedRoom(const GuardedBlock& block);
// Resizes the segment within its mapping so that it still ends at the no-access pages: its first
// min(old, new) bytes move with its start (its linear base changes, offsets keep their bytes).
// False, with nothing changed, beyond GuardedRoom.
bool ResizeGuarded(GuardedBlock& block, uint32_t new_size);
unsigned LiveGuardedBlocks();

}  // namespace sim

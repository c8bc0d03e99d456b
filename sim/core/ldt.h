// Local descriptor table of the machine's one thread, through modify_ldt.
//
// qemu's user-mode emulation loads and checks descriptors faithfully but does not check data
// accesses against segment limits. A segment whose memory comes from AllocGuarded therefore ends
// exactly where no-access pages begin, so that a byte beyond its limit faults as on the processor.
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

constexpr uint16_t kFirstGeneralSelector = 0x1007;  // selectors below are left to the tests

uint16_t SelectorOfIndex(unsigned index);
unsigned IndexOfSelector(uint16_t selector);

// Allocates a descriptor; `wanted` names the selector, 0 takes the first free one at or above
// kFirstGeneralSelector. Returns 0 when the selector is taken or the table is full.
uint16_t AllocSelector(const SegmentSpec& spec, uint16_t wanted = 0);
bool SetSelector(uint16_t selector, const SegmentSpec& spec);
void FreeSelector(uint16_t selector);
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

// Memory for a 16-bit segment of `size` bytes followed by 64 KB of no-access pages.
struct GuardedBlock {
    uint8_t* data = nullptr;  // first byte of the segment
    void* mapping = nullptr;
    uint32_t mapping_size = 0;
};
GuardedBlock AllocGuarded(uint32_t size, bool executable = false);
void FreeGuarded(GuardedBlock& block);
unsigned LiveGuardedBlocks();

}  // namespace sim

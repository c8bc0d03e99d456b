#include "ldt.h"

#include <asm/ldt.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <map>

namespace sim {
namespace {

constexpr unsigned kEntries = LDT_ENTRIES;  // 8192
constexpr unsigned kFirstGeneral = kFirstGeneralSelector >> 3, kLastGeneral = kLastGeneralSelector >> 3;
constexpr uint32_t kGuardSize = 0x10000;  // any 16-bit offset past the limit lands in it
std::bitset<kEntries> used;
unsigned next_general = kLastGeneral;  // where the downward search for a free general slot starts
unsigned live_guarded = 0;
std::map<uint16_t, win32::LdtEntry> phantoms;

int ModifyLdt(int func, void* ptr, unsigned long bytes)
{
    return (int)syscall(SYS_modify_ldt, func, ptr, bytes);
}

bool Write(unsigned index, const SegmentSpec* spec)
{
    user_desc d;
    std::memset(&d, 0, sizeof d);
    d.entry_number = index;
    if (spec == nullptr) {
        d.read_exec_only = 1;  // with every other field 0: the empty descriptor
        d.seg_not_present = 1;
    } else {
        bool pages = spec->limit > 0xFFFFF;
        d.base_addr = spec->base;
        d.limit = pages ? spec->limit >> 12 : spec->limit;
        d.limit_in_pages = pages;
        d.seg_32bit = spec->bits32;
        d.contents = spec->kind == SegKind::Code ? 2 : 0;
        d.useable = 1;
    }
    return ModifyLdt(0x11, &d, sizeof d) == 0;
}

unsigned Below(unsigned index) { return index == kFirstGeneral ? kLastGeneral : index - 1; }

// A free general slot, searched downward from next_general with wrap-around; 0 when none is.
unsigned FreeGeneral()
{
    unsigned index = next_general;
    for (unsigned n = kFirstGeneral; n <= kLastGeneral; ++n, index = Below(index))
        if (!used[index]) return index;
    return 0;
}

}  // namespace

uint16_t SelectorOfIndex(unsigned index) { return (uint16_t)(index << 3 | 7); }
unsigned IndexOfSelector(uint16_t selector) { return selector >> 3; }

uint16_t AllocSelector(const SegmentSpec& spec, uint16_t wanted)
{
    unsigned index;
    if (wanted != 0) {
        index = IndexOfSelector(wanted);
        if ((wanted & 7) != 7 || index == 0 || used[index]) return 0;
    } else {
        index = FreeGeneral();
        if (index == 0) return 0;
    }
    if (!Write(index, &spec)) return 0;
    used[index] = true;
    if (wanted == 0) next_general = Below(index);
    return SelectorOfIndex(index);
}

uint16_t ReserveSelector()
{
    unsigned index = FreeGeneral();
    if (index == 0 || !Write(index, nullptr)) return 0;
    used[index] = true;
    next_general = Below(index);
    return SelectorOfIndex(index);
}

void ResetSelectorOrder() { next_general = kLastGeneral; }

bool SetSelector(uint16_t selector, const SegmentSpec& spec)
{
    unsigned index = IndexOfSelector(selector);
    return index < kEntries && used[index] && Write(index, &spec);
}

void FreeSelector(uint16_t selector)
{
    unsigned index = IndexOfSelector(selector);
    if (index >= kEntries || !used[index]) return;
    Write(index, nullptr);
    used[index] = false;
}

bool ReadDescriptor(uint16_t selector, win32::LdtEntry* out)
{
    if ((selector & 4) == 0) return false;  // the machine has no GDT to report
    unsigned index = IndexOfSelector(selector);
    static uint8_t table[kEntries * 8];
    int got = ModifyLdt(0, table, (index + 1) * 8);
    if (got < (int)((index + 1) * 8)) return false;
    static const uint8_t empty[8] = {};
    if (std::memcmp(table + index * 8, empty, 8) == 0) return false;
    std::memcpy(out, table + index * 8, 8);
    return true;
}

uint32_t DescriptorBase(const win32::LdtEntry& e)
{
    return (uint32_t)e.BaseHi << 24 | (uint32_t)e.BaseMid << 16 | e.BaseLow;
}

uint32_t DescriptorLimit(const win32::LdtEntry& e)
{
    uint32_t limit = (uint32_t)(e.Flags2 & 0x0F) << 16 | e.LimitLow;
    return (e.Flags2 & 0x80) ? limit << 12 | 0xFFF : limit;
}

void SetPhantomDescriptor(uint16_t selector, const win32::LdtEntry* entry)
{
    if (entry) phantoms[selector] = *entry;
    else phantoms.erase(selector);
}

bool PhantomDescriptor(uint16_t selector, win32::LdtEntry* out)
{
    auto it = phantoms.find(selector);
    if (it == phantoms.end()) return false;
    *out = it->second;
    return true;
}

unsigned LiveSelectors() { return (unsigned)used.count(); }

GuardedBlock AllocGuarded(uint32_t size, bool executable)
{
    GuardedBlock block;
    const uint32_t page = 4096;
    uint32_t data_pages = (size + page - 1) / page;
    if (data_pages == 0) data_pages = 1;
    uint32_t total = data_pages * page + kGuardSize;
    int prot = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void* map = mmap(nullptr, total, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return block;
    uint8_t* guard = (uint8_t*)map + data_pages * page;
    mprotect(guard, kGuardSize, PROT_NONE);
    block.mapping = map;
    block.mapping_size = total;
    block.data = guard - size;
    ++live_guarded;
    return block;
}

void FreeGuarded(GuardedBlock& block)
{
    if (block.mapping == nullptr) return;
    munmap(block.mapping, block.mapping_size);
    block = GuardedBlock();
    --live_guarded;
}

uint32_t GuardedRoom(const GuardedBlock& block)
{
    return block.mapping ? block.mapping_size - kGuardSize : 0;
}

bool ResizeGuarded(GuardedBlock& block, uint32_t new_size)
{
    if (new_size == 0 || new_size > GuardedRoom(block)) return false;
    uint8_t* guard = (uint8_t*)block.mapping + GuardedRoom(block);
    uint8_t* data = guard - new_size;
    std::memmove(data, block.data, std::min<uint32_t>((uint32_t)(guard - block.data), new_size));
    block.data = data;
    return true;
}

unsigned LiveGuardedBlocks() { return live_guarded; }

}  // namespace sim

// Reading 16-bit memory through selectors without touching a segment register, and the search
// for a module database among the LDT's selectors.
#include <windows.h>

#include "access16.h"

namespace {

constexpr uint16_t kKernelUsualSelector = 0x10F;
constexpr uint16_t kFirstScanned = 0x2F, kScanEnd = 0x1000, kSelectorStep = 8;
constexpr unsigned kMaxModuleName = 9;

// The segment's limit as the processor reports it to this privilege level; 0 when it refuses.
uint32_t SegmentLimit(uint16_t selector)
{
    uint32_t limit = 0;
    __asm__("lsl %k1, %0\n\t"
            "jz 1f\n\t"
            "xorl %0, %0\n"
            "1:"
            : "+r"(limit)
            : "r"((uint32_t)selector)
            : "cc");
    return limit;
}

}  // namespace

extern "C" int ReadSelectorBytes(uint16_t selector, uint32_t offset, void* buffer, uint32_t size)
{
    LDT_ENTRY entry;
    if (!GetThreadSelectorEntry(GetCurrentThread(), selector, &entry)) return 0;
    uint32_t base = (uint32_t)entry.HighWord.Bytes.BaseHi << 24 | (uint32_t)entry.HighWord.Bytes.BaseMid << 16 |
                    entry.BaseLow;
    // offset + size must lie strictly below the limit; tested so that no sum can wrap around.
    uint32_t limit = SegmentLimit(selector);
    if (offset >= limit || size >= limit - offset) return 0;
    return ReadProcessMemory(GetCurrentProcess(), (LPCVOID)(base + offset), buffer, size, nullptr) != 0;
}

extern "C" int IsModuleNamed(uint16_t selector, const uint8_t* name)
{
    uint8_t header[64];
    if (!ReadSelectorBytes(selector, 0, header, sizeof header)) return 0;
    if (header[0] != 'N' || header[1] != 'E') return 0;
    uint16_t names = (uint16_t)(header[0x26] | header[0x27] << 8);
    uint8_t resident[10];
    if (!ReadSelectorBytes(selector, names, resident, sizeof resident)) return 0;
    for (unsigned i = 0; i <= name[0]; ++i)
        if (resident[i] != name[i]) return 0;
    return 1;
}

extern "C" uint16_t FindModuleSelector(const char* name)
{
    uint8_t wanted[kMaxModuleName + 2];
    unsigned length = 0;
    while (name[length] != '\0') {
        if (length == kMaxModuleName) return 0;  // beyond what the 10-byte compare can decide
        wanted[1 + length] = (uint8_t)name[length];
        ++length;
    }
    wanted[0] = (uint8_t)length;
    wanted[1 + length] = 0;
    if (IsModuleNamed(kKernelUsualSelector, wanted)) return kKernelUsualSelector;
    for (uint16_t selector = kFirstScanned; selector < kScanEnd; selector += kSelectorStep)
        if (IsModuleNamed(selector, wanted)) return selector;
    return 0;
}

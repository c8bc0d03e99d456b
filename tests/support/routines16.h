// Tiny 16-bit far procedures (routines16.asm) loaded into a code segment for a test.
#pragma once
#include <cstdint>
#include <cstring>

#include "transition/transition.h"

extern "C" {
extern const uint8_t routines16_start[];
extern const uint32_t routines16_size;
extern const uint32_t routines16_offsets[];
}

enum Routine16 { kAdd, kSwap, kPopsTooFew, kPopsTooMany, kCallBack, kMix, kRectSum, kJumpRealloc, kFarReturn, kLoadBadSelector,
                 kSpoilsBp, kSpoilsSi, kSpoilsDi, kSpoilsDs, kDirectionFlag };

class Routines16 {
public:
    Routines16() : code_(sim::LoadCode16(routines16_start, routines16_size)) {}
    ~Routines16() { sim::FreeCode16(code_); }
    Routines16(const Routines16&) = delete;
    Routines16& operator=(const Routines16&) = delete;
    sim::FarPtr16 operator[](Routine16 r) const { return code_ + routines16_offsets[r]; }

private:
    sim::FarPtr16 code_;
};

using sim::Args16;

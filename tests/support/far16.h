// Flat bytes made reachable from 16-bit code through a selector of their own, for a test.
#pragma once
#include "core/ldt.h"
#include "transition/transition.h"

class Far16Data {
public:
    explicit Far16Data(const void* flat, uint32_t limit = 0xFFF)
    {
        sim::SegmentSpec spec;
        spec.base = (uint32_t)(uintptr_t)flat;
        spec.limit = limit;
        selector_ = sim::AllocSelector(spec);
    }
    ~Far16Data() { sim::FreeSelector(selector_); }
    Far16Data(const Far16Data&) = delete;
    Far16Data& operator=(const Far16Data&) = delete;
    sim::FarPtr16 far() const { return sim::MakeFar(selector_, 0); }

private:
    uint16_t selector_;
};

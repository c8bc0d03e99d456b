// The call-site macro: every argument kind in every frame slot, and every widening rule.
#include <cstring>

#include "access16.h"
#include "bound_bridge_test.h"

namespace {

class CallSiteTest : public BoundBridgeTest {
protected:
    void SetUp() override
    {
        BoundBridgeTest::SetUp();
        if (dll_) target_ = Export<uint32_t*>(dll_, "TestCallTarget");
    }

    // Points the test call sites at a 16-bit entry whose body is `body`.
    void Target(sim::Body16 body, unsigned arg_bytes, void* context)
    {
        *target_ = sim::MakeEntry16(body, arg_bytes, context);
    }

    uint32_t* target_ = nullptr;
};

struct Widening {
    const char* site;
    uint32_t dx_ax;     // what the 16-bit target returns
    uint32_t expected;  // the call site's result
};

uint32_t ReturnContext(const uint8_t*, void* context) { return *static_cast<uint32_t*>(context); }

class WideningTest : public CallSiteTest, public ::testing::WithParamInterface<Widening> {};

TEST_P(WideningTest, ResultIsWidenedByItsRule)
{
    uint32_t dx_ax = GetParam().dx_ax;
    bool has_arg = std::string(GetParam().site) != "TestCallKept";
    bool dword = std::string(GetParam().site) == "TestCallJoined";
    Target(ReturnContext, has_arg ? (dword ? 4 : 2) : 0, &dx_ax);
    uint32_t result = Export<uint32_t (*)(uint32_t)>(dll_, GetParam().site)(0);
    if (std::string(GetParam().site) == "TestCallKept") result &= 0xFFFF;  // only AX is the target's
    EXPECT_EQ(result, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, WideningTest, ::testing::Values(
    Widening{"TestCallSignExtended", 0x1234FFFF, 0xFFFFFFFF},
    Widening{"TestCallSignExtended", 0x12348000, 0xFFFF8000},
    Widening{"TestCallSignExtended", 0x12347FFF, 0x00007FFF},
    Widening{"TestCallZeroExtended", 0x1234FFFF, 0x0000FFFF},
    Widening{"TestCallJoined", 0xABCD1234, 0xABCD1234},
    Widening{"TestCallKept", 0x00001234, 0x1234}),
    [](const auto& info) { return std::string(info.param.site) + std::to_string(info.index); });

// The eight pointers and the word of TestCallEverySlot, as the target received them.
struct EverySlot {
    uint8_t first_bytes[8];
    uint16_t word;
};

uint32_t ReadEverySlot(const uint8_t* args, void* context)
{
    auto* seen = static_cast<EverySlot*>(context);
    // First to last: P P P P P P W P P; the last lies at offset 0.
    static const unsigned kPointerOffsets[8] = {30, 26, 22, 18, 14, 10, 4, 0};
    for (int i = 0; i < 8; ++i) {
        uint32_t far;
        std::memcpy(&far, args + kPointerOffsets[i], 4);
        seen->first_bytes[i] = far ? *(const uint8_t*)(uintptr_t)sim::Linear16(far) : 0;
    }
    std::memcpy(&seen->word, args + 8, 2);
    return 0xFFFE;
}

TEST_F(CallSiteTest, EveryMappingSlotAddressesItsArgumentAndIsReleased)
{
    EverySlot seen = {};
    Target(ReadEverySlot, 34, &seen);
    static const uint8_t b[8] = {10, 11, 12, 13, 14, 15, 16, 17};
    auto site = Export<int32_t (*)(const void*, const void*, const void*, const void*, const void*, const void*,
                                   uint32_t, const void*, const void*)>(dll_, "TestCallEverySlot");
    EXPECT_EQ(site(&b[0], &b[1], &b[2], &b[3], &b[4], &b[5], 0x7FFF0042, &b[6], &b[7]), -2);
    EXPECT_EQ(std::vector<uint8_t>(seen.first_bytes, seen.first_bytes + 8), std::vector<uint8_t>(b, b + 8));
    EXPECT_EQ(seen.word, 0x0042);
    EXPECT_EQ(sim::machine().counters.mappings, 8u);
}

TEST_F(CallSiteTest, NullPointerIsMappedAsItComes)
{
    EverySlot seen = {};
    Target(ReadEverySlot, 34, &seen);
    static const uint8_t b = 9;
    auto site = Export<int32_t (*)(const void*, const void*, const void*, const void*, const void*, const void*,
                                   uint32_t, const void*, const void*)>(dll_, "TestCallEverySlot");
    site(nullptr, &b, &b, &b, &b, &b, 0, &b, nullptr);
    EXPECT_EQ(seen.first_bytes[0], 0);
    EXPECT_EQ(seen.first_bytes[1], 9);
    EXPECT_EQ(seen.first_bytes[7], 0);
    EXPECT_EQ(sim::machine().counters.mappings, 8u);
}

}  // namespace

#include <memory>

#include "machine_test.h"
#include "routines16.h"

namespace {

class ThunkTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sites_ = Load("thunk_sites.dll");
        ASSERT_NE(sites_, nullptr);
    }

    typedef uint32_t (*CallWW)(uint32_t target, uint32_t a, uint32_t b);

    // Runs `fn`, expecting exactly one contract violation containing `text`.
    template <typename Fn> void ExpectViolation(Fn fn, const char* text)
    {
        fn();
        ASSERT_EQ(sim::machine().violations.size(), 1u);
        EXPECT_NE(sim::machine().violations[0].find(text), std::string::npos) << sim::machine().violations[0];
        sim::machine().violations.clear();
    }

    Routines16 routines_;
    sim::PeModule* sites_ = nullptr;
};

TEST_F(ThunkTest, WordDwordAndMappedPointerReachTheTarget)
{
    static const uint8_t data[] = {0x34, 0x12, 0xEE};
    auto call = Export<uint32_t (*)(uint32_t, uint32_t, uint32_t, const void*)>(sites_, "CallWDP");
    EXPECT_EQ(call(routines_[kMix], 0x70001, 0xABCD5555, data), 0xABCD1235u)
        << "the word at p (0x1234) plus the low half of w; DX the high half of d";
    EXPECT_EQ(sim::machine().counters.qt_thunk_calls, 1u);
    EXPECT_EQ(sim::machine().counters.mappings, 1u);
}

TEST_F(ThunkTest, DxAxResultAndWordTruncation)
{
    auto call = Export<CallWW>(sites_, "CallWW");
    EXPECT_EQ(call(routines_[kAdd], 0x12340001, 0xFFFF0002), 0x5A5A0003u);
}

TEST_F(ThunkTest, ArgumentListLongerOrShorterThanTheTargetPopsIsCaught)
{
    ExpectViolation([&] { Export<CallWW>(sites_, "CallWWExtra")(routines_[kAdd], 1, 2); },
                    "popped 4 bytes of arguments, not 6");
    ExpectViolation([&] { Export<CallWW>(sites_, "CallWWShort")(routines_[kAdd], 1, 2); },
                    "popped 4 bytes of arguments, not 2");
    EXPECT_EQ(Export<CallWW>(sites_, "CallWW")(routines_[kAdd], 1, 2) & 0xFFFF, 3u) << "stacks sound afterwards";
}

TEST_F(ThunkTest, QtThunkKeepsOnlyWhatItsContractPromises)
{
    uint32_t regs[5];
    auto call = Export<uint32_t (*)(uint32_t, uint32_t, uint32_t, uint32_t*)>(sites_, "RegistersAfterQtThunk");
    EXPECT_EQ(call(routines_[kAdd], 5, 6, regs), 0x5A5A000Bu);
    EXPECT_EQ(regs[0] & 0xFFFF, 11u);
    EXPECT_NE(regs[0] >> 16, 0u) << "the upper half of EAX is not the caller's";
    EXPECT_NE(regs[1], 0x11111111u) << "EBX";
    EXPECT_NE(regs[2], 5u) << "ECX";
    EXPECT_NE(regs[3], 0x22222222u) << "ESI";
    EXPECT_NE(regs[4], 0x33333333u) << "EDI";
}

TEST_F(ThunkTest, SlotMappingOverwritesTheSlot)
{
    static const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t out[2] = {};
    Export<void (*)(uint32_t, const void*, uint32_t*)>(sites_, "MapSlot12")(0, data, out);
    EXPECT_EQ(out[0], out[1]) << "the slot holds the 16:16 pointer";
    EXPECT_NE(out[0], 0u);
    EXPECT_EQ(out[0] & 0xFFFF, 0u);
    EXPECT_EQ(sim::machine().counters.mappings, 1u);
}

TEST_F(ThunkTest, NullPointerMapsToNull)
{
    uint32_t out[2] = {9, 9};
    Export<void (*)(uint32_t, const void*, uint32_t*)>(sites_, "MapSlot12")(0, nullptr, out);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(sim::machine().counters.mappings, 1u);
}

TEST_F(ThunkTest, GeneralMappingAddressesTheSameBytesAndReleaseKeepsEbx)
{
    static const uint8_t data[] = {0x5C, 0x00};
    auto map = Export<void (*)(const void*, uint32_t*)>(sites_, "MapGeneral");
    uint32_t out[4] = {};
    map(data, out);
    EXPECT_NE(out[0], 0u);
    EXPECT_EQ(out[2], 0x5Cu) << "read through the 16:16 pointer";
    EXPECT_EQ(out[3], 0x77u) << "SUnMapLS keeps EBX";
    map(nullptr, out);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(sim::machine().counters.mappings, 2u);
}

TEST_F(ThunkTest, GeneralReleaseNeedsTheTokenNotThePointer)
{
    static const uint8_t data[] = {1, 2};
    ExpectViolation([&] { Export<void (*)(const void*)>(sites_, "UnmapGeneralWithPointer")(data); },
                    "is not the token of a live mapping");
    EXPECT_EQ(sim::machine().releases, std::vector<uint32_t>{(uint32_t)(uintptr_t)data}) << "released by its token";
}

TEST_F(ThunkTest, NullGeneralMappingHasATokenAndIsReleased)
{
    uint32_t out[4] = {};
    auto map = Export<void (*)(const void*, uint32_t*)>(sites_, "MapGeneral");
    map(nullptr, out);
    EXPECT_EQ(out[0], 0u) << "the null 16:16 pointer";
    EXPECT_NE(out[1], 0u) << "a token all the same";
    EXPECT_EQ(sim::machine().releases, std::vector<uint32_t>{0});
}

TEST_F(ThunkTest, ReleasingASlotThatWasNeverMappedIsAViolation)
{
    ExpectViolation([&] { Export<void (*)(uint32_t, uint32_t)>(sites_, "UnmapUnmapped")(0, 0x12340000); },
                    "no mapping was made");
}

}  // namespace

namespace {

typedef int32_t(WINAPI* FtRectFn)(uint32_t target, const int32_t* rect, uint32_t a);

TEST_F(ThunkTest, FlatThunkTranslatesTheMaskedRectanglePointer)
{
    const int32_t rect[4] = {1, 65536 + 2, -1, 4};  // as 16-bit values: 1, 2, -1, 4
    auto call = Export<FtRectFn>(sites_, "FtRect");
    EXPECT_EQ(call(routines_[kRectSum], rect, 10), 16);
    EXPECT_EQ(sim::machine().counters.mappings, 1u);
    EXPECT_EQ(call(routines_[kRectSum], nullptr, 10), -1) << "null: no copy, no mask bit; 0xFFFF sign-extended";
    EXPECT_EQ(sim::machine().counters.mappings, 1u);
}

TEST_F(ThunkTest, FlatThunkExitMustMatchTheArgumentSizeGivenToProlog)
{
    const int32_t rect[4] = {1, 2, 3, 4};
    ExpectViolation([&] { Export<FtRectFn>(sites_, "FtRectWrongSize")(routines_[kRectSum], rect, 0); },
                    "FT_Exit12 closes a frame whose arguments FT_Prolog was told are 16 bytes");
}

TEST_F(ThunkTest, FlatThunkCallerMustNotWriteIntoPrologsArea)
{
    const int32_t rect[4] = {1, 2, 3, 4};
    Export<FtRectFn>(sites_, "FtRectInPrologArea")(routines_[kRectSum], rect, 0);
    ASSERT_FALSE(sim::machine().violations.empty());
    EXPECT_NE(sim::machine().violations[0].find("FT_Thunk: the caller wrote into FT_Prolog's area at EBP-64"),
              std::string::npos) << sim::machine().violations[0];
    sim::machine().violations.clear();
}

}  // namespace

#include <cstdio>
#include <cstring>
#include <memory>

#include "machine_test.h"
#include "routines16.h"

namespace {

class TransitionTest : public MachineTest {
protected:
    void TearDown() override
    {
        EXPECT_EQ(sim::CallDepth16(), 0u);
        MachineTest::TearDown();
    }

    sim::FarPtr16 At(Routine16 r) const { return (*routines_)[r]; }

    std::unique_ptr<Routines16> routines_ = std::make_unique<Routines16>();
};

using Args = Args16;

TEST_F(TransitionTest, WordArgumentsAndResultInAxAndDx)
{
    Args a;
    a.W(0x1234).W(0x0101);
    uint32_t r = sim::CallTo16(At(kAdd), a);
    EXPECT_EQ(r, 0x5A5A1335u);
}

TEST_F(TransitionTest, DwordArgumentComesBackAsDxAx)
{
    Args a;
    a.D(0xCAFE1234);
    EXPECT_EQ(sim::CallTo16(At(kSwap), a), 0x1234CAFEu);
}

TEST_F(TransitionTest, CalleeThatPopsTheWrongCountIsAViolation)
{
    for (Routine16 r : {kPopsTooFew, kPopsTooMany}) {
        Args a;
        a.D(0);
        sim::CallTo16(At(r), a);
        ASSERT_EQ(sim::machine().violations.size(), 1u) << r;
        EXPECT_NE(sim::machine().violations[0].find(r == kPopsTooFew ? "popped 2 bytes" : "popped 6 bytes"),
                  std::string::npos) << sim::machine().violations[0];
        sim::machine().violations.clear();
    }
    Args a;
    a.W(1).W(2);
    EXPECT_EQ(sim::CallTo16(At(kAdd), a) & 0xFFFF, 3u) << "the stack is sound afterwards";
}

TEST_F(TransitionTest, CalleeThatDoesNotKeepBpSiDiOrDsIsAViolation)
{
    char code_ds[8];  // kSpoilsDs leaves its own code selector in DS
    std::snprintf(code_ds, sizeof code_ds, "DS %04X", At(kSpoilsDs) >> 16);
    struct Case {
        Routine16 routine;
        const char* left;  // what the violation reports
    };
    for (const Case& c : {Case{kSpoilsBp, "BP B0B1"}, Case{kSpoilsSi, "SI 5152"}, Case{kSpoilsDi, "DI D1D2"},
                          Case{kSpoilsDs, code_ds}}) {
        sim::CallTo16(At(c.routine), nullptr, 0);
        ASSERT_EQ(sim::machine().violations.size(), 1u) << c.left;
        const std::string& v = sim::machine().violations[0];
        EXPECT_NE(v.find("did not keep its caller's registers"), std::string::npos) << v;
        EXPECT_NE(v.find(c.left), std::string::npos) << v;
        sim::machine().violations.clear();
    }
    sim::CallTo16(At(kFarReturn), nullptr, 0);
    EXPECT_TRUE(sim::machine().violations.empty()) << "a procedure that keeps them all passes";
}

TEST_F(TransitionTest, DirectionFlagOnEntryFollowsTheMachineAndIsClearAfterwards)
{
    for (bool set : {false, true}) {
        sim::machine().enter16_direction_set = set;
        EXPECT_EQ(sim::CallTo16(At(kDirectionFlag), nullptr, 0) & 0xFFFF, set ? 0x400u : 0u);
        uint32_t flags;
        __asm__ volatile("pushf\n\tpop %0" : "=r"(flags));
        EXPECT_EQ(flags & 0x400, 0u) << "the C++ caller gets a clear direction flag back";
    }
}

struct Nested {
    sim::FarPtr16 add;
    uint16_t seen[2];
};

// A body reached from 16-bit code that calls 16-bit code again.
uint32_t AddThroughSixteenBit(const uint8_t* args, void* context)
{
    auto* n = static_cast<Nested*>(context);
    std::memcpy(n->seen, args, 4);  // 0x1111 (last pushed), then x
    Args a;
    a.W(n->seen[1]).W(n->seen[0]);
    return 0xFFFF0000u | (sim::CallTo16(n->add, a) & 0xFFFF);
}

TEST_F(TransitionTest, RelayedBodyCallsBackIntoSixteenBitCode)
{
    Nested n{At(kAdd), {}};
    sim::FarPtr16 entry = sim::MakeEntry16(AddThroughSixteenBit, 4, &n);
    Args a;
    a.D(entry).W(0x0200);
    uint32_t r = sim::CallTo16(At(kCallBack), a);
    EXPECT_EQ(n.seen[0], 0x1111);
    EXPECT_EQ(n.seen[1], 0x0200);
    EXPECT_EQ(r & 0xFFFF, 0x1312u) << "0x200 + 0x1111 + 1, with DS, SI, DI and BP kept";
}

using TransitionDeathTest = TransitionTest;

TEST_F(TransitionDeathTest, FaultInSixteenBitCodeIsDispatchedAndNamesItsAddress)
{
    sim::FarPtr16 routine = At(kLoadBadSelector);
    char expected[96];
    std::snprintf(expected, sizeof expected, "unhandled fault.*access violation.*at %04X:0000%04X",
                  routine >> 16, (routine & 0xFFFF) + 3);
    EXPECT_EXIT(sim::CallTo16(routine, nullptr, 0), ::testing::ExitedWithCode(sim::kUnhandledFaultExit), expected);
}

uint32_t EchoFirstWord(const uint8_t* args, void* context)
{
    unsigned n = *static_cast<unsigned*>(context);
    uint16_t first = 0;
    if (n >= 2) std::memcpy(&first, args + n - 2, 2);  // the first argument lies highest
    return 0x00770000u | first;
}

TEST_F(TransitionTest, EntryPopsExactlyItsArgumentBytes)
{
    for (unsigned n : {0u, 2u, 6u, 20u}) {
        sim::FarPtr16 entry = sim::MakeEntry16(EchoFirstWord, n, &n);
        Args a;
        for (unsigned k = 0; k < n / 2; ++k) a.W((uint16_t)(0x100 + k));
        uint32_t r = sim::CallTo16(entry, a);
        EXPECT_EQ(r, n ? 0x00770100u : 0x00770000u) << n;
        EXPECT_TRUE(sim::machine().violations.empty()) << n;
    }
}

}  // namespace

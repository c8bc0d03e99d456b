#include "machine_test.h"

namespace {

typedef int (*ProbeSelector)(unsigned selector, unsigned offset, unsigned char* out);

class FaultTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        faults_ = Load("faults.dll");
        ASSERT_NE(faults_, nullptr);
        block_ = sim::AllocGuarded(64);
        for (int i = 0; i < 64; ++i) block_.data[i] = (uint8_t)(0xA0 + i);
        sim::SegmentSpec spec;
        spec.base = (uint32_t)(uintptr_t)block_.data;
        spec.limit = 63;
        selector_ = sim::AllocSelector(spec, 0x10F);
        ASSERT_EQ(selector_, 0x10F);
    }

    void TearDown() override
    {
        sim::FreeSelector(selector_);
        sim::FreeGuarded(block_);
        MachineTest::TearDown();
    }

    unsigned Gs() { return Export<unsigned (*)()>(faults_, "CurrentGs")(); }
    unsigned LastCode() { return Export<unsigned (*)()>(faults_, "LastExceptionCode")(); }

    sim::PeModule* faults_ = nullptr;
    sim::GuardedBlock block_;
    uint16_t selector_ = 0;
};

TEST_F(FaultTest, GuardedReadWithinTheLimitSucceeds)
{
    unsigned char byte = 0;
    EXPECT_EQ(Export<ProbeSelector>(faults_, "ProbeSelectorByte")(selector_, 63, &byte), 1);
    EXPECT_EQ(byte, 0xA0 + 63);
    EXPECT_EQ(Gs(), sim::HostGs());
    EXPECT_EQ(LastCode(), 0u);
}

struct SelectorFault {
    const char* name;
    unsigned selector;  // 0: the test's segment
    unsigned offset;
};

class SelectorFaultTest : public FaultTest, public ::testing::WithParamInterface<SelectorFault> {};

TEST_P(SelectorFaultTest, IsCaughtWithTheRegisterRestoredAndExecutionResumed)
{
    unsigned selector = GetParam().selector ? GetParam().selector : selector_;
    unsigned char byte = 0x55;
    EXPECT_EQ(Export<ProbeSelector>(faults_, "ProbeSelectorByte")(selector, GetParam().offset, &byte), 0);
    EXPECT_EQ(byte, 0x55);
    EXPECT_EQ(LastCode(), win32::kAccessViolation);
    EXPECT_EQ(Gs(), sim::HostGs());
    EXPECT_EQ(sim::CurrentTib()->ExceptionList, win32::kChainEnd);
}

INSTANTIATE_TEST_SUITE_P(Faults, SelectorFaultTest, ::testing::Values(
    SelectorFault{"BeyondTheLimit", 0, 64},
    SelectorFault{"FarBeyondTheLimit", 0, 4096 + 64},
    SelectorFault{"EmptyLdtSlot", 0x2F, 0},
    SelectorFault{"EmptySlotAmongTheMachinesOwn", 0x8007, 0},
    SelectorFault{"GdtSelectorAtKernelPrivilege", 0x10, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, UnmappedFlatAddressGivesTheFaultAddress)
{
    unsigned char byte = 0;
    const unsigned char* beyond = block_.data + 64;  // the no-access page after the block
    EXPECT_EQ(Export<int (*)(const unsigned char*, unsigned char*)>(faults_, "ProbeFlatByte")(beyond, &byte), 0);
    EXPECT_EQ(LastCode(), win32::kAccessViolation);
    EXPECT_EQ(Export<unsigned (*)()>(faults_, "LastFaultAddress")(), (unsigned)(uintptr_t)beyond);
}

TEST_F(FaultTest, ADecliningHandlerPassesTheFaultDownTheChain)
{
    unsigned char byte = 0;
    EXPECT_EQ(Export<ProbeSelector>(faults_, "ProbeSelectorByteDeclined")(selector_, 64, &byte), 0);
    EXPECT_EQ(Export<unsigned (*)()>(faults_, "Declined")(), 1u);
    EXPECT_EQ(Gs(), sim::HostGs());
}

using FaultDeathTest = FaultTest;

TEST_F(FaultDeathTest, UnhandledFaultEndsTheRunNamingFaultAndAddress)
{
    auto read = Export<unsigned (*)(const unsigned*)>(faults_, "ReadFlatUnguarded");
    const unsigned* beyond = (const unsigned*)(block_.data + 64);
    char expected[64];
    std::snprintf(expected, sizeof expected, "unhandled fault.*access violation.*0x%08X", (unsigned)(uintptr_t)beyond);
    EXPECT_EXIT(read(beyond), ::testing::ExitedWithCode(sim::kUnhandledFaultExit), expected);
}

TEST_F(FaultDeathTest, AHandlerThatResumesTheFaultUnchangedEndsTheRunInsteadOfSpinning)
{
    auto read = Export<void (*)(const unsigned*)>(faults_, "ReadFlatRetrying");
    const unsigned* beyond = (const unsigned*)(block_.data + 64);
    EXPECT_EXIT(read(beyond), ::testing::ExitedWithCode(sim::kUnhandledFaultExit), "again and again");
}

}  // namespace

#include "machine_test.h"

#include <cstdlib>
#include <stdexcept>

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

// Each kind of processor exception as Windows reports it to a handler that steps over the
// instruction and resumes: the code, the address, the parameters, and the CONTEXT's Eip. Windows
// reports int3 at the int3 with Eip on it as well (a handler adds 1); into and the trap flag trap
// past their instruction; icebp is a single step after itself; the divide error tells division by
// zero from a quotient too large by the divisor.
struct Seen {
    unsigned code, address, parameters, info0, info1, eip, eflags;
};

struct ExceptionKind {
    const char* name;  // the fixture's routine; name_Site is the instruction
    unsigned code;
    unsigned address_offset, eip_offset;  // from the instruction
    unsigned parameters;
    unsigned info0, info1;                // checked as far as `parameters` goes
};

class ExceptionKindTest : public FaultTest, public ::testing::WithParamInterface<ExceptionKind> {};

TEST_P(ExceptionKindTest, IsReportedAsWindowsReportsItAndResumes)
{
    const ExceptionKind& kind = GetParam();
    auto* seen = Export<Seen*>(faults_, "LastException");
    ASSERT_NE(seen, nullptr);
    auto site = (unsigned)(uintptr_t)sim::FindPeExport(faults_, (std::string(kind.name) + "_Site").c_str());
    ASSERT_NE(site, 0u);
    EXPECT_EQ(Export<unsigned (*)()>(faults_, kind.name)(), 1u) << "execution did not go on after the exception";
    EXPECT_EQ(seen->code, kind.code);
    EXPECT_EQ(seen->address, site + kind.address_offset);
    EXPECT_EQ(seen->eip, site + kind.eip_offset);
    EXPECT_EQ(seen->parameters, kind.parameters);
    if (kind.parameters >= 1) {
        EXPECT_EQ(seen->info0, kind.info0);
    }
    if (kind.parameters >= 2) {
        EXPECT_EQ(seen->info1, kind.info1);
    }
    EXPECT_EQ(seen->eflags & 0x100, 0u) << "the trap flag is set in the CONTEXT";
    EXPECT_EQ(sim::CurrentTib()->ExceptionList, win32::kChainEnd);
}

INSTANTIATE_TEST_SUITE_P(Exceptions, ExceptionKindTest, ::testing::Values(
    //             routine                   code                            address eip params info0 info1
    ExceptionKind{"Int3",                   win32::kBreakpoint,             0, 0, 1, 0, 0},
    ExceptionKind{"IntThree",               win32::kBreakpoint,             1, 1, 1, 0, 0},
    ExceptionKind{"DivideByZero",           win32::kIntegerDivideByZero,    0, 0, 0, 0, 0},
    ExceptionKind{"DivideOverflow",         win32::kIntegerOverflow,        0, 0, 0, 0, 0},
    ExceptionKind{"DivideByZeroInMemory",   win32::kIntegerDivideByZero,    0, 0, 0, 0, 0},
    ExceptionKind{"DivideOverflowInMemory", win32::kIntegerOverflow,        0, 0, 0, 0, 0},
    ExceptionKind{"SignedByteOverflow",     win32::kIntegerOverflow,        0, 0, 0, 0, 0},
    ExceptionKind{"Into",                   win32::kIntegerOverflow,        0, 1, 0, 0, 0},
    ExceptionKind{"Bound",                  win32::kArrayBoundsExceeded,    0, 0, 0, 0, 0},
    ExceptionKind{"Hlt",                    win32::kPrivilegedInstruction,  0, 0, 0, 0, 0},
    ExceptionKind{"Cli",                    win32::kPrivilegedInstruction,  0, 0, 0, 0, 0},
    ExceptionKind{"InPort",                 win32::kPrivilegedInstruction,  0, 0, 0, 0, 0},
    ExceptionKind{"ReadCr0",                win32::kPrivilegedInstruction,  0, 0, 0, 0, 0},
    ExceptionKind{"Ud2",                    win32::kIllegalInstruction,     0, 0, 0, 0, 0},
    ExceptionKind{"IntFF",                  win32::kAccessViolation,        0, 0, 2, 0, 0xFFFFFFFFu},
    ExceptionKind{"WriteToNull",            win32::kAccessViolation,        0, 0, 2, 1, 0},
    ExceptionKind{"TrapFlag",               win32::kSingleStep,             0, 0, 0, 0, 0},
    ExceptionKind{"Icebp",                  win32::kSingleStep,             1, 1, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

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

// The machine's own failures end the run with a message too: a C++ exception cannot cross the
// program's frames (they have no unwind tables), and an abort is not a way to end without a word.
[[noreturn]] void ThrowFromTheMachine() { throw std::runtime_error("a request the machine cannot carry out"); }

TEST_F(FaultDeathTest, AnExceptionThatCannotCrossTheProgramEndsTheRunByName)
{
    auto call_through = Export<void (*)(void (*)())>(faults_, "CallThrough");
    EXPECT_EXIT(call_through(ThrowFromTheMachine), ::testing::ExitedWithCode(sim::kMachineFailureExit),
                "^sim: the machine failed: uncaught exception: a request the machine cannot carry out\n$");
}

TEST_F(FaultDeathTest, AnAbortEndsTheRunByName)
{
    EXPECT_EXIT(std::abort(), ::testing::ExitedWithCode(sim::kMachineFailureExit), "^sim: the machine failed: it aborted\n$");
}

// A broken exception chain ends the run as Windows ends it, in the unhandled-exception path; a
// handler that faults (or is no code) ends it as a fault during dispatch, and one that resumes
// with a selector that cannot be loaded ends it too. The message names what was wrong and the
// exception that was being dispatched.
struct BrokenChain {
    const char* name;
    unsigned kind;  // FaultWithChain's argument
    int exit;
    const char* message;
};

class BrokenChainDeathTest : public FaultTest, public ::testing::WithParamInterface<BrokenChain> {};

TEST_P(BrokenChainDeathTest, EndsTheRunNamingTheFault)
{
    auto fault = Export<void (*)(unsigned)>(faults_, "FaultWithChain");
    char handler[16];
    std::snprintf(handler, sizeof handler, "%08X", (unsigned)(uintptr_t)sim::FindPeExport(faults_, "FaultingHandler"));
    std::string message = GetParam().message;
    for (size_t at; (at = message.find("%08X")) != std::string::npos;) message.replace(at, 4, handler);
    EXPECT_EXIT(fault(GetParam().kind), ::testing::ExitedWithCode(GetParam().exit), message);
}

INSTANTIATE_TEST_SUITE_P(Chains, BrokenChainDeathTest, ::testing::Values(
    BrokenChain{"RecordOffTheStack", 0, sim::kUnhandledFaultExit,
                "chain is invalid \\(its record at 0x00001000 is not on the stack\\): exception 0xC0000005"},
    BrokenChain{"MisalignedRecord", 1, sim::kUnhandledFaultExit, "chain is invalid \\(its record at 0x[0-9A-F]+ is not aligned\\)"},
    BrokenChain{"RecordLinkingToItself", 2, sim::kUnhandledFaultExit,
                "chain is invalid \\(its record at 0x[0-9A-F]+ is not above the record before it\\)"},
    BrokenChain{"HandlerWithoutCode", 3, sim::kDispatchFaultExit,
                "fault during exception dispatch: exception 0xC0000005 \\(access violation\\) at [0-9A-F]+:41414140, "
                "fault address 0x41414140, in the handler at 0x41414140 of the record at 0x[0-9A-F]+, while it "
                "dispatched exception 0xC0000005 \\(access violation\\) at [0-9A-F]+:[0-9A-F]+, fault address 0x00000000"},
    BrokenChain{"FaultingHandler", 4, sim::kDispatchFaultExit,
                "fault during exception dispatch: exception 0xC0000005 \\(access violation\\) at [0-9A-F]+:[0-9A-F]+, "
                "fault address 0x00000000, in the handler at 0x%08X"},
    BrokenChain{"HandlerResumingWithAnUnusableSelector", 5, sim::kUnhandledFaultExit,
                "a handler resumed with selector 0x0FFF in GS, which cannot be loaded: exception 0xC0000005"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

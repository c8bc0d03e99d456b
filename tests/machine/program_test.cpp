#include "machine_test.h"

namespace {

class ProgramTest : public MachineTest {};

TEST_F(ProgramTest, ExitProcessEndsTheProgramWithItsCode)
{
    sim::Stream out;
    sim::machine().std_handles[1] = &out;
    sim::PeModule* exe = Load("exit_process.exe");
    ASSERT_NE(exe, nullptr);
    EXPECT_EQ(sim::RunProgram(exe), 7u);
    EXPECT_EQ(out.bytes, "hello from a PE program\n");
    EXPECT_EQ(sim::CurrentTib()->ExceptionList, win32::kChainEnd);
}

TEST_F(ProgramTest, ReturnFromTheEntryPointGivesTheExitCode)
{
    sim::PeModule* exe = Load("return_code.exe");
    ASSERT_NE(exe, nullptr);
    EXPECT_FALSE(exe->is_dll);
    EXPECT_EQ(sim::RunProgram(exe), 3u);
}

}  // namespace

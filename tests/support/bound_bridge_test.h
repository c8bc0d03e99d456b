// A test with 16-bit KERNEL at 0x10F and the test-only bridge DLL loaded with its thunk
// services bound.
#pragma once
#include "kernel16/kernel16.h"
#include "machine_test.h"

class BoundBridgeTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallKernel16({0x10F, {}});
        dll_ = LoadTestDll();
        ASSERT_NE(dll_, nullptr);
        ASSERT_TRUE(Export<int (*)()>(dll_, "BindThunkServices")());
    }

    void TearDown() override
    {
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    sim::PeModule* dll_ = nullptr;
};

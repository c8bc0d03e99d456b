// The base of every test on the test machine: a fresh machine before the case, and no contract
// violation, PE mapping, pointer mapping, global handle, selector or guarded block left behind
// after it, and the FS:[0] chain and segment registers as they were.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/exports.h"
#include "core/fault.h"
#include "core/ldt.h"
#include "core/machine.h"
#include "kernel16/kernel16.h"
#include "kernel32/thunk.h"
#include "pe/pe.h"

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::ResetMachine();
        selectors_before_ = sim::LiveSelectors();
        guarded_before_ = sim::LiveGuardedBlocks();
    }

    void TearDown() override
    {
        for (sim::PeModule* m : modules_) sim::UnloadPe(m);
        EXPECT_TRUE(sim::machine().violations.empty()) << sim::machine().violations.front();
        EXPECT_EQ(sim::LivePeMappings(), 0u);
        EXPECT_EQ(sim::LiveMappings(), 0u) << "pointer mappings left";
        EXPECT_EQ(sim::LiveGlobalHandles(), 0u) << "16-bit global handles left";
        EXPECT_EQ(sim::LiveAliases(), 0u) << "code aliases left";
        EXPECT_EQ(sim::LiveSelectors(), selectors_before_);
        EXPECT_EQ(sim::LiveGuardedBlocks(), guarded_before_);
        // Whatever the kit did, its caller gets back the FS:[0] chain and the segment registers
        // that it had: a guard that leaves its record linked or a segment register changed
        // breaks the caller's own exception handling.
        EXPECT_EQ(sim::CurrentTib()->ExceptionList, win32::kChainEnd) << "a record left on the FS:[0] chain";
        uint16_t fs;
        __asm__ volatile("mov %%fs, %0" : "=r"(fs));
        EXPECT_EQ(fs, sim::TibSelector()) << "FS changed";
        EXPECT_EQ(Gs(), sim::HostGs()) << "GS changed";
    }

    static uint16_t Gs()
    {
        uint16_t gs;
        __asm__ volatile("mov %%gs, %0" : "=r"(gs));
        return gs;
    }

    static std::string Fixture(const char* name) { return std::string(KIT_DIR) + "/fixtures/" + name; }

    // A PE file of the kit's build (relative to its folder) that must load; unloaded after the
    // case.
    sim::PeModule* LoadKit(const std::string& relative, const sim::LoadOptions& options = {})
    {
        std::string error;
        sim::PeModule* m = sim::LoadPe(std::string(KIT_DIR) + "/" + relative, &error, options);
        EXPECT_NE(m, nullptr) << error;
        if (m) modules_.push_back(m);
        return m;
    }

    // The test-only twin of the bridge, which also exports the internal operations.
    sim::PeModule* LoadTestDll() { return LoadKit("testdll/QF-ATM-test.dll"); }

    // Loads a fixture PE file.
    sim::PeModule* Load(const char* name, const sim::LoadOptions& options = {})
    {
        return LoadKit(std::string("fixtures/") + name, options);
    }

    void Unload(sim::PeModule* m)
    {
        modules_.erase(std::remove(modules_.begin(), modules_.end(), m), modules_.end());
        sim::UnloadPe(m);
    }

    template <typename Fn> static Fn Export(sim::PeModule* m, const char* name)
    {
        void* p = sim::FindPeExport(m, name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<Fn>(p);
    }

    template <typename Fn> static Fn Kernel32(const char* name)
    {
        void* p = sim::FindMachineExport("KERNEL32", name);
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<Fn>(p);
    }

private:
    std::vector<sim::PeModule*> modules_;
    unsigned selectors_before_ = 0;
    unsigned guarded_before_ = 0;
};

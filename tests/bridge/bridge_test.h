// A test of the bridge's exports: 16-bit KERNEL at 0x10F, the bridge loaded (the shipped DLL, or
// its test-only twin where a test must reach inside), the font manager as each test sets it up.
#pragma once
#include <string>
#include <vector>

#include "fontmgr/fontmgr.h"
#include "kernel16/kernel16.h"
#include "machine_test.h"

struct BridgeExports {
    int (*QFAddFont)(void*, unsigned, void*, void*);
    int (*QFBeginFontChange)();
    int (*QFEndFontChange)();
    int (*QFFinish)();
    int (*QFFontStatus)(void*, unsigned, void*, void*);
    int (*QFGetVersion)();
    int (*QFProperlyLoaded)();
    int (*QFRemoveFont)(void*, unsigned);
};

class BridgeTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallKernel16({0x10F, {}});
    }

    void TearDown() override
    {
        sim::RemoveFontManager();
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    // Loads the shipped bridge, or its test-only twin, and takes the eight exports.
    sim::PeModule* LoadBridge(bool test_twin = false)
    {
        sim::PeModule* m = test_twin ? LoadTestDll() : LoadKit("dist/QF-ATM.dll");
        if (!m) return nullptr;
        qf = {Export<decltype(qf.QFAddFont)>(m, "QFAddFont"),
              Export<decltype(qf.QFBeginFontChange)>(m, "QFBeginFontChange"),
              Export<decltype(qf.QFEndFontChange)>(m, "QFEndFontChange"),
              Export<decltype(qf.QFFinish)>(m, "QFFinish"),
              Export<decltype(qf.QFFontStatus)>(m, "QFFontStatus"),
              Export<decltype(qf.QFGetVersion)>(m, "QFGetVersion"),
              Export<decltype(qf.QFProperlyLoaded)>(m, "QFProperlyLoaded"),
              Export<decltype(qf.QFRemoveFont)>(m, "QFRemoveFont")};
        return m;
    }

    static std::string Pointee(const sim::AtmCall& call, unsigned index)
    {
        const std::vector<uint8_t>& bytes = call.pointees.at(index);
        return std::string(bytes.begin(), bytes.end()).c_str();
    }

    BridgeExports qf = {};
};

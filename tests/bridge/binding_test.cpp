// Binding to ATM's module and its nineteen entry points (through the test-only twin, which
// exposes the AtmEntryTable), and the shipped DLL's structure.
#include <cstring>
#include <set>

#include "atm_entry_table.h"
#include "bridge_test.h"
#include "pe/pe.h"

namespace {

class BindingTest : public BridgeTest {
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        twin_ = LoadBridge(true);
        ASSERT_NE(twin_, nullptr);
        table_ = Export<AtmEntryTableRecord*>(twin_, "AtmEntryTable");
        bind_ = Export<int (*)()>(twin_, "BindAtm");
        clear_ = Export<void (*)()>(twin_, "ClearAtmEntries");
    }

    void TearDown() override
    {
        if (table_ && table_->BlockHandle) {
            EXPECT_EQ(qf.QFFinish(), 0);
        }
        BridgeTest::TearDown();
    }

    sim::PeModule* twin_ = nullptr;
    AtmEntryTableRecord* table_ = nullptr;
    int (*bind_)() = nullptr;
    void (*clear_)() = nullptr;
};

TEST_F(BindingTest, EntriesHoldWhatKernelReturnedInRecordOrder)
{
    sim::FontManagerSetup setup;
    setup.absent = {"ATMGetMenuName", "ATMXYShowText"};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    ASSERT_EQ(bind_(), 1);
    for (unsigned i = 0; i < kAtmEntryCount; ++i) {
        auto it = fm.entries.find(sim::kAtmFunctions[i].name);
        EXPECT_EQ(table_->Entries[i], it == fm.entries.end() ? 0u : it->second) << sim::kAtmFunctions[i].name;
    }
    EXPECT_EQ(table_->Loaded, 0u) << "binding does not set the flag";
    EXPECT_NE(table_->BlockHandle, 0u);

    // A second bind against the same module stores the same values.
    AtmEntryTableRecord first = *table_;
    ASSERT_EQ(bind_(), 1);
    EXPECT_EQ(std::memcmp(first.Entries, table_->Entries, sizeof first.Entries), 0);
    EXPECT_EQ(first.BlockHandle, table_->BlockHandle);
}

TEST_F(BindingTest, ClearingTouchesOnlyTheEntryPoints)
{
    sim::InstallFontManager({});
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    table_->AtmVersion = 0x0203;
    AtmEntryTableRecord before = *table_;
    clear_();
    for (FarPtr16 e : table_->Entries) EXPECT_EQ(e, 0u);
    EXPECT_EQ(table_->BlockHandle, before.BlockHandle);
    EXPECT_EQ(table_->AtmVersion, 0x0203);
    EXPECT_EQ(table_->Loaded, 1u);
    EXPECT_EQ(qf.QFFinish(), 0);
    EXPECT_EQ(table_->AtmVersion, 0x0203) << "the cached version survives the finish";
    EXPECT_EQ(table_->Loaded, 0u);
}

TEST_F(BindingTest, NoModuleLeavesTheRecordUntouched)
{
    sim::FontManagerSetup setup;
    setup.modules = {};
    sim::InstallFontManager(setup);
    for (FarPtr16& e : table_->Entries) e = 0x12340010;
    EXPECT_EQ(bind_(), 0);
    for (FarPtr16 e : table_->Entries) EXPECT_EQ(e, 0x12340010u);
    EXPECT_EQ(table_->BlockHandle, 0u);
    clear_();
}

// The shipped DLL as a host's loader sees it.
class ShippedDllTest : public MachineTest {};

TEST_F(ShippedDllTest, IsAWindows95DllWithExactlyTheEightExports)
{
    sim::PeModule* dll = LoadKit("dist/QF-ATM.dll");
    ASSERT_NE(dll, nullptr);
    EXPECT_EQ(dll->nt->File.Machine, pe::kMachineI386);
    EXPECT_EQ(dll->nt->Optional.Magic, pe::kOptionalMagicPe32);
    EXPECT_TRUE(dll->is_dll);
    EXPECT_EQ(dll->nt->Optional.MajorSubsystemVersion, 4);
    EXPECT_EQ(dll->nt->Optional.MinorSubsystemVersion, 0);
    EXPECT_STREQ(sim::PeModuleName(dll), "QF-ATM.dll");

    const char* const names[] = {"QFAddFont",    "QFBeginFontChange", "QFEndFontChange",  "QFFinish",
                                 "QFFontStatus", "QFGetVersion",      "QFProperlyLoaded", "QFRemoveFont"};
    std::vector<sim::PeExport> exports = sim::ListExports(dll);
    ASSERT_EQ(exports.size(), 8u);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(exports[i].ordinal, i + 1);
        EXPECT_EQ(exports[i].name, names[i]);
        EXPECT_EQ(sim::FindPeExportByOrdinal(dll, i + 1), sim::FindPeExport(dll, names[i]));
    }

    std::set<std::string> imports;
    for (const sim::PeImport& i : dll->imports) imports.insert(sim::CanonicalDllName(i.dll.c_str()) + "!" + i.name);
    EXPECT_EQ(imports, (std::set<std::string>{"KERNEL32!GetModuleHandleA", "KERNEL32!GetProcAddress",
                                              "KERNEL32!GetCurrentThread", "KERNEL32!GetThreadSelectorEntry",
                                              "KERNEL32!GetCurrentProcess", "KERNEL32!ReadProcessMemory"}));
}

TEST_F(ShippedDllTest, MappingRunsNoBridgeCode)
{
    sim::InstallKernel16({0x10F, {}});
    sim::PeModule* dll = LoadKit("dist/QF-ATM.dll");
    ASSERT_NE(dll, nullptr);
    Unload(dll);
    EXPECT_EQ(sim::machine().counters.module_lookups, 0u);
    EXPECT_EQ(sim::machine().counters.descriptor_queries, 0u);
    EXPECT_EQ(sim::machine().counters.qt_thunk_calls, 0u);
    sim::FreeModuleDatabases();
}

}  // namespace

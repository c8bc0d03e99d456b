// The bridge's lifecycle through the shipped DLL: load, use, finish, and every way a load fails.
#include "atm_entry_table.h"
#include "bridge_test.h"

namespace {

constexpr int kNotAvailable = -5, kNotLoaded = -6, kBusy = -227;

class LifecycleTest : public BridgeTest {
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        ASSERT_NE(LoadBridge(), nullptr);
    }

    // Every font export answers as an unbound bridge does.
    void ExpectUnbound()
    {
        char font[] = "font";
        EXPECT_EQ(qf.QFAddFont(font, 1, font, font), kNotLoaded);
        EXPECT_EQ(qf.QFFontStatus(font, 1, font, font), kNotLoaded);
        EXPECT_EQ(qf.QFRemoveFont(font, 1), kNotLoaded);
        EXPECT_EQ(qf.QFBeginFontChange(), kNotLoaded);
        EXPECT_EQ(qf.QFEndFontChange(), kNotLoaded);
        EXPECT_EQ(qf.QFGetVersion(), 0);
        EXPECT_EQ(sim::LiveGlobalHandles(), 0u);
        EXPECT_EQ(sim::LiveAliases(), 0u);
    }
};

TEST_F(LifecycleTest, BeforeAnyLoadNothingReachesTheFontManager)
{
    sim::FontManager& fm = sim::InstallFontManager({});
    ExpectUnbound();
    EXPECT_EQ(qf.QFFinish(), kNotLoaded);
    EXPECT_TRUE(fm.calls.empty());
    EXPECT_EQ(sim::machine().counters.qt_thunk_calls, 0u);
    EXPECT_EQ(sim::machine().counters.mappings, 0u);
}

TEST_F(LifecycleTest, LoadUseFinishAndLoadAgain)
{
    sim::FontManager& fm = sim::InstallFontManager({});
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(fm.CallsOf("ATMIsUp"), 1u);
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u) << "the work block";
    EXPECT_EQ(sim::LiveAliases(), 1u) << "its code alias";
    EXPECT_EQ(qf.QFGetVersion(), 0x0105);
    EXPECT_EQ(qf.QFBeginFontChange(), 0);
    EXPECT_EQ(fm.CallsOf("ATMBeginFontChange"), 1u);

    EXPECT_EQ(qf.QFFinish(), 0);
    ExpectUnbound();
    EXPECT_EQ(qf.QFFinish(), kNotLoaded) << "nothing left to release";

    // The thunk services stay bound: a second load neither scans for KERNEL nor binds KERNEL32's
    // services again.
    sim::Counters before = sim::machine().counters;
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(sim::machine().counters.descriptor_queries, before.descriptor_queries);
    EXPECT_EQ(sim::machine().counters.memory_reads, before.memory_reads);
    EXPECT_EQ(sim::machine().counters.proc_lookups, before.proc_lookups);
    EXPECT_EQ(sim::machine().counters.module_lookups, before.module_lookups);
    EXPECT_EQ(qf.QFGetVersion(), 0x0105);
    EXPECT_EQ(qf.QFFinish(), 0);
    EXPECT_EQ(sim::LiveGlobalHandles(), 0u);
}

TEST_F(LifecycleTest, LoadingWhileLoadedBindsAnewAndKeepsTheWorkBlock)
{
    sim::FontManager& fm = sim::InstallFontManager({});
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    unsigned allocs = sim::Heap16Counters().allocs;
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(sim::Heap16Counters().allocs, allocs) << "the same work block";
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u);
    EXPECT_EQ(fm.CallsOf("ATMIsUp"), 2u);
    EXPECT_EQ(sim::ModuleRequests16(), (std::vector<std::string>{"ATM", "ATM"})) << "the module is looked up again";
    EXPECT_EQ(qf.QFFinish(), 0) << "one finish releases everything";
    EXPECT_EQ(sim::LiveGlobalHandles(), 0u);
    EXPECT_EQ(sim::LiveAliases(), 0u);
}

TEST_F(LifecycleTest, AFailedLoadWhileLoadedUnbinds)
{
    sim::FontManagerSetup setup;
    setup.results["ATMIsUp"] = {1, 0};
    sim::InstallFontManager(setup);
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(qf.QFProperlyLoaded(), 0) << "ATM no longer up";
    ExpectUnbound();
    EXPECT_EQ(qf.QFFinish(), kNotLoaded);
}

// A load binds every entry point anew: one that the module no longer exports is unbound, not kept.
TEST_F(LifecycleTest, ALoadAfterTheFontManagerLostAnExportUnbindsIt)
{
    char font[] = "font";
    sim::InstallFontManager({});
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(qf.QFRemoveFont(font, 1), 0);
    sim::RemoveFontManager();
    sim::FontManagerSetup setup;
    setup.absent = {"ATMRemoveFont"};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(qf.QFRemoveFont(font, 1), kNotAvailable);
    EXPECT_EQ(fm.CallsOf("ATMRemoveFont"), 0u);
    EXPECT_EQ(qf.QFGetVersion(), 0x0105) << "the others are bound to the new module";
    EXPECT_EQ(qf.QFFinish(), 0);
}

// ATMIsUp's answer decides the load: any non-zero 16-bit value means up.
struct IsUpCase {
    uint16_t answer;
    int loaded;
};

class IsUpTest : public LifecycleTest, public ::testing::WithParamInterface<IsUpCase> {};

TEST_P(IsUpTest, AnyNonZeroAnswerMeansUp)
{
    sim::FontManagerSetup setup;
    setup.results["ATMIsUp"] = {GetParam().answer};
    sim::InstallFontManager(setup);
    EXPECT_EQ(qf.QFProperlyLoaded(), GetParam().loaded);
    if (GetParam().loaded) {
        EXPECT_EQ(qf.QFBeginFontChange(), 0);
        EXPECT_EQ(qf.QFFinish(), 0);
    } else {
        ExpectUnbound();
        EXPECT_EQ(qf.QFFinish(), kNotLoaded) << "the work block built during the load is gone";
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, IsUpTest,
                         ::testing::Values(IsUpCase{1, 1}, IsUpCase{0xFFFF, 1}, IsUpCase{0x8000, 1},
                                           IsUpCase{0x0100, 1}, IsUpCase{0, 0}));

// Every way a load fails: it answers 0, leaves nothing held and no entry point bound.
struct LoadFailure {
    const char* name;
    void (*arrange)(sim::FontManagerSetup&);
};

void Reinstall(const sim::KernelSetup& kernel)
{
    sim::FreeModuleDatabases();
    sim::InstallKernel16(kernel);
}

class LoadFailureTest : public LifecycleTest, public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(LoadFailureTest, LeavesTheBridgeUnbound)
{
    sim::FontManagerSetup setup;
    GetParam().arrange(setup);
    sim::FontManager& fm = sim::InstallFontManager(setup);
    EXPECT_EQ(qf.QFProperlyLoaded(), 0);
    size_t calls = fm.calls.size();
    ExpectUnbound();
    EXPECT_EQ(fm.calls.size(), calls) << "no entry point stays bound";
    EXPECT_EQ(qf.QFFinish(), kNotLoaded);
    EXPECT_EQ(sim::LiveMappings(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, LoadFailureTest,
    ::testing::Values(
        LoadFailure{"NoAtmModule", [](sim::FontManagerSetup& s) { s.modules = {"ATM2", "TYPEMGR"}; }},
        LoadFailure{"NoThunkService",
                    [](sim::FontManagerSetup&) { sim::machine().hidden_exports.insert("SUnMapLS_IP_EBP_40"); }},
        LoadFailure{"NoKernel", [](sim::FontManagerSetup&) { Reinstall({0, {}}); }},
        LoadFailure{"NoKernelGlobalAlloc", [](sim::FontManagerSetup&) { Reinstall({0x10F, {15}}); }},
        LoadFailure{"IsUpMissing", [](sim::FontManagerSetup& s) { s.absent = {"ATMIsUp"}; }},
        LoadFailure{"IsUpAnswersZero", [](sim::FontManagerSetup& s) { s.results["ATMIsUp"] = {0}; }},
        LoadFailure{"WorkBlockNotAllocated", [](sim::FontManagerSetup&) { sim::Heap16Faults().alloc_fail_at = 1; }},
        LoadFailure{"WorkBlockNotLocked", [](sim::FontManagerSetup&) { sim::Heap16Faults().lock_fail_at = 1; }},
        LoadFailure{"NoCodeAlias", [](sim::FontManagerSetup&) { sim::Heap16Faults().alias_fail_at = 1; }},
        LoadFailure{"NoFarReturnByte", [](sim::FontManagerSetup& s) { s.far_return_at = -1; }}),
    [](const ::testing::TestParamInfo<LoadFailure>& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, ALoadThatFailsAfterBindingEmptiesTheEntryPoints)
{
    // ATMIsUp answers 0: the entries were resolved, the block built, then everything undone.
    sim::FontManagerSetup setup;
    setup.results["ATMIsUp"] = {0};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    EXPECT_EQ(qf.QFProperlyLoaded(), 0);
    EXPECT_EQ(fm.CallsOf("ATMIsUp"), 1u);
    EXPECT_EQ(sim::Heap16Counters().allocs, 1u);
    EXPECT_EQ(sim::Heap16Counters().freed_selectors, 1u);
    EXPECT_EQ(qf.QFGetVersion(), 0);
    EXPECT_EQ(fm.CallsOf("ATMGetVersion"), 0u);
}

// A function missing from the ATM module: -5 while loaded, -6 before and after; 0 from
// QFGetVersion throughout.
struct MissingExport {
    const char* entry;
    int (*call)(const BridgeExports&);
    int loaded;  // the answer while loaded
};

class MissingExportTest : public LifecycleTest, public ::testing::WithParamInterface<MissingExport> {};

TEST_P(MissingExportTest, AnswersNotAvailableOnlyWhileLoaded)
{
    sim::FontManagerSetup setup;
    setup.absent = {GetParam().entry};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    int unbound = GetParam().loaded == 0 ? 0 : kNotLoaded;
    EXPECT_EQ(GetParam().call(qf), unbound) << "before the load";
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    uint32_t thunks = sim::machine().counters.qt_thunk_calls;
    uint32_t mappings = sim::machine().counters.mappings;
    EXPECT_EQ(GetParam().call(qf), GetParam().loaded);
    EXPECT_EQ(sim::machine().counters.qt_thunk_calls, thunks) << "nothing is called";
    EXPECT_EQ(sim::machine().counters.mappings, mappings) << "nothing is mapped";
    EXPECT_EQ(qf.QFBeginFontChange(), 0) << "the other functions work";
    EXPECT_EQ(qf.QFFinish(), 0);
    EXPECT_EQ(GetParam().call(qf), unbound) << "after the finish";
    EXPECT_EQ(fm.CallsOf(GetParam().entry), 0u);
}

char font_name[] = "Sample.pfm";

INSTANTIATE_TEST_SUITE_P(
    Entries, MissingExportTest,
    ::testing::Values(
        MissingExport{"ATMAddFont", [](const BridgeExports& q) { return q.QFAddFont(font_name, 1, font_name, font_name); },
                      kNotAvailable},
        MissingExport{"ATMAddFont",
                      [](const BridgeExports& q) { return q.QFFontStatus(font_name, 1, font_name, font_name); },
                      kNotAvailable},
        MissingExport{"ATMRemoveFont", [](const BridgeExports& q) { return q.QFRemoveFont(font_name, 1); },
                      kNotAvailable},
        MissingExport{"ATMEndFontChange", [](const BridgeExports& q) { return q.QFEndFontChange(); }, kNotAvailable},
        MissingExport{"ATMGetVersion", [](const BridgeExports& q) { return q.QFGetVersion(); }, 0}));

TEST_F(LifecycleTest, AModuleWithOnlyIsUpLoads)
{
    sim::FontManagerSetup setup;
    for (const sim::AtmFunction& f : sim::kAtmFunctions)
        if (std::string(f.name) != "ATMIsUp") setup.absent.insert(f.name);
    sim::InstallFontManager(setup);
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(qf.QFRemoveFont(font_name, 0), kNotAvailable);
    EXPECT_EQ(qf.QFGetVersion(), 0);
    EXPECT_EQ(qf.QFFinish(), 0);
}

// The first module found of "ATM", "ATM32", "ATM16" is used; later names are not asked for.
struct ModuleSearch {
    std::vector<std::string> loaded;
    std::vector<std::string> asked;
};

class ModuleSearchTest : public LifecycleTest, public ::testing::WithParamInterface<ModuleSearch> {};

TEST_P(ModuleSearchTest, AsksInOrderAndStopsAtTheFirstFound)
{
    sim::FontManagerSetup setup;
    setup.modules = GetParam().loaded;
    sim::FontManager& fm = sim::InstallFontManager(setup);
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    EXPECT_EQ(sim::ModuleRequests16(), GetParam().asked);
    EXPECT_EQ(qf.QFBeginFontChange(), 0);
    EXPECT_EQ(fm.CallsOf("ATMBeginFontChange"), 1u);
    EXPECT_EQ(qf.QFFinish(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, ModuleSearchTest,
    ::testing::Values(ModuleSearch{{"ATM"}, {"ATM"}}, ModuleSearch{{"ATM32"}, {"ATM", "ATM32"}},
                      ModuleSearch{{"ATM16"}, {"ATM", "ATM32", "ATM16"}}, ModuleSearch{{"ATM", "ATM32"}, {"ATM"}},
                      ModuleSearch{{"ATM16", "ATM32"}, {"ATM", "ATM32"}}));

// Busy: a recording holds its RecordBuffer (reached through the test-only twin).
class BusyTest : public BridgeTest {};

// Every way a load fails while a RecordBuffer is held: the finish steps refuse, nothing is
// released and the bridge stays loaded with its work block.
enum class LoadFails { IsUpAnswersZero, IsUpNoLongerExported, ModuleGone };

class BusyLoadFailureTest : public BusyTest, public ::testing::WithParamInterface<LoadFails> {};

TEST_P(BusyLoadFailureTest, KeepsTheBridgeLoaded)
{
    sim::PeModule* twin = LoadBridge(true);
    ASSERT_NE(twin, nullptr);
    auto alloc = Export<uint32_t (*)()>(twin, "AllocRecordBuffer");
    auto release = Export<void (*)()>(twin, "ReleaseRecordBuffer");
    auto* table = Export<AtmEntryTableRecord*>(twin, "AtmEntryTable");
    sim::FontManagerSetup setup;
    setup.results["ATMIsUp"] = {1, 0};
    sim::InstallFontManager(setup);
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    ASSERT_NE(alloc(), 0u);
    const uint16_t block = table->BlockHandle;
    if (GetParam() != LoadFails::IsUpAnswersZero) {
        sim::RemoveFontManager();
        if (GetParam() == LoadFails::IsUpNoLongerExported) {
            sim::FontManagerSetup without;
            without.absent = {"ATMIsUp"};
            sim::InstallFontManager(without);
        }
    }
    const sim::HeapCounters before = sim::Heap16Counters();

    EXPECT_EQ(qf.QFProperlyLoaded(), 0);
    EXPECT_EQ(sim::Heap16Counters().frees, before.frees) << "nothing released while busy";
    EXPECT_EQ(sim::Heap16Counters().freed_selectors, before.freed_selectors);
    EXPECT_EQ(sim::Heap16Counters().allocs, before.allocs) << "the same work block";
    EXPECT_EQ(table->Loaded, 1u);
    EXPECT_EQ(table->BlockHandle, block);
    EXPECT_EQ(sim::LiveGlobalHandles(), 2u) << "the work block and the RecordBuffer";

    release();
    EXPECT_EQ(qf.QFFinish(), 0);
    EXPECT_EQ(table->Loaded, 0u);
}

INSTANTIATE_TEST_SUITE_P(Ways, BusyLoadFailureTest,
                         ::testing::Values(LoadFails::IsUpAnswersZero, LoadFails::IsUpNoLongerExported,
                                           LoadFails::ModuleGone),
                         [](const auto& info) {
                             switch (info.param) {
                             case LoadFails::IsUpAnswersZero: return "IsUpAnswersZero";
                             case LoadFails::IsUpNoLongerExported: return "IsUpNoLongerExported";
                             case LoadFails::ModuleGone: return "ModuleGone";
                             }
                             return "";
                         });

TEST_F(BusyTest, FinishWaitsForTheRecordBuffer)
{
    sim::PeModule* twin = LoadBridge(true);
    ASSERT_NE(twin, nullptr);
    auto alloc = Export<uint32_t (*)()>(twin, "AllocRecordBuffer");
    auto release = Export<void (*)()>(twin, "ReleaseRecordBuffer");
    sim::FontManagerSetup setup;
    setup.results["ATMIsUp"] = {1, 0};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    ASSERT_NE(alloc(), 0u);
    unsigned frees = sim::Heap16Counters().frees;

    EXPECT_EQ(qf.QFFinish(), kBusy);
    EXPECT_EQ(qf.QFProperlyLoaded(), 0) << "ATMIsUp now answers 0";
    EXPECT_EQ(sim::Heap16Counters().frees, frees) << "nothing released while busy";
    EXPECT_EQ(sim::Heap16Counters().freed_selectors, 0u);
    EXPECT_EQ(sim::LiveGlobalHandles(), 2u);
    EXPECT_EQ(qf.QFGetVersion(), 0x0105) << "still loaded, entry points kept";
    EXPECT_EQ(fm.CallsOf("ATMGetVersion"), 1u);

    release();
    EXPECT_EQ(qf.QFFinish(), 0);
    EXPECT_EQ(qf.QFFinish(), kNotLoaded);
}

}  // namespace

// Binding the thunk service table: order, failures at each step, and a bind that costs nothing.
#include <cstring>

#include "access16.h"
#include "kernel16/kernel16.h"
#include "machine_test.h"

namespace {

const char* const kServices[27] = {
    "FT_Exit12", "FT_Exit16", "FT_Exit20", "FT_Exit24", "FT_Exit36", "FT_Exit48",
    "FT_Prolog", "FT_Thunk", "QT_Thunk", "SMapLS",
    "SMapLS_IP_EBP_8", "SMapLS_IP_EBP_12", "SMapLS_IP_EBP_16", "SMapLS_IP_EBP_20",
    "SMapLS_IP_EBP_24", "SMapLS_IP_EBP_28", "SMapLS_IP_EBP_36", "SMapLS_IP_EBP_40",
    "SUnMapLS",
    "SUnMapLS_IP_EBP_8", "SUnMapLS_IP_EBP_12", "SUnMapLS_IP_EBP_16", "SUnMapLS_IP_EBP_20",
    "SUnMapLS_IP_EBP_24", "SUnMapLS_IP_EBP_28", "SUnMapLS_IP_EBP_36", "SUnMapLS_IP_EBP_40",
};

// The ordinals in binding order, with the field each fills.
const std::pair<uint16_t, FarPtr16 ThunkServicesRecord::*> kOrdinals[8] = {
    {171, &ThunkServicesRecord::KernelAllocDStoCSAlias}, {176, &ThunkServicesRecord::KernelFreeSelector},
    {47, &ThunkServicesRecord::KernelGetModuleHandle},   {50, &ThunkServicesRecord::KernelGetProcAddress},
    {15, &ThunkServicesRecord::KernelGlobalAlloc},       {17, &ThunkServicesRecord::KernelGlobalFree},
    {18, &ThunkServicesRecord::KernelGlobalLock},        {16, &ThunkServicesRecord::KernelGlobalReAlloc},
};

class BindThunkServicesTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        dll_ = LoadTestDll();
        ASSERT_NE(dll_, nullptr);
        bind_ = Export<int (*)()>(dll_, "BindThunkServices");
        table_ = Export<ThunkServicesRecord*>(dll_, "ThunkServices");
    }

    void TearDown() override
    {
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    void* const* Services() const { return &table_->FT_Exit12; }

    sim::PeModule* dll_ = nullptr;
    int (*bind_)() = nullptr;
    ThunkServicesRecord* table_ = nullptr;
};

TEST_F(BindThunkServicesTest, FirstBindFillsEveryFieldAndALaterOneCallsNothing)
{
    sim::InstallKernel16({0x10F, {}});
    ASSERT_TRUE(bind_());
    for (int i = 0; i < 27; ++i) EXPECT_EQ(Services()[i], sim::FindMachineExport("KERNEL32", kServices[i])) << kServices[i];
    EXPECT_EQ(table_->KernelSelector, 0x10F);
    for (auto& [ordinal, field] : kOrdinals) EXPECT_EQ(table_->*field, sim::Kernel16Entry(ordinal)) << ordinal;
    EXPECT_EQ(table_->Bound, 1u);

    sim::Counters before = sim::machine().counters;
    EXPECT_TRUE(bind_());
    EXPECT_EQ(sim::machine().counters.module_lookups, before.module_lookups);
    EXPECT_EQ(sim::machine().counters.proc_lookups, before.proc_lookups);
    EXPECT_EQ(sim::machine().counters.descriptor_queries, before.descriptor_queries);
    EXPECT_EQ(sim::machine().counters.memory_reads, before.memory_reads);
}

class MissingServiceTest : public BindThunkServicesTest, public ::testing::WithParamInterface<int> {};

TEST_P(MissingServiceTest, FillsUpToTheMissingNameAndRetriesEverythingNextTime)
{
    const int missing = GetParam();
    sim::InstallKernel16({0x10F, {}});
    sim::machine().hidden_exports.insert(kServices[missing]);
    EXPECT_FALSE(bind_());
    for (int i = 0; i < 27; ++i) {
        if (i < missing) EXPECT_NE(Services()[i], nullptr) << kServices[i];
        else EXPECT_EQ(Services()[i], nullptr) << kServices[i];
    }
    EXPECT_EQ(table_->KernelSelector, 0) << "KERNEL is not searched";
    EXPECT_EQ(sim::machine().counters.descriptor_queries, 0u);
    EXPECT_EQ(sim::machine().counters.proc_lookups, (unsigned)missing + 1);

    sim::machine().hidden_exports.clear();
    EXPECT_TRUE(bind_());
    EXPECT_EQ(sim::machine().counters.proc_lookups, (unsigned)missing + 1 + 27) << "all 27 looked up again";
}

INSTANTIATE_TEST_SUITE_P(EachName, MissingServiceTest, ::testing::Range(0, 27),
                         [](const auto& info) { return std::string(kServices[info.param]); });

TEST_F(BindThunkServicesTest, WithoutKernelNoOrdinalIsLookedUpAndTheNextBindScansAgain)
{
    EXPECT_FALSE(bind_());
    EXPECT_EQ(table_->KernelSelector, 0);
    for (auto& [ordinal, field] : kOrdinals) EXPECT_EQ(table_->*field, 0u) << ordinal;
    unsigned queries = sim::machine().counters.descriptor_queries;
    EXPECT_GT(queries, 500u);
    EXPECT_FALSE(bind_());
    EXPECT_EQ(sim::machine().counters.descriptor_queries, 2 * queries);
}

class MissingOrdinalTest : public BindThunkServicesTest, public ::testing::WithParamInterface<int> {};

TEST_P(MissingOrdinalTest, FillsTheOrdinalsBeforeItAndLeavesTheRestUntouched)
{
    const int missing = GetParam();
    sim::InstallKernel16({0x10F, {kOrdinals[missing].first}});
    EXPECT_FALSE(bind_());
    EXPECT_EQ(table_->KernelSelector, 0x10F);
    for (int i = 0; i < 8; ++i) {
        FarPtr16 value = table_->*kOrdinals[i].second;
        if (i < missing) EXPECT_EQ(value, sim::Kernel16Entry(kOrdinals[i].first)) << kOrdinals[i].first;
        else EXPECT_EQ(value, 0u) << kOrdinals[i].first;
    }
    EXPECT_EQ(table_->Bound, 0u);
}

INSTANTIATE_TEST_SUITE_P(EachOrdinal, MissingOrdinalTest, ::testing::Range(0, 8),
                         [](const auto& info) { return "Ordinal" + std::to_string(kOrdinals[info.param].first); });

TEST_F(BindThunkServicesTest, NoKernel32Handle)
{
    sim::InstallKernel16({0x10F, {}});
    sim::machine().hidden_modules.insert("KERNEL32");
    EXPECT_FALSE(bind_());
    EXPECT_EQ(sim::machine().counters.proc_lookups, 0u);
}

}  // namespace

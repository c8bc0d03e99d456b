#include <algorithm>
#include <functional>
#include <vector>

#include "machine_test.h"

namespace {

typedef win32::BOOL(WINAPI* GetThreadSelectorEntryFn)(win32::HANDLE, win32::DWORD, win32::LdtEntry*);

uint32_t RawLimit(const win32::LdtEntry& e) { return (uint32_t)(e.Flags2 & 0x0F) << 16 | e.LimitLow; }

struct Descriptor {
    const char* name;
    uint16_t selector;
    sim::SegmentSpec spec;
    uint32_t raw_limit;
    bool page_granular;
    uint8_t type;  // access byte's type field: 0x2 writable data, 0xA readable code
};

class SelectorTest : public MachineTest, public ::testing::WithParamInterface<Descriptor> {};

TEST_P(SelectorTest, GetThreadSelectorEntryReportsTheDescriptor)
{
    const Descriptor& d = GetParam();
    ASSERT_EQ(sim::AllocSelector(d.spec, d.selector), d.selector);
    auto query = Kernel32<GetThreadSelectorEntryFn>("GetThreadSelectorEntry");
    win32::LdtEntry e;
    ASSERT_TRUE(query(win32::CurrentThread(), d.selector, &e));
    EXPECT_EQ(sim::DescriptorBase(e), d.spec.base);
    EXPECT_EQ(RawLimit(e), d.raw_limit);
    EXPECT_EQ((e.Flags2 & 0x80) != 0, d.page_granular);
    EXPECT_EQ((e.Flags2 & 0x40) != 0, d.spec.bits32);
    EXPECT_EQ(e.Flags1 & 0x0E, d.type & 0x0E);  // the accessed bit may be either
    EXPECT_EQ(e.Flags1 & 0xF0, 0xF0) << "present, DPL 3, code or data";

    sim::FreeSelector(d.selector);
    EXPECT_FALSE(query(win32::CurrentThread(), d.selector, &e));
    EXPECT_EQ(sim::machine().counters.descriptor_queries, 2u);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, SelectorTest, ::testing::Values(
    Descriptor{"KernelAt10F", 0x10F, {0x12345678, 0x3F, sim::SegKind::Data, false}, 0x3F, false, 0x2},
    Descriptor{"FirstOfRange", 0x2F, {0x00400000, 0xFFFF, sim::SegKind::Code, false}, 0xFFFF, false, 0xA},
    Descriptor{"LastOfRange", 0xFFF, {0xBFF00010, 0x9, sim::SegKind::Data, true}, 0x9, false, 0x2},
    Descriptor{"PageGranular", 0x807, {0x01000000, 0x2FFFFF, sim::SegKind::Data, false}, 0x2FF, true, 0x2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectorAllocation, NamedSelectorsAreExclusiveAndGeneralOnesStayAboveTheScanRange)
{
    sim::ResetMachine();
    unsigned before = sim::LiveSelectors();
    sim::SegmentSpec spec;
    spec.limit = 15;
    EXPECT_EQ(sim::AllocSelector(spec, 0x10F), 0x10F);
    EXPECT_EQ(sim::AllocSelector(spec, 0x10F), 0) << "taken";
    EXPECT_EQ(sim::AllocSelector(spec, 0x10C), 0) << "not an LDT selector at privilege 3";
    uint16_t general = sim::AllocSelector(spec);
    EXPECT_GE(general, sim::kFirstGeneralSelector);
    EXPECT_EQ(sim::LiveSelectors(), before + 2);
    sim::FreeSelector(0x10F);
    sim::FreeSelector(general);
    EXPECT_EQ(sim::LiveSelectors(), before);
}

TEST(SelectorAllocation, GeneralSelectorsComeDownFromTheTopAndAreNotReusedAtOnce)
{
    sim::ResetMachine();
    unsigned before = sim::LiveSelectors();
    sim::SegmentSpec spec;
    spec.limit = 15;
    uint16_t first = sim::AllocSelector(spec), second = sim::AllocSelector(spec);
    EXPECT_GE(first, 0xFF00) << "the machine's own selectors are the last of the table";
    EXPECT_LT(second, first);
    sim::FreeSelector(first);
    uint16_t reserved = sim::ReserveSelector();
    EXPECT_LT(reserved, second) << "a selector just freed is not handed out again";
    win32::LdtEntry e;
    EXPECT_FALSE(sim::ReadDescriptor(reserved, &e)) << "a reserved selector has no segment";

    // Every other general selector, down to the bottom of the range and around again to the top.
    std::vector<uint16_t> rest;
    for (uint16_t s; (s = sim::AllocSelector(spec)) != 0;) rest.push_back(s);
    unsigned full = sim::LiveSelectors();
    for (uint16_t s : rest) sim::FreeSelector(s);
    sim::FreeSelector(second);
    sim::FreeSelector(reserved);
    EXPECT_EQ(sim::LiveSelectors(), before);

    EXPECT_EQ(full, 8192u - sim::kFirstGeneralSelector / 8) << "every general slot was taken";
    auto wrapped = std::find(rest.begin(), rest.end(), first);
    ASSERT_NE(wrapped, rest.end()) << "the freed selector comes back once the range wraps around";
    ASSERT_NE(wrapped, rest.begin());
    EXPECT_TRUE(std::is_sorted(rest.begin(), wrapped, std::greater<uint16_t>()));
    EXPECT_EQ(*(wrapped - 1), sim::kFirstGeneralSelector);
    EXPECT_EQ(*std::min_element(rest.begin(), rest.end()), sim::kFirstGeneralSelector);
}

TEST(SelectorQuery, RefusesAnotherThreadAndGdtSelectors)
{
    sim::ResetMachine();
    auto query = reinterpret_cast<GetThreadSelectorEntryFn>(sim::FindMachineExport("KERNEL32", "GetThreadSelectorEntry"));
    win32::LdtEntry e;
    EXPECT_FALSE(query(win32::CurrentThread(), 0x2B, &e)) << "a GDT selector";
    EXPECT_TRUE(query(win32::CurrentThread(), sim::TibSelector(), &e));
    EXPECT_EQ(sim::DescriptorBase(e), (uint32_t)(uintptr_t)sim::CurrentTib());
    EXPECT_FALSE(query((win32::HANDLE)0x1234, sim::TibSelector(), &e));
    EXPECT_EQ(sim::machine().violations.size(), 1u);
}

}  // namespace

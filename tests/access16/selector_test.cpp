// Reading through selectors, the module search and the ordinal walk, on the test-only bridge DLL.
#include <sys/mman.h>

#include <cstring>

#include "access16.h"
#include "kernel16/kernel16.h"
#include "machine_test.h"

namespace {

class Access16Test : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        dll_ = LoadTestDll();
        ASSERT_NE(dll_, nullptr);
        read_ = Export<decltype(read_)>(dll_, "ReadSelectorBytes");
        named_ = Export<decltype(named_)>(dll_, "IsModuleNamed");
        find_ = Export<decltype(find_)>(dll_, "FindModuleSelector");
        entry_ = Export<decltype(entry_)>(dll_, "GetOrdinalEntry");
    }

    void TearDown() override
    {
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    sim::PeModule* dll_ = nullptr;
    int (*read_)(uint16_t, uint32_t, void*, uint32_t) = nullptr;
    int (*named_)(uint16_t, const uint8_t*) = nullptr;
    uint16_t (*find_)(const char*) = nullptr;
    FarPtr16 (*entry_)(uint16_t, uint16_t) = nullptr;
};

struct BoundCase {
    const char* name;
    uint32_t offset, size;
    bool ok;
};

class ReadSelectorBytesTest : public Access16Test, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(ReadSelectorBytesTest, AcceptsOnlyRangesStrictlyBelowTheLimit)
{
    std::string contents(64, '\0');
    for (int i = 0; i < 64; ++i) contents[i] = (char)(0x40 + i);
    ASSERT_EQ(sim::BuildPlainSegment(0x10F, contents), 0x10F);  // limit 63
    const BoundCase& c = GetParam();
    uint8_t out[64];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(read_(0x10F, c.offset, out, c.size) != 0, c.ok);
    if (c.ok) {
        EXPECT_EQ(std::memcmp(out, contents.data() + c.offset, c.size), 0);
    } else {
        EXPECT_EQ(out[0], 0xEE) << "nothing written";
        EXPECT_EQ(sim::machine().counters.memory_reads, 0u) << "refused before any read";
    }
}

INSTANTIATE_TEST_SUITE_P(Limit63, ReadSelectorBytesTest, ::testing::Values(
    BoundCase{"Bytes62", 0, 62, true},
    BoundCase{"Bytes63", 0, 63, false},
    BoundCase{"Bytes64", 0, 64, false},
    BoundCase{"OneAt3D", 0x3D, 1, true},
    BoundCase{"OneAt3E", 0x3E, 1, false},
    BoundCase{"OffsetWrapsTheSum", 0xFFFFFFFF, 2, false},
    BoundCase{"SizeWrapsTheSum", 2, 0xFFFFFFFF, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Access16Test, SelectorsWithoutALimitAreNeverRead)
{
    std::string ne("NE");
    ne.resize(64, '\0');
    sim::AddPhantomDescriptor(0x2F, ne);  // GetThreadSelectorEntry answers, LSL refuses
    uint8_t out[4];
    EXPECT_FALSE(read_(0x2F, 0, out, 2));
    EXPECT_FALSE(read_(0x37, 0, out, 2)) << "an empty slot";
    EXPECT_FALSE(read_(0, 0, out, 2));
    EXPECT_EQ(sim::machine().counters.memory_reads, 0u);
}

struct NameCase {
    const char* name;
    const char* stored;  // the module database's resident name; null: a plain segment
    const char* wanted;
    bool match;
};

class IsModuleNamedTest : public Access16Test, public ::testing::WithParamInterface<NameCase> {};

TEST_P(IsModuleNamedTest, ComparesTheLengthAndEveryCharacter)
{
    const NameCase& c = GetParam();
    if (c.stored) sim::BuildModuleDatabase(0x47, c.stored, {}, {});
    else sim::BuildPlainSegment(0x47, std::string("\x06KERNEL", 7));
    uint8_t wanted[11] = {(uint8_t)std::strlen(c.wanted)};
    std::memcpy(wanted + 1, c.wanted, wanted[0]);
    EXPECT_EQ(named_(0x47, wanted) != 0, c.match);
}

INSTANTIATE_TEST_SUITE_P(Names, IsModuleNamedTest, ::testing::Values(
    NameCase{"Kernel", "KERNEL", "KERNEL", true},
    NameCase{"Kernel32IsNotKernel", "KERNEL32", "KERNEL", false},
    NameCase{"LowerCaseIsNotKernel", "kernel", "KERNEL", false},
    NameCase{"PrefixOfTheStoredName", "KERNEL", "KERN", false},
    NameCase{"NotAModule", nullptr, "KERNEL", false},
    NameCase{"NineCharacters", "ATMLIBRAR", "ATMLIBRAR", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Access16Test, NoDecoyIsTakenForKernel)
{
    static const uint8_t kernel[] = "\x06KERNEL";
    uint16_t selector = 0x2F;
    for (sim::Decoy d : sim::kDecoys) {
        ASSERT_EQ(sim::BuildDecoy(selector, d), selector);
        EXPECT_FALSE(named_(selector, kernel)) << "the decoy at " << std::hex << selector;
        selector += 8;
    }
    sim::InstallKernel16({selector, {}});
    EXPECT_TRUE(named_(selector, kernel)) << "KERNEL after them";
}

struct ScanCase {
    const char* name;
    uint16_t kernel;       // where KERNEL's database lies; 0: nowhere
    uint16_t last;         // the last selector examined
};

class FindModuleSelectorTest : public Access16Test, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(FindModuleSelectorTest, Tries10FFirstThenTheRangeInOrder)
{
    const ScanCase& c = GetParam();
    uint16_t decoy = 0x2F;  // every decoy, from the start of the range on (0x2F-0x87)
    for (sim::Decoy d : sim::kDecoys) {
        ASSERT_EQ(sim::BuildDecoy(decoy, d), decoy);
        decoy += 8;
    }
    if (c.kernel) sim::InstallKernel16({c.kernel, {}});
    EXPECT_EQ(find_("KERNEL"), c.kernel);
    // Each candidate is examined in turn (a candidate that looks like a module is read twice).
    std::vector<uint16_t> examined;
    for (uint16_t s : sim::machine().queried_selectors)
        if (examined.empty() || examined.back() != s) examined.push_back(s);
    ASSERT_FALSE(examined.empty());
    EXPECT_EQ(examined.front(), 0x10F);
    std::vector<uint16_t> expected = {0x10F};
    for (uint16_t s = 0x2F; c.last != 0x10F && s <= c.last; s += 8) expected.push_back(s);
    EXPECT_EQ(examined, expected);
}

INSTANTIATE_TEST_SUITE_P(Places, FindModuleSelectorTest, ::testing::Values(
    ScanCase{"At10F", 0x10F, 0x10F},
    ScanCase{"RightAfterTheDecoys", 0x8F, 0x8F},
    ScanCase{"InTheRange", 0x7F7, 0x7F7},
    ScanCase{"AtTheLastSelector", 0xFFF, 0xFFF},
    ScanCase{"Nowhere", 0, 0xFFF}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Access16Test, OverlongNameIsNotSearched)
{
    EXPECT_EQ(find_("KERNELKERN"), 0);
    EXPECT_EQ(sim::machine().counters.descriptor_queries, 0u);
}

TEST_F(Access16Test, OrdinalEntriesOfKernel)
{
    sim::InstallKernel16({0x10F, {}});
    for (uint16_t ordinal : sim::kKernelOrdinals) EXPECT_EQ(entry_(0x10F, ordinal), sim::Kernel16Entry(ordinal)) << ordinal;
    for (uint16_t none : {0, 238, 260, 264, 0xFFFF}) EXPECT_EQ(entry_(0x10F, none), 0u) << none;
    EXPECT_EQ(Gs(), sim::HostGs());
}

TEST_F(Access16Test, BadSelectorsYieldNothingAndKeepGs)
{
    EXPECT_EQ(entry_(0, 15), 0u);
    EXPECT_EQ(entry_(0x2F, 15), 0u) << "an empty slot faults on the segment load";
    sim::BuildPlainSegment(0x37, "NE");                    // 64 bytes: the walk reads past nothing
    EXPECT_EQ(entry_(0x37, 15), 0u);
    EXPECT_EQ(Gs(), sim::HostGs());
}

// A hand-made module database: "NE", the entry table at 0x40, the segment table at 0x30.
std::string Database(const std::vector<uint16_t>& bundle_words, const std::vector<uint8_t>& entries)
{
    std::string db(0x40, '\0');
    db[0] = 'N';
    db[1] = 'E';
    db[0x04] = 0x40;
    db[0x22] = 0x30;
    db[0x30 + 8] = 0x0E;  // segment 1: handle 0x010E
    db[0x31 + 8] = 0x01;
    for (uint16_t w : bundle_words) db.append((const char*)&w, 2);
    db.append(entries.begin(), entries.end());
    return db;
}

TEST_F(Access16Test, CyclicBundleChainEndsTheWalk)
{
    // 0x40: ordinals 1-5, next 0x40 (itself)
    sim::BuildPlainSegment(0x37, Database({0, 5, 0x40}, std::vector<uint8_t>(25, 0)));
    EXPECT_EQ(entry_(0x37, 9), 0u);
    // 0x40: 1-5, next 0x5F; 0x5F: 6-7, next 0x40
    std::vector<uint8_t> rest(25, 0);
    uint16_t second[] = {5, 7, 0x40};
    rest.insert(rest.end(), (uint8_t*)second, (uint8_t*)second + 6);
    rest.resize(rest.size() + 10, 0);
    sim::BuildPlainSegment(0x3F, Database({0, 5, 0x5F}, rest));
    EXPECT_EQ(entry_(0x3F, 20), 0u);
}

TEST_F(Access16Test, EvenAndOddSegmentHandles)
{
    // ordinal 1 in segment 1 (handle 0x010E), offset 0x1234
    sim::BuildPlainSegment(0x37, Database({0, 1, 0}, {1, 0, 1, 0x34, 0x12}));
    EXPECT_EQ(entry_(0x37, 1), 0x010F1234u);
    std::string odd = Database({0, 1, 0}, {1, 0, 1, 0x34, 0x12});
    odd[0x38] = 0x17;  // handle 0x0117: the selector itself
    sim::BuildPlainSegment(0x3F, odd);
    EXPECT_EQ(entry_(0x3F, 1), 0x01171234u);
}

TEST_F(Access16Test, FaultAfterTheOffsetIsReadYieldsNothing)
{
    // ordinal 1 names segment 200, whose table entry lies far beyond the segment's limit
    sim::BuildPlainSegment(0x37, Database({0, 1, 0}, {1, 0, 200, 0x34, 0x12}));
    EXPECT_EQ(entry_(0x37, 1), 0u);
    EXPECT_EQ(Gs(), sim::HostGs());
}

// A segment whose limit covers three pages of which only the first is committed: the limit test
// passes everywhere, and ReadProcessMemory must refuse what lies on the other two.
class UncommittedTest : public Access16Test, public ::testing::WithParamInterface<BoundCase> {
protected:
    void SetUp() override
    {
        Access16Test::SetUp();
        memory_ = mmap(nullptr, 3 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(memory_, MAP_FAILED);
        ASSERT_EQ(mprotect(memory_, kPage, PROT_READ | PROT_WRITE), 0);
        for (unsigned i = 0; i < kPage; ++i) ((uint8_t*)memory_)[i] = (uint8_t)i;
        sim::SegmentSpec spec;
        spec.base = (uint32_t)(uintptr_t)memory_;
        spec.limit = 3 * kPage - 1;
        ASSERT_EQ(sim::AllocSelector(spec, 0x10F), 0x10F);
    }

    void TearDown() override
    {
        sim::FreeSelector(0x10F);
        munmap(memory_, 3 * kPage);
        Access16Test::TearDown();
    }

    static constexpr unsigned kPage = 4096;
    void* memory_ = nullptr;
};

TEST_P(UncommittedTest, ReadsOnlyWhatIsCommitted)
{
    const BoundCase& c = GetParam();
    uint8_t out[64];
    EXPECT_EQ(read_(0x10F, c.offset, out, c.size) != 0, c.ok);
    EXPECT_EQ(sim::machine().counters.memory_reads, 1u) << "the limit test passed; the read itself decides";
    if (c.ok) {
        EXPECT_EQ(std::memcmp(out, (uint8_t*)memory_ + c.offset, c.size), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(OnePageOfThree, UncommittedTest, ::testing::Values(
    BoundCase{"EndOfTheCommittedPage", 0xFC0, 64, true},
    BoundCase{"StraddlesIntoTheUncommitted", 0xFE0, 64, false},
    BoundCase{"WhollyUncommitted", 0x2000, 16, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

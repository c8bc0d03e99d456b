// Building the work block and running a recording through it: the font manager calls the
// recorders, which grow the RecordBuffer through KERNEL and its far-return byte.
#include <cstring>

#include "atm_entry_table.h"
#include "bound_bridge_test.h"
#include "fontmgr/fontmgr.h"
#include "routines16.h"

namespace {

class BuildWorkBlockTest : public BoundBridgeTest {
protected:
    void SetUp() override
    {
        BoundBridgeTest::SetUp();
        if (!dll_) return;
        build_ = Export<int (*)(FarPtr16)>(dll_, "BuildWorkBlock");
        busy_ = Export<uint32_t (*)()>(dll_, "RecordBufferBusy");
        alloc_ = Export<FarPtr16 (*)()>(dll_, "AllocRecordBuffer");
        release_ = Export<void (*)()>(dll_, "ReleaseRecordBuffer");
        table_ = Export<AtmEntryTableRecord*>(dll_, "AtmEntryTable");
        image_ = Export<uint8_t*>(dll_, "WorkBlockImage");
    }

    void TearDown() override
    {
        if (table_ && table_->BlockHandle) FreeBlock();
        sim::RemoveFontManager();
        BoundBridgeTest::TearDown();
    }

    // Releases the block as the bridge's finish does.
    void FreeBlock()
    {
        uint16_t code;
        std::memcpy(&code, image_ + 2, 2);
        Args16 a;
        sim::CallTo16(sim::Kernel16Entry(176), a.W(code));
        Args16 b;
        sim::CallTo16(sim::Kernel16Entry(17), b.W(table_->BlockHandle));
        table_->BlockHandle = 0;
    }

    uint32_t Header32(unsigned at) const
    {
        uint32_t v;
        std::memcpy(&v, image_ + at, 4);
        return v;
    }

    int (*build_)(FarPtr16) = nullptr;
    uint32_t (*busy_)() = nullptr;
    FarPtr16 (*alloc_)() = nullptr;
    void (*release_)() = nullptr;
    AtmEntryTableRecord* table_ = nullptr;
    uint8_t* image_ = nullptr;
};

TEST_F(BuildWorkBlockTest, FindsTheFarReturnByteAndBuildsOnce)
{
    sim::FontManagerSetup setup;
    setup.far_return_at = 0;  // the byte 0xCB right at the given address
    sim::FontManager& fm = sim::InstallFontManager(setup);
    FarPtr16 at = sim::MakeFar(fm.code_selector, fm.isup_offset);
    ASSERT_EQ(build_(at), 1);
    EXPECT_NE(table_->BlockHandle, 0);
    EXPECT_EQ(Header32(0x18), at);
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u);
    EXPECT_EQ(sim::LiveAliases(), 1u);
    unsigned allocs = sim::Heap16Counters().allocs;
    EXPECT_EQ(build_(at), 1);
    EXPECT_EQ(sim::Heap16Counters().allocs, allocs) << "a second build does nothing";
}

struct BuildFailure {
    const char* name;
    int far_return_at;       // from ATMIsUp's entry at 0x10 in a 0x80-byte segment; -1: none
    bool at_limit;           // the given offset is the segment's limit
    bool bad_selector;
    unsigned alloc_fail_at, alias_fail_at;
};

class BuildFailureTest : public BuildWorkBlockTest, public ::testing::WithParamInterface<BuildFailure> {};

TEST_P(BuildFailureTest, LeavesNoBlockAndNoSelector)
{
    const BuildFailure& c = GetParam();
    sim::FontManagerSetup setup;
    setup.far_return_at = c.far_return_at;
    sim::FontManager& fm = sim::InstallFontManager(setup);
    sim::Heap16Faults().alloc_fail_at = c.alloc_fail_at;
    sim::Heap16Faults().alias_fail_at = c.alias_fail_at;
    unsigned selectors = sim::LiveSelectors();
    FarPtr16 at = sim::MakeFar(fm.code_selector, fm.isup_offset);
    if (c.at_limit) at = sim::MakeFar(fm.code_selector, (uint16_t)(setup.code_size - 1));
    if (c.bad_selector) at = sim::MakeFar(0x2F, 0);
    EXPECT_EQ(build_(at), 0);
    EXPECT_EQ(table_->BlockHandle, 0);
    EXPECT_EQ(sim::LiveGlobalHandles(), 0u);
    EXPECT_EQ(sim::LiveAliases(), 0u);
    EXPECT_EQ(sim::LiveSelectors(), selectors);
}

INSTANTIATE_TEST_SUITE_P(Failures, BuildFailureTest, ::testing::Values(
    BuildFailure{"AllocationFails", 5, false, false, 1, 0},
    BuildFailure{"AliasFails", 5, false, false, 0, 1},
    BuildFailure{"NoFarReturnByte", -1, false, false, 0, 0},
    BuildFailure{"OffsetAtTheLimitWhereTheOnlyByteIs", 0x6F, true, false, 0, 0},
    BuildFailure{"LimitUnreadable", 5, false, true, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

uint32_t Dword(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }

TEST_F(BuildWorkBlockTest, TheFontManagerRecordsIntoTheBufferThroughTheRecorders)
{
    sim::FontManagerSetup setup;
    for (int i = 0; i < 2000; ++i) setup.fonts.push_back({"block", "Font " + std::to_string(i), (uint16_t)i});
    sim::FontManager& fm = sim::InstallFontManager(setup);
    ASSERT_EQ(build_(sim::MakeFar(fm.code_selector, fm.isup_offset)), 1);
    EXPECT_EQ(busy_(), 0u);
    FarPtr16 buffer = alloc_();
    ASSERT_NE(buffer, 0u);
    EXPECT_NE(busy_(), 0u);
    const uint8_t* block = (const uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar((uint16_t)Header32(0) , 0));
    EXPECT_EQ(Dword(block + 0x0C), 0x8000u);
    EXPECT_EQ(Dword(block + 0x10), 0u);

    uint16_t code;
    std::memcpy(&code, image_ + 2, 2);
    Args16 a;
    a.W(0).D(sim::MakeFar(code, 0x80)).D(0x1234);
    EXPECT_EQ(sim::CallTo16(fm.entries["ATMEnumFonts"], a) & 0xFFFF, 0u);
    EXPECT_EQ(fm.callback_results.size(), 2000u);
    uint32_t written = Dword(block + 0x10);
    EXPECT_GT(written, 0x10000u) << "past 64 KB";
    EXPECT_GT(Dword(block + 0x0C), 0x10000u) << "grown";
    uint16_t moved = (uint16_t)Dword(block + 0x14);
    EXPECT_NE(moved, buffer >> 16) << "the buffer moved";
    EXPECT_EQ(moved, sim::GlobalSelector16((uint16_t)(Dword(block + 0x14) >> 16))) << "BufferSel is the block's selector";
    const char* records = (const char*)(uintptr_t)sim::Linear16(sim::MakeFar(moved, 0));
    // The last record: its value, the block and the name, at its true 32-bit offset.
    std::string last = "Font 1999";
    uint32_t last_at = written - (53 + (uint32_t)last.size());
    EXPECT_EQ(std::string(records + last_at + 52), last);
    EXPECT_EQ((uint8_t)records[last_at], 1999 & 0xFF);

    release_();
    EXPECT_EQ(busy_(), 0u);
    EXPECT_EQ(Dword(block + 0x10), written) << "WriteOffset stays until the next allocation";
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u) << "only the block";
    ASSERT_NE(alloc_(), 0u);
    EXPECT_EQ(Dword(block + 0x10), 0u);
    release_();
}

TEST_F(BuildWorkBlockTest, ALockWithoutAnAddressLeavesNoBufferBehind)
{
    sim::FontManager& fm = sim::InstallFontManager({});
    ASSERT_EQ(build_(sim::MakeFar(fm.code_selector, fm.isup_offset)), 1);
    sim::Heap16Faults().lock_fail_at = sim::Heap16Counters().locks + 1;
    EXPECT_EQ(alloc_(), 0u);
    EXPECT_EQ(busy_(), 0u);
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u) << "only the block";
    sim::Heap16Faults().alloc_fail_at = sim::Heap16Counters().allocs + 1;
    EXPECT_EQ(alloc_(), 0u);
    EXPECT_EQ(busy_(), 0u);
}

// The block's data selector made to address no-access memory: the header cannot be written, and
// the new RecordBuffer is freed instead of being held where no release finds it.
TEST_F(BuildWorkBlockTest, AHeaderThatCannotBeWrittenLeavesNoBufferBehind)
{
    sim::FontManager& fm = sim::InstallFontManager({});
    ASSERT_EQ(build_(sim::MakeFar(fm.code_selector, fm.isup_offset)), 1);
    uint16_t data = (uint16_t)Header32(0);
    win32::LdtEntry entry;
    ASSERT_TRUE(sim::ReadDescriptor(data, &entry));
    sim::SegmentSpec spec;
    spec.base = sim::DescriptorBase(entry);
    spec.limit = sim::DescriptorLimit(entry);
    sim::SegmentSpec unwritable = spec;
    unwritable.base += 0x1000;  // within the no-access pages after the block
    ASSERT_TRUE(sim::SetSelector(data, unwritable));
    unsigned frees = sim::Heap16Counters().frees;
    EXPECT_EQ(alloc_(), 0u);
    EXPECT_EQ(sim::Heap16Counters().frees, frees + 1);
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u) << "only the block";
    ASSERT_TRUE(sim::SetSelector(data, spec));
    EXPECT_EQ(busy_(), 0u);
}

}  // namespace

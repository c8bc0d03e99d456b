// The work block's 16-bit recorders, run as real 16-bit code on the test machine: the block is
// laid out from the library's WorkBlockImage with its header filled as the library fills it.
#include <cstring>

#include "far16.h"
#include "fontmgr/fontmgr.h"
#include "kernel16/kernel16.h"
#include "machine_test.h"
#include "routines16.h"

namespace {

enum Field : unsigned {
    kDataSel = 0x00, kCodeSel = 0x02, kLockEntry = 0x04, kReallocEntry = 0x08, kCapacity = 0x0C,
    kWriteOffset = 0x10, kBufferSel = 0x14, kBufferHandle = 0x16, kFarReturn = 0x18, kGrowEntry = 0x1C,
};
enum Entry : uint16_t {
    kEnumFonts = 0x80, kEnumMMFonts = 0xC8, kOutline1 = 0x118, kOutline2 = 0x148, kOutline3 = 0x1A0, kOutline4 = 0x1E0,
};

class WorkBlockTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallKernel16({0x10F, {}});
        sim::FontManager& fm = sim::InstallFontManager({});  // its code holds the far-return byte
        dll_ = LoadTestDll();
        ASSERT_NE(dll_, nullptr);
        const uint8_t* image = Export<const uint8_t*>(dll_, "WorkBlockImage");
        block_ = Kernel(15, Args16().W(0).D(540));
        ASSERT_NE(block_, 0u);
        uint32_t data = Kernel(18, Args16().W((uint16_t)block_));
        code_ = (uint16_t)Kernel(171, Args16().W((uint16_t)(data >> 16)));
        header_ = (uint8_t*)(uintptr_t)sim::Linear16(data);
        std::memcpy(header_, image, 540);
        Put16(kDataSel, (uint16_t)(data >> 16));
        Put16(kCodeSel, code_);
        Put32(kLockEntry, sim::Kernel16Entry(18));
        Put32(kReallocEntry, sim::Kernel16Entry(16));
        Put32(kFarReturn, sim::MakeFar(fm.code_selector, (uint16_t)(fm.isup_offset + 5)));
        Put16(kGrowEntry, 0x20);
        // A fresh RecordBuffer, as the library allocates it.
        uint16_t buffer = (uint16_t)Kernel(15, Args16().W(2).D(0x8000));
        Put32(kCapacity, 0x8000);
        Put32(kWriteOffset, 0);
        Put16(kBufferSel, (uint16_t)(Kernel(18, Args16().W(buffer)) >> 16));
        Put16(kBufferHandle, buffer);
    }

    void TearDown() override
    {
        if (header_) {
            Kernel(17, Args16().W(Get16(kBufferHandle)));
            Kernel(176, Args16().W(code_));
            Kernel(17, Args16().W((uint16_t)block_));
        }
        sim::RemoveFontManager();
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    static uint32_t Kernel(uint16_t ordinal, const Args16& a) { return sim::CallTo16(sim::Kernel16Entry(ordinal), a); }
    void Put16(unsigned at, uint16_t v) { std::memcpy(header_ + at, &v, 2); }
    void Put32(unsigned at, uint32_t v) { std::memcpy(header_ + at, &v, 4); }
    uint16_t Get16(unsigned at) const { uint16_t v; std::memcpy(&v, header_ + at, 2); return v; }
    uint32_t Get32(unsigned at) const { uint32_t v; std::memcpy(&v, header_ + at, 4); return v; }

    uint16_t Record(Entry entry, const Args16& a) { return (uint16_t)sim::CallTo16(sim::MakeFar(code_, entry), a); }

    // The recorded bytes from `from` to WriteOffset, read at their 32-bit offsets.
    std::string Recorded(uint32_t from = 0) const
    {
        const char* buffer = (const char*)(uintptr_t)sim::Linear16(sim::MakeFar(Get16(kBufferSel), 0));
        return std::string(buffer + from, Get32(kWriteOffset) - from);
    }

    sim::PeModule* dll_ = nullptr;
    uint32_t block_ = 0;
    uint16_t code_ = 0;
    uint8_t* header_ = nullptr;
};

std::string Bytes(uint32_t v, unsigned n) { return std::string((const char*)&v, n); }

TEST_F(WorkBlockTest, EnumFontsRecordIsValueBlockAndString)
{
    char block[50];
    for (int i = 0; i < 50; ++i) block[i] = (char)(0x30 + i);
    char name[] = "Serif Bold", empty[] = "";
    Far16Data a(block), s(name), e(empty);
    EXPECT_EQ(Record(kEnumFonts, Args16().D(a.far()).D(s.far()).W(0x1234).D(0xC1)), 1);
    EXPECT_EQ(Recorded(), Bytes(0x1234, 2) + std::string(block, 50) + std::string(name, sizeof name));
    uint32_t second = Get32(kWriteOffset);
    EXPECT_EQ(Record(kEnumFonts, Args16().D(a.far()).D(e.far()).W(7).D(0)), 1);
    EXPECT_EQ(Recorded(second).size(), 53u) << "an empty string appends 53 bytes";
}

TEST_F(WorkBlockTest, EnumMMFontsRecordByMode)
{
    char name[] = "MM Instance";
    Far16Data n(name);
    uint8_t a[320];
    for (int i = 0; i < 320; ++i) a[i] = (uint8_t)i;
    uint32_t far = n.far();
    std::memcpy(a, &far, 4);
    a[4] = 0x99, a[5] = 0x01;
    Far16Data block(a);
    EXPECT_EQ(Record(kEnumMMFonts, Args16().D(block.far()).D(0)), 1);
    EXPECT_EQ(Recorded(), std::string((const char*)a, 320));
    uint32_t second = Get32(kWriteOffset);
    EXPECT_EQ(Record(kEnumMMFonts, Args16().D(block.far()).D(0x10000)), 1) << "any non-zero 32-bit mode";
    EXPECT_EQ(Recorded(second), Bytes(0x0199, 2) + std::string(name, sizeof name));
}

TEST_F(WorkBlockTest, OutlineRecordsCarryTheirTypeAndPoints)
{
    uint64_t p1 = 0x1111111122222222, p2 = 0x3333333344444444, p3 = 0x5555555566666666;
    Far16Data f1(&p1), f2(&p2), f3(&p3);
    EXPECT_EQ(Record(kOutline1, Args16().D(9)), 1);
    EXPECT_EQ(Record(kOutline2, Args16().D(f1.far()).D(f2.far()).D(f3.far()).D(9)), 1);
    EXPECT_EQ(Record(kOutline3, Args16().D(f1.far()).D(9)), 1);
    EXPECT_EQ(Record(kOutline4, Args16().D(f2.far()).D(9)), 1);
    auto point = [](uint64_t p) { return std::string((const char*)&p, 8); };
    EXPECT_EQ(Recorded(), Bytes(1, 4) + Bytes(2, 4) + point(p1) + point(p2) + point(p3) + Bytes(3, 4) + point(p1) +
                              Bytes(4, 4) + point(p2));
}

TEST_F(WorkBlockTest, GrowsOnlyWhenLessThan400BytesAreFree)
{
    uint16_t selector = Get16(kBufferSel);
    Put32(kWriteOffset, 0x8000 - 0x400);
    EXPECT_EQ(Record(kOutline1, Args16().D(0)), 1);
    EXPECT_EQ(Get32(kCapacity), 0x8000u) << "exactly 0x400 free: no growth";
    EXPECT_EQ(sim::Heap16Counters().reallocs, 0u);
    Put32(kWriteOffset, 0x8000 - 0x3FF);
    EXPECT_EQ(Record(kOutline1, Args16().D(0)), 1);
    EXPECT_EQ(Get32(kCapacity), 0x10000u);
    EXPECT_EQ(sim::Heap16Counters().reallocs, 1u);
    EXPECT_EQ(Get16(kBufferSel), sim::GlobalSelector16(Get16(kBufferHandle))) << "the selector after the move";
    EXPECT_NE(Get16(kBufferSel), selector);
    EXPECT_EQ(sim::GlobalSize16(Get16(kBufferHandle)), 0x10000u);
    EXPECT_EQ(Get32(kWriteOffset), 0x8000u - 0x3FF + 4);
}

TEST_F(WorkBlockTest, FailedGrowthChangesNothingAndAnswersZero)
{
    sim::Heap16Faults().realloc_fail_at = 1;
    Put32(kWriteOffset, 0x7F00);
    std::string before((const char*)header_, 0x20);
    EXPECT_EQ(Record(kOutline1, Args16().D(0)), 0);
    EXPECT_EQ(std::string((const char*)header_, 0x20), before);
}

TEST_F(WorkBlockTest, RecordsPastOffsetFFFFLandAtTheirTrueOffsets)
{
    uint64_t p = 0x0123456789ABCDEF;
    Far16Data f(&p);
    unsigned records = 0;
    while (Get32(kWriteOffset) < 0x30000) {
        ASSERT_EQ(Record(kOutline3, Args16().D(f.far()).D(0)), 1);
        ++records;
    }
    EXPECT_EQ(Get32(kWriteOffset), records * 12);
    EXPECT_GE(Get32(kCapacity), 0x30400u);
    std::string all = Recorded();
    for (unsigned i = 0; i < records; i += 997)
        EXPECT_EQ(all.substr(i * 12, 12), Bytes(3, 4) + std::string((const char*)&p, 8)) << "record " << i;
    EXPECT_EQ(all.substr((records - 1) * 12, 12), Bytes(3, 4) + std::string((const char*)&p, 8));
}

TEST_F(WorkBlockTest, OverlongStringsAreCutToTheRoomAndStillEndWithNul)
{
    std::string longname(2000, 'x');
    char block[50] = {};
    Far16Data a(block), s(longname.c_str(), 0xFFFF);
    EXPECT_EQ(Record(kEnumFonts, Args16().D(a.far()).D(s.far()).W(1).D(0)), 1);
    std::string record = Recorded();
    EXPECT_EQ(record.size(), 0x400u) << "2 + 50 + 971 characters + NUL";
    EXPECT_EQ(record.back(), '\0');
    EXPECT_EQ(record.substr(52, 971), std::string(971, 'x'));

    uint32_t second = Get32(kWriteOffset);
    uint8_t mm[320] = {};
    uint32_t far = s.far();
    std::memcpy(mm, &far, 4);
    Far16Data m(mm);
    EXPECT_EQ(Record(kEnumMMFonts, Args16().D(m.far()).D(1)), 1);
    EXPECT_EQ(Recorded(second).size(), 0x400u) << "2 + 1021 characters + NUL";
    EXPECT_LE(Get32(kWriteOffset), Get32(kCapacity));
}

}  // namespace

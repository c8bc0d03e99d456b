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
    kRefused = 0x1E,
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

// Each recorder, refused growth: it answers 0, appends nothing and marks the refusal in the
// header's word at 0x1E, which is the only change to the header.
TEST_F(WorkBlockTest, FailedGrowthAnswersZeroAndOnlyMarksTheRefusal)
{
    uint64_t p = 0x1111111122222222;
    char block[50] = {}, name[] = "Name";
    uint8_t mm[320] = {};
    Far16Data point(&p), a(block), s(name), m(mm);
    uint32_t pf = point.far();
    const struct {
        const char* name;
        Entry entry;
        std::string stack;  // the arguments as they lie on the 16-bit stack, the last one lowest
    } calls[] = {
        {"EnumFonts", kEnumFonts, Bytes(0, 4) + Bytes(1, 2) + Bytes(s.far(), 4) + Bytes(a.far(), 4)},
        {"EnumMMFonts", kEnumMMFonts, Bytes(0, 4) + Bytes(m.far(), 4)},
        {"Outline1", kOutline1, Bytes(0, 4)},
        {"Outline2", kOutline2, Bytes(0, 4) + Bytes(pf, 4) + Bytes(pf, 4) + Bytes(pf, 4)},
        {"Outline3", kOutline3, Bytes(0, 4) + Bytes(pf, 4)},
        {"Outline4", kOutline4, Bytes(0, 4) + Bytes(pf, 4)},
    };
    Put32(kWriteOffset, 0x7F00);  // less than 0x400 bytes free: every record needs growth
    for (const auto& c : calls) {
        sim::Heap16Faults().realloc_fail_at = sim::Heap16Counters().reallocs + 1;
        std::string before((const char*)header_, 0x20);
        uint32_t answer = sim::CallTo16(sim::MakeFar(code_, c.entry), c.stack.data(), (unsigned)c.stack.size());
        EXPECT_EQ(answer & 0xFFFF, 0u) << c.name;
        EXPECT_NE(Get16(kRefused), 0) << c.name;
        Put16(kRefused, 0);
        EXPECT_EQ(std::string((const char*)header_, 0x20), before) << c.name;
    }
}

// The mark stays while records go on being appended, until the library allocates the next
// RecordBuffer.
TEST_F(WorkBlockTest, RefusalStaysMarkedUntilTheNextRecordBuffer)
{
    Put32(kWriteOffset, 0x7F00);
    sim::Heap16Faults().realloc_fail_at = sim::Heap16Counters().reallocs + 1;
    EXPECT_EQ(Record(kOutline1, Args16().D(0)), 0);
    EXPECT_EQ(Record(kOutline1, Args16().D(0)), 1) << "the second growth works";
    EXPECT_EQ(Get32(kWriteOffset), 0x7F04u);
    EXPECT_NE(Get16(kRefused), 0) << "kept after a record that worked";

    // The library on this block (its image's DataSel names it) releases the buffer and allocates
    // the next one.
    ASSERT_TRUE(Export<int (*)()>(dll_, "BindThunkServices")());
    std::memcpy(Export<uint8_t*>(dll_, "WorkBlockImage") + kDataSel, header_ + kDataSel, 2);
    Export<void (*)()>(dll_, "ReleaseRecordBuffer")();
    ASSERT_NE(Export<sim::FarPtr16 (*)()>(dll_, "AllocRecordBuffer")(), 0u);
    EXPECT_EQ(Get16(kRefused), 0);
    EXPECT_EQ(Get32(kWriteOffset), 0u);
    EXPECT_NE(Get16(kBufferHandle), 0);
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

// The library's reads and writes of the block's header through GS, on a 64-byte segment (limit
// 63) that ends where no-access memory begins, and on selectors that cannot be used.
enum class Access { kPeek16, kPoke16, kPoke32 };

struct AccessCase {
    const char* name;
    Access access;
    uint16_t selector;
    uint16_t offset;
    bool within;  // every byte lies within the segment's limit
};

constexpr uint16_t kSegment = 0x37, kEmptySlot = 0x3F;

class HeaderAccessTest : public MachineTest, public ::testing::WithParamInterface<AccessCase> {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::PeModule* dll = LoadTestDll();
        ASSERT_NE(dll, nullptr);
        peek16_ = Export<decltype(peek16_)>(dll, "Peek16");
        poke16_ = Export<decltype(poke16_)>(dll, "Poke16");
        poke32_ = Export<decltype(poke32_)>(dll, "Poke32");
        std::string contents(64, '\0');
        for (int i = 0; i < 64; ++i) contents[i] = (char)(0x80 + i);
        ASSERT_EQ(sim::BuildPlainSegment(kSegment, contents), kSegment);
        segment_ = (uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(kSegment, 0));
    }

    void TearDown() override
    {
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    uint32_t (*peek16_)(uint16_t, uint16_t) = nullptr;
    int (*poke16_)(uint16_t, uint16_t, uint16_t) = nullptr;
    int (*poke32_)(uint16_t, uint16_t, uint32_t) = nullptr;
    uint8_t* segment_ = nullptr;
};

TEST_P(HeaderAccessTest, FaultsAreCaughtAndGsAndTheHandlerChainRestored)
{
    const AccessCase& c = GetParam();
    std::string contents((const char*)segment_, 64);
    uint32_t chain = sim::CurrentTib()->ExceptionList;
    if (c.access == Access::kPeek16) {
        uint32_t word = c.within ? (uint32_t)(segment_[c.offset] | segment_[c.offset + 1] << 8) : 0;
        EXPECT_EQ(peek16_(c.selector, c.offset), word) << "the word, or 0 after a fault";
    } else {
        std::string value = c.access == Access::kPoke16 ? "\xEF\xBE" : "\xEF\xBE\xAD\xDE";
        int stored = c.access == Access::kPoke16 ? poke16_(c.selector, c.offset, 0xBEEF)
                                                 : poke32_(c.selector, c.offset, 0xDEADBEEF);
        EXPECT_EQ(stored, c.within ? 1 : 0);
        if (c.within) {
            contents.replace(c.offset, value.size(), value);
            EXPECT_EQ(std::string((const char*)segment_, 64), contents);
        }
    }
    EXPECT_EQ(Gs(), sim::HostGs());
    EXPECT_EQ(sim::CurrentTib()->ExceptionList, chain);
}

INSTANTIATE_TEST_SUITE_P(Accesses, HeaderAccessTest, ::testing::Values(
    //         name                    access           selector    offset  within
    AccessCase{"Peek16LastWord",       Access::kPeek16, kSegment,   62,     true},
    AccessCase{"Peek16AcrossTheLimit", Access::kPeek16, kSegment,   63,     false},
    AccessCase{"Peek16PastTheLimit",   Access::kPeek16, kSegment,   0xFFFE, false},
    AccessCase{"Peek16EmptySlot",      Access::kPeek16, kEmptySlot, 0,      false},
    AccessCase{"Peek16NullSelector",   Access::kPeek16, 0,          0x16,   false},
    AccessCase{"Poke16LastWord",       Access::kPoke16, kSegment,   62,     true},
    AccessCase{"Poke16AcrossTheLimit", Access::kPoke16, kSegment,   63,     false},
    AccessCase{"Poke16EmptySlot",      Access::kPoke16, kEmptySlot, 0x16,   false},
    AccessCase{"Poke32LastDword",      Access::kPoke32, kSegment,   60,     true},
    AccessCase{"Poke32AcrossTheLimit", Access::kPoke32, kSegment,   61,     false},
    AccessCase{"Poke32PastTheLimit",   Access::kPoke32, kSegment,   0x40,   false},
    AccessCase{"Poke32EmptySlot",      Access::kPoke32, kEmptySlot, 0x0C,   false}),
    [](const auto& info) { return std::string(info.param.name); });

// The image copy into 16-bit memory: a destination's 16-bit offset is taken as it is, so every
// offset of a 64 KB segment is reached, 0x8000 and above included, and a copy past the limit
// answers 0 with GS and the handler chain put back.
class CopyTo16Test : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::PeModule* dll = LoadTestDll();
        ASSERT_NE(dll, nullptr);
        copy_ = Export<decltype(copy_)>(dll, "CopyTo16");
        ASSERT_EQ(sim::BuildPlainSegment(kSegment, std::string(0x10000, '\0')), kSegment);
        segment_ = (uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(kSegment, 0));
    }

    void TearDown() override
    {
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    int (*copy_)(uint32_t, const void*, uint32_t) = nullptr;
    uint8_t* segment_ = nullptr;
};

TEST_F(CopyTo16Test, ReachesEveryOffsetOfA64KSegmentAndNothingPastIt)
{
    const char bytes[16] = "0123456789ABCDE";
    for (uint16_t offset : {0x0000, 0x7FF8, 0x8000, 0xFFF0}) {
        EXPECT_EQ(copy_(sim::MakeFar(kSegment, offset), bytes, 16), 1) << offset;
        EXPECT_EQ(std::memcmp(segment_ + offset, bytes, 16), 0) << offset;
    }
    uint32_t chain = sim::CurrentTib()->ExceptionList;
    EXPECT_EQ(copy_(sim::MakeFar(kSegment, 0xFFF8), bytes, 16), 0) << "past the limit";
    EXPECT_EQ(Gs(), sim::HostGs());
    EXPECT_EQ(sim::CurrentTib()->ExceptionList, chain);
}

}  // namespace

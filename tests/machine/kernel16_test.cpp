#include <cstring>

#include "kernel16/kernel16.h"
#include "machine_test.h"
#include "routines16.h"

namespace {

class Kernel16Test : public MachineTest {
protected:
    void TearDown() override
    {
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    uint32_t Call(uint16_t ordinal, const Args16& a)
    {
        return sim::CallTo16(sim::Kernel16Entry(ordinal), a);
    }

    uint16_t Alloc(uint16_t flags, uint32_t size) { return (uint16_t)Call(15, Args16().W(flags).D(size)); }
    uint16_t ReAlloc(uint16_t h, uint32_t size) { return (uint16_t)Call(16, Args16().W(h).D(size).W(2)); }
    uint32_t Lock(uint16_t h) { return Call(18, Args16().W(h)); }
    uint16_t Free(uint16_t h) { return (uint16_t)Call(17, Args16().W(h)); }
    static uint8_t* Bytes(uint32_t far) { return (uint8_t*)(uintptr_t)sim::Linear16(far); }
};

// Walks a module database as the loaded NE format lays it out: the entry point of an ordinal.
sim::FarPtr16 WalkEntry(uint16_t db, uint16_t ordinal)
{
    const uint8_t* m = (const uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(db, 0));
    auto w = [&](unsigned off) { uint16_t v; std::memcpy(&v, m + off, 2); return v; };
    for (uint16_t b = w(0x04); b != 0; b = w(b + 4)) {
        if (ordinal > w(b + 2)) continue;
        if (ordinal <= w(b)) return 0;
        unsigned entry = b + 6 + 5 * (ordinal - w(b) - 1);
        uint16_t handle = w(w(0x22) + 10 * (m[entry + 2] - 1) + 8);
        return sim::MakeFar(handle | 1, w(entry + 3));
    }
    return 0;
}

TEST_F(Kernel16Test, ModuleDatabaseLeadsToEveryOrdinal)
{
    ASSERT_EQ(sim::InstallKernel16(), 0x10F);
    const uint8_t* m = (const uint8_t*)(uintptr_t)sim::Linear16(0x010F0000);
    EXPECT_EQ(std::memcmp(m, "NE", 2), 0);
    uint16_t names;
    std::memcpy(&names, m + 0x26, 2);
    EXPECT_EQ(names, 0x86);
    EXPECT_EQ(std::memcmp(m + names, "\x06KERNEL", 7), 0);
    for (uint16_t ordinal : sim::kKernelOrdinals) EXPECT_EQ(WalkEntry(0x10F, ordinal), sim::Kernel16Entry(ordinal)) << ordinal;
    for (uint16_t gap : {0, 238, 260, 264, 1000}) EXPECT_EQ(WalkEntry(0x10F, gap), 0u) << gap;
}

TEST_F(Kernel16Test, MissingOrdinalLeavesAGapAndOthersStay)
{
    sim::KernelSetup setup;
    setup.selector = 0x7F7;
    setup.missing = {50, 1};
    ASSERT_EQ(sim::InstallKernel16(setup), 0x7F7);
    EXPECT_EQ(WalkEntry(0x7F7, 50), 0u);
    EXPECT_EQ(WalkEntry(0x7F7, 47), sim::Kernel16Entry(47));
    EXPECT_EQ(WalkEntry(0x7F7, 171), sim::Kernel16Entry(171));
}

TEST_F(Kernel16Test, MovableAndFixedBlocksHaveEvenAndOddHandles)
{
    sim::InstallKernel16();
    uint16_t movable = Alloc(2, 540), fixed = Alloc(0, 16);
    EXPECT_EQ(movable & 1, 0);
    EXPECT_EQ(fixed & 1, 1);
    EXPECT_EQ(Lock(movable), sim::MakeFar(movable + 1, 0));
    EXPECT_EQ(Lock(fixed), sim::MakeFar(fixed, 0));
    EXPECT_EQ(sim::LiveGlobalHandles(), 2u);
    EXPECT_EQ(Free(movable), 0);
    EXPECT_EQ(Free(fixed), 0);
    EXPECT_EQ(Free(fixed), fixed) << "freed already";
}

TEST_F(Kernel16Test, GrowingMovesTheBlockAndKeepsSelectorAndContents)
{
    sim::InstallKernel16();
    uint16_t h = Alloc(2, 0x8000);
    uint32_t far = Lock(h);
    std::memcpy(Bytes(far), "record", 6);
    uint8_t* before = Bytes(far);
    EXPECT_EQ(ReAlloc(h, 0x8000 * 10), h);
    EXPECT_EQ(Lock(h), far);
    EXPECT_NE(Bytes(far), before);
    EXPECT_EQ(std::memcmp(Bytes(far), "record", 6), 0);
    EXPECT_EQ(sim::GlobalSize16(h), 0x50000u);
    win32::LdtEntry e;
    ASSERT_TRUE(sim::ReadDescriptor(h | 1, &e));
    EXPECT_EQ(sim::DescriptorLimit(e), 0x4FFFFu) << "one selector covers the whole block";
    Bytes(far)[0x4FFFF] = 1;  // the last byte is writable
    EXPECT_EQ(sim::Heap16Counters().moves, 1u);
    Free(h);
}

TEST_F(Kernel16Test, InjectedFailuresLeaveTheBlockUnchanged)
{
    sim::InstallKernel16();
    sim::Heap16Faults().alloc_fail_at = 2;
    sim::Heap16Faults().realloc_above = 0x10000;
    sim::Heap16Faults().lock_fail_at = 1;
    uint16_t h = Alloc(2, 100);
    EXPECT_NE(h, 0);
    EXPECT_EQ(Alloc(2, 100), 0) << "the second allocation fails";
    EXPECT_EQ(ReAlloc(h, 0x10001), 0);
    EXPECT_EQ(sim::GlobalSize16(h), 100u);
    EXPECT_EQ(Lock(h), 0u) << "the first lock fails";
    EXPECT_NE(Lock(h), 0u);
    Free(h);
}

TEST_F(Kernel16Test, CodeAliasOfADataBlock)
{
    sim::InstallKernel16();
    uint16_t h = Alloc(0, 540);
    uint16_t code = (uint16_t)Call(171, Args16().W(h));
    ASSERT_NE(code, 0);
    EXPECT_EQ(sim::Linear16(sim::MakeFar(code, 0x20)), sim::Linear16(sim::MakeFar(h, 0x20)));
    win32::LdtEntry e;
    ASSERT_TRUE(sim::ReadDescriptor(code, &e));
    EXPECT_EQ(e.Flags1 & 0x08, 0x08) << "a code segment";
    EXPECT_EQ((uint16_t)Call(176, Args16().W(code)), 0);
    EXPECT_EQ((uint16_t)Call(176, Args16().W(code)), code) << "released already";
    Free(h);
}

TEST_F(Kernel16Test, ModuleHandleAndProcAddressByName)
{
    sim::InstallKernel16();
    Routines16 routines;
    uint16_t atm = sim::RegisterModule16("ATM", {{1, "ATMIsUp", routines[kAdd]}});
    static const char name[] = "ATM", proc[] = "ATMIsUp", other[] = "ATMNoSuch";
    auto map = [](const void* p) { return (uint32_t)(uintptr_t)p; };
    // Strings are handed over through selectors made for them.
    sim::SegmentSpec spec;
    spec.limit = 0xFF;
    spec.base = map(name);
    uint16_t s1 = sim::AllocSelector(spec);
    spec.base = map(proc);
    uint16_t s2 = sim::AllocSelector(spec);
    spec.base = map(other);
    uint16_t s3 = sim::AllocSelector(spec);
    EXPECT_EQ((uint16_t)Call(47, Args16().D(sim::MakeFar(s1, 0))), atm);
    EXPECT_EQ(Call(50, Args16().W(atm).D(sim::MakeFar(s2, 0))), routines[kAdd]);
    EXPECT_EQ(Call(50, Args16().W(atm).D(sim::MakeFar(s3, 0))), 0u);
    for (uint16_t s : {s1, s2, s3}) sim::FreeSelector(s);
}

TEST_F(Kernel16Test, FarJumpIntoGlobalReAllocReturnsThroughAFarReturnByte)
{
    sim::InstallKernel16();
    Routines16 routines;
    uint16_t h = Alloc(2, 0x8000);
    Args16 a;
    a.D(sim::Kernel16Entry(16)).D(routines[kFarReturn]).W(h).D(0x10000);
    EXPECT_EQ(sim::CallTo16(routines[kJumpRealloc], a) & 0xFFFF, h) << "DS intact, the handle back";
    EXPECT_EQ(sim::GlobalSize16(h), 0x10000u);
    Free(h);
}

}  // namespace

namespace {

typedef win32::BOOL(WINAPI* GetThreadSelectorEntryFn)(win32::HANDLE, win32::DWORD, win32::LdtEntry*);

bool LimitReported(uint16_t selector)
{
    uint32_t limit, ok;
    __asm__ volatile("lsl %2, %0\n\tsetz %b1" : "=r"(limit), "=q"(ok) : "r"((uint32_t)selector) : "cc");
    return ok & 1;
}

TEST_F(Kernel16Test, DecoysLookLikeModulesToTheDescriptorQueryOnly)
{
    auto query = Kernel32<GetThreadSelectorEntryFn>("GetThreadSelectorEntry");
    std::string ne_kernel("NE", 2);
    ne_kernel.resize(0x86, '\0');
    ne_kernel[0x26] = (char)0x86;
    ne_kernel += "\x06KERNEL";
    sim::AddPhantomDescriptor(0x2F, ne_kernel);
    ASSERT_EQ(sim::BuildModuleDatabase(0x37, "KERNEL32", {}, {}), 0x37);
    ASSERT_EQ(sim::BuildModuleDatabase(0x3F, "kernel", {}, {}), 0x3F);
    ASSERT_EQ(sim::BuildPlainSegment(0x47, std::string("\x06KERNEL", 7)), 0x47);

    win32::LdtEntry e;
    EXPECT_TRUE(query(win32::CurrentThread(), 0x2F, &e)) << "the phantom is reported";
    EXPECT_FALSE(LimitReported(0x2F)) << "but the processor knows no segment there";
    const char* phantom = (const char*)(uintptr_t)sim::DescriptorBase(e);
    EXPECT_EQ(std::memcmp(phantom + 0x86, "\x06KERNEL", 7), 0);
    for (uint16_t s : {0x37, 0x3F, 0x47}) {
        EXPECT_TRUE(query(win32::CurrentThread(), s, &e)) << s;
        EXPECT_TRUE(LimitReported(s)) << s;
    }
    EXPECT_EQ(sim::ReadString16(sim::MakeFar(0x37, 0x87), 8), "KERNEL32");
    EXPECT_EQ(sim::ReadString16(sim::MakeFar(0x3F, 0x87), 6), "kernel");
    sim::FreeModuleDatabases();
    EXPECT_FALSE(query(win32::CurrentThread(), 0x2F, &e));
}

}  // namespace

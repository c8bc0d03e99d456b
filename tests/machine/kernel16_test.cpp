#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "kernel16/kernel16.h"
#include "machine_test.h"
#include "routines16.h"

namespace {

typedef win32::BOOL(WINAPI* GetThreadSelectorEntryFn)(win32::HANDLE, win32::DWORD, win32::LdtEntry*);

// The segment's limit as the processor reports it; false when it knows no segment there, which
// is when loading the selector faults.
bool LimitReported(uint16_t selector, uint32_t* limit = nullptr)
{
    uint32_t value, ok;
    __asm__ volatile("lsl %2, %0\n\tsetz %b1" : "=r"(value), "=q"(ok) : "r"((uint32_t)selector) : "cc");
    if (limit) *limit = value;
    return ok & 1;
}

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
    uint16_t ReAlloc(uint16_t h, uint32_t size, uint16_t flags = 2)
    {
        return (uint16_t)Call(16, Args16().W(h).D(size).W(flags));
    }
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
    EXPECT_EQ(Lock(fixed), sim::MakeFar(fixed, 0)) << "a fixed block's handle is its selector";
    uint32_t locked = Lock(movable);
    EXPECT_EQ(locked & 0xFFFF, 0u);
    EXPECT_EQ((locked >> 16) & 7, 7u) << "an LDT selector at privilege 3";
    EXPECT_NE(locked >> 16, movable | 1u) << "only GlobalLock leads from a movable handle to its selector";
    EXPECT_FALSE(LimitReported(movable | 1)) << "the handle's own slot holds no segment";
    EXPECT_EQ(sim::LiveGlobalHandles(), 2u);
    EXPECT_EQ(Free(movable | 1), movable | 1) << "a selector is not a handle";
    EXPECT_EQ(Free(movable), 0);
    EXPECT_FALSE(LimitReported((uint16_t)(locked >> 16))) << "freed with the block";
    EXPECT_EQ(Free(fixed), 0);
    EXPECT_EQ(Free(fixed), fixed) << "freed already";
}

TEST_F(Kernel16Test, HandlesAndSelectorsHaveTheirTopBitSet)
{
    sim::InstallKernel16();
    uint16_t fixed = Alloc(0, 16), movable = Alloc(2, 16);
    uint16_t code = (uint16_t)Call(171, Args16().W(fixed));
    uint16_t module = sim::RegisterModule16("ATM", {});
    uint16_t values[] = {fixed, movable, (uint16_t)(Lock(movable) >> 16), code, module};
    for (uint16_t v : values) EXPECT_GE(v, 0x8000) << std::hex << v;
    Call(176, Args16().W(code));
    Free(fixed);
    Free(movable);
}

struct ReAllocCase {
    const char* name;
    uint16_t alloc_flags;  // 2: movable
    bool locked;
    uint16_t flags;        // GlobalReAlloc's: 2 GMEM_MOVEABLE, 0x40 GMEM_ZEROINIT
    uint32_t from, to;
    bool ok, moves;
};

class ReAllocTest : public Kernel16Test, public ::testing::WithParamInterface<ReAllocCase> {};

TEST_P(ReAllocTest, MovesWhereItMayAndResizesInPlaceWhereItMustNot)
{
    const ReAllocCase& c = GetParam();
    sim::InstallKernel16();
    uint16_t h = Alloc(c.alloc_flags, c.from);
    ASSERT_NE(h, 0);
    uint16_t before = sim::GlobalSelector16(h);
    if (c.locked) {
        EXPECT_EQ(Lock(h), sim::MakeFar(before, 0));
    }
    uint32_t kept = std::min(c.from, c.to);
    uint8_t* old_block = Bytes(sim::MakeFar(before, 0));
    for (uint32_t i = 0; i < c.from; ++i) old_block[i] = (uint8_t)(i * 7 + 1);
    unsigned moves = sim::Heap16Counters().moves;

    uint16_t got = ReAlloc(h, c.to, c.flags);
    uint16_t handle = got ? got : h;
    uint16_t after = sim::GlobalSelector16(handle);
    if (c.ok) {
        EXPECT_NE(got, 0);
        EXPECT_EQ(sim::GlobalSize16(handle), c.to);
    } else {
        EXPECT_EQ(got, 0);
        EXPECT_EQ(sim::GlobalSize16(h), c.from) << "unchanged";
        kept = c.from;
    }
    EXPECT_EQ(after != before, c.moves);
    EXPECT_EQ(sim::Heap16Counters().moves - moves, c.moves ? 1u : 0u);
    if (c.moves) {
        EXPECT_FALSE(LimitReported(before)) << "the old selector is freed";
        EXPECT_EQ(got == h, c.alloc_flags == 2) << "a movable block keeps its handle, a fixed one's is its selector";
        EXPECT_EQ(sim::GlobalSize16(h) != 0, got == h);
    }
    // One selector covers the block, which ends where the no-access pages begin.
    uint32_t limit = 0, size = sim::GlobalSize16(handle);
    if (LimitReported(after, &limit)) {
        EXPECT_EQ(limit, size - 1);
        uint8_t* block = Bytes(sim::MakeFar(after, 0));
        uint8_t byte;
        EXPECT_TRUE(sim::CopyGuarded(&byte, block + size - 1, 1));
        EXPECT_FALSE(sim::CopyGuarded(&byte, block + size, 1)) << "the first byte past the limit faults";
        for (uint32_t i = 0; i < kept; ++i)
            if (block[i] != (uint8_t)(i * 7 + 1)) {
                ADD_FAILURE() << "byte " << i << " changed";
                break;
            }
        for (uint32_t i = kept; i < size; ++i)
            if (block[i] != ((c.flags & 0x40) ? 0 : 0xA5)) {
                ADD_FAILURE() << "new byte " << i << " is " << (int)block[i];
                break;
            }
    } else {
        ADD_FAILURE() << "the block's selector has no segment";
    }
    EXPECT_EQ(Lock(handle), sim::MakeFar(after, 0)) << "the handle leads to the block";
    EXPECT_EQ(Free(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ReAllocTest, ::testing::Values(
    //          name                                 alloc  locked flags  from     to       ok     moves
    ReAllocCase{"UnlockedMovableMoves",              2,     false, 0,     0x8000,  0x50000, true,  true},
    ReAllocCase{"UnlockedMovableMovesToShrink",      2,     false, 0,     0x8000,  0x100,   true,  true},
    ReAllocCase{"LockedMovableMovesWhenAllowed",     2,     true,  2,     0x8000,  0x50000, true,  true},
    ReAllocCase{"NewBytesZeroedOnRequest",           2,     true,  0x42,  0x8000,  0x10000, true,  true},
    ReAllocCase{"LockedMovableGrowsWithinItsPages",  2,     true,  0,     540,     0x1000,  true,  false},
    ReAllocCase{"LockedMovableStopsAtItsPages",      2,     true,  0,     540,     0x1001,  false, false},
    ReAllocCase{"LockedMovableFullPagesCannotGrow",  2,     true,  0,     0x8000,  0x8001,  false, false},
    ReAllocCase{"LockedMovableShrinksInPlace",       2,     true,  0x40,  0x8000,  0x100,   true,  false},
    ReAllocCase{"FixedGrowsWithinItsPages",          0,     false, 0,     100,     4000,    true,  false},
    ReAllocCase{"FixedStopsAtItsPages",              0,     false, 0,     0x8000,  0x10000, false, false},
    ReAllocCase{"FixedMovesWhenAllowedAndIsRenamed", 0,     true,  2,     540,     0x10000, true,  true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Kernel16Test, EveryMoveTakesANewSelector)
{
    sim::InstallKernel16();
    uint16_t h = Alloc(2, 0x8000);
    std::vector<uint16_t> seen = {(uint16_t)(Lock(h) >> 16)};
    for (uint32_t size = 0x10000; size <= 0x40000; size += 0x8000) {
        ASSERT_EQ(ReAlloc(h, size), h);
        uint16_t selector = (uint16_t)(Lock(h) >> 16);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), selector), 0) << "a freed selector is not handed out again";
        seen.push_back(selector);
    }
    for (size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_FALSE(LimitReported(seen[i])) << i;
    EXPECT_EQ(sim::Heap16Counters().moves, 7u);
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

// Ways of telling whether a selector holds KERNEL's module database: the one that reads the
// loaded NE form as it is laid out, and faulty ones, each as a decoy should catch it.
enum class Search {
    Sound,
    SignatureIsEnough,   // accepts "NE" whatever the name
    FirstLetterOnly,     // checks the 'N' of the signature, not the 'E'
    NoSignature,         // reads the name without checking the signature
    NoLengthByte,        // compares the six characters, not the length byte
    StoredLength,        // compares as many characters as the stored length byte says
    LastCharacterMissed, // compares the length byte and all but the last character
    CaseBlind,
    FixedNameOffset,     // reads the name at 0x86, where KERNEL keeps it, not where the word at 0x26 says
    LowByteOfOffset,     // takes the byte at 0x26 for the name's offset
    DescriptorLimit,     // trusts the limit that GetThreadSelectorEntry reports, not the processor's
    NoLimitCheck,        // reads the linear memory behind the descriptor without any limit
    NameStartChecked,    // checks that the name's length byte lies within the limit, not the name
    Unguarded,           // reads through a segment register without catching faults
};

enum class Verdict { Rejected, Accepted, Faulted };

Verdict SearchKernel(uint16_t selector, Search how)
{
    auto query = reinterpret_cast<GetThreadSelectorEntryFn>(sim::FindMachineExport("KERNEL32", "GetThreadSelectorEntry"));
    win32::LdtEntry e;
    if (!query(win32::CurrentThread(), selector, &e)) return Verdict::Rejected;
    const uint8_t* base = (const uint8_t*)(uintptr_t)sim::DescriptorBase(e);
    uint32_t limit = 0;
    bool has_limit = how == Search::DescriptorLimit ? (limit = sim::DescriptorLimit(e), true) : LimitReported(selector, &limit);
    bool faulted = false;
    // Reads n bytes at off, checked against the limit when `limited`.
    auto read = [&](uint32_t off, uint32_t n, void* out, bool limited) {
        bool within = has_limit && off + n - 1 <= limit;
        if (how == Search::Unguarded && !within) faulted = true;
        if (limited && !within) return false;
        return sim::CopyGuarded(out, base + off, n);
    };
    bool limited = how != Search::NoLimitCheck;
    uint8_t h[64];
    if (!read(0, sizeof h, h, limited)) return faulted ? Verdict::Faulted : Verdict::Rejected;
    bool signature = how == Search::NoSignature || (h[0] == 'N' && (h[1] == 'E' || how == Search::FirstLetterOnly));
    if (!signature) return Verdict::Rejected;
    if (how == Search::SignatureIsEnough) return Verdict::Accepted;
    uint16_t names = how == Search::FixedNameOffset ? 0x86 : how == Search::LowByteOfOffset ? h[0x26] : h[0x26] | h[0x27] << 8;
    uint8_t n[7];
    bool got = how == Search::NameStartChecked ? read(names, 1, n, true) && read(names, sizeof n, n, false)
                                               : read(names, sizeof n, n, limited);
    if (faulted) return Verdict::Faulted;
    if (!got) return Verdict::Rejected;
    bool match;
    switch (how) {
    case Search::NoLengthByte: match = std::memcmp(n + 1, "KERNEL", 6) == 0; break;
    case Search::StoredLength: match = n[0] >= 1 && n[0] <= 6 && std::memcmp(n + 1, "KERNEL", n[0]) == 0; break;
    case Search::LastCharacterMissed: match = std::memcmp(n, "\x06KERNEL", 6) == 0; break;
    case Search::CaseBlind: match = n[0] == 6 && strncasecmp((const char*)n + 1, "KERNEL", 6) == 0; break;
    default: match = std::memcmp(n, "\x06KERNEL", 7) == 0;
    }
    return match ? Verdict::Accepted : Verdict::Rejected;
}

struct DecoyCase {
    const char* name;
    sim::Decoy decoy;
    Search caught;      // the faulty search that takes it for KERNEL, or faults on it
    Verdict verdict;
};

class DecoyTest : public Kernel16Test, public ::testing::WithParamInterface<DecoyCase> {};

TEST_P(DecoyTest, FoolsItsFaultySearchWhileKernelSatisfiesEveryOne)
{
    const DecoyCase& c = GetParam();
    ASSERT_EQ(sim::InstallKernel16(), 0x10F);
    ASSERT_EQ(sim::BuildDecoy(0x37, c.decoy), 0x37);
    EXPECT_EQ(SearchKernel(0x10F, Search::Sound), Verdict::Accepted);
    EXPECT_EQ(SearchKernel(0x10F, c.caught), Verdict::Accepted) << "the fault goes unnoticed on KERNEL alone";
    EXPECT_EQ(SearchKernel(0x37, Search::Sound), Verdict::Rejected);
    EXPECT_EQ(SearchKernel(0x37, c.caught), c.verdict);
}

INSTANTIATE_TEST_SUITE_P(Decoys, DecoyTest, ::testing::Values(
    //        name                     decoy                           caught                          verdict
    DecoyCase{"Phantom",               sim::Decoy::Phantom,             Search::DescriptorLimit,   Verdict::Accepted},
    DecoyCase{"Kernel32",              sim::Decoy::Kernel32,            Search::NoLengthByte,      Verdict::Accepted},
    DecoyCase{"Kernel32IsAnNE",        sim::Decoy::Kernel32,            Search::SignatureIsEnough, Verdict::Accepted},
    DecoyCase{"LowerCase",             sim::Decoy::LowerCase,           Search::CaseBlind,         Verdict::Accepted},
    DecoyCase{"ShortName",             sim::Decoy::ShortName,           Search::StoredLength,      Verdict::Accepted},
    DecoyCase{"LastCharacter",         sim::Decoy::LastCharacter,       Search::LastCharacterMissed, Verdict::Accepted},
    DecoyCase{"NoSignature",           sim::Decoy::NoSignature,         Search::NoSignature,       Verdict::Accepted},
    DecoyCase{"OnlyTheN",              sim::Decoy::OnlyTheN,            Search::FirstLetterOnly,   Verdict::Accepted},
    DecoyCase{"NameAtTheUsualPlace",   sim::Decoy::NameAtTheUsualPlace, Search::FixedNameOffset,   Verdict::Accepted},
    DecoyCase{"NameOffsetAbove255",    sim::Decoy::NameOffsetAbove255,  Search::LowByteOfOffset,   Verdict::Accepted},
    DecoyCase{"NameBeyondTheLimit",    sim::Decoy::NameBeyondTheLimit,  Search::NoLimitCheck,      Verdict::Accepted},
    DecoyCase{"NameCutByTheLimit",     sim::Decoy::NameCutByTheLimit,   Search::NameStartChecked,  Verdict::Accepted},
    DecoyCase{"NameInNoAccessPages",   sim::Decoy::NameInNoAccessPages, Search::Unguarded,         Verdict::Faulted}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Kernel16Test, EveryDecoyEndsItsSegmentAtNoAccessPagesButTheTwoWithShortLimits)
{
    uint16_t selector = 0x2F;
    for (sim::Decoy d : sim::kDecoys) {
        ASSERT_EQ(sim::BuildDecoy(selector, d), selector);
        uint32_t limit;
        bool real = LimitReported(selector, &limit);
        EXPECT_EQ(real, d != sim::Decoy::Phantom) << selector;
        win32::LdtEntry e;
        if (real && sim::ReadDescriptor(selector, &e)) {
            const uint8_t* base = (const uint8_t*)(uintptr_t)sim::DescriptorBase(e);
            uint8_t byte;
            bool short_limit = d == sim::Decoy::NameBeyondTheLimit || d == sim::Decoy::NameCutByTheLimit;
            EXPECT_EQ(sim::CopyGuarded(&byte, base + limit + 1, 1), short_limit) << selector;
        }
        selector += 8;
    }
}

}  // namespace

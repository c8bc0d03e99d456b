// The KERNEL primitives, called through the strict QT_Thunk of the test machine: exact frames,
// packing, widening, and every mapping released.
#include <cstring>

#include "access16.h"
#include "fontmgr/fontmgr.h"
#include "bound_bridge_test.h"

namespace {

class KernelPrimitivesTest : public BoundBridgeTest {
protected:
    void TearDown() override
    {
        sim::RemoveFontManager();
        BoundBridgeTest::TearDown();
    }

    template <typename Fn> Fn K16(const char* name) { return Export<Fn>(dll_, name); }
};

TEST_F(KernelPrimitivesTest, ModuleHandleAndEntryPointsByName)
{
    sim::FontManager& fm = sim::InstallFontManager({});
    auto module = K16<uint32_t (*)(const char*)>("K16GetModuleHandle");
    auto proc = K16<FarPtr16 (*)(uint32_t, const char*)>("K16GetProcAddress");
    uint32_t atm = module("ATM");
    EXPECT_EQ(atm, fm.module_handles[0]);
    EXPECT_EQ(module("ATM16"), 0u);
    EXPECT_EQ(proc(atm, "ATMGetVersion"), fm.entries["ATMGetVersion"]) << "DX:AX joined";
    EXPECT_EQ(proc(atm, "ATMNoSuchFunction"), 0u);
    EXPECT_EQ(proc(0xFFFF0000u | atm, "ATMIsUp"), fm.entries["ATMIsUp"]) << "W keeps the low 16 bits only";
    EXPECT_EQ(sim::machine().counters.mappings, 5u);
    EXPECT_EQ(sim::machine().counters.qt_thunk_calls, 5u);
}

TEST_F(KernelPrimitivesTest, GlobalMemoryAndCodeAlias)
{
    auto alloc = K16<uint32_t (*)(uint32_t, uint32_t)>("K16GlobalAlloc");
    auto lock = K16<FarPtr16 (*)(uint32_t)>("K16GlobalLock");
    auto free = K16<uint32_t (*)(uint32_t)>("K16GlobalFree");
    auto alias = K16<uint32_t (*)(uint32_t)>("K16AllocDStoCSAlias");
    auto release = K16<uint32_t (*)(uint32_t)>("K16FreeSelector");

    uint32_t block = alloc(0, 540);
    ASSERT_NE(block, 0u);
    EXPECT_EQ(block >> 16, 0u) << "zero-extended";
    EXPECT_EQ(sim::GlobalSize16((uint16_t)block), 540u);
    FarPtr16 at = lock(block);
    EXPECT_EQ(at, sim::MakeFar((uint16_t)(block | 1), 0));
    uint32_t code = alias(at >> 16);
    ASSERT_NE(code, 0u);
    EXPECT_EQ(code >> 16, 0u) << "zero-extended";
    EXPECT_EQ(sim::Linear16(code << 16), sim::Linear16(at));
    EXPECT_EQ(release(code) & 0xFFFF, 0u);
    uint32_t movable = alloc(0x12340002, 0x20000);  // flags: the low 16 bits, movable
    EXPECT_EQ(movable & 1, 0u);
    EXPECT_EQ(sim::GlobalSize16((uint16_t)movable), 0x20000u) << "D passes all 32 bits";
    EXPECT_EQ(free(block) & 0xFFFF, 0u);
    EXPECT_EQ(free(movable) & 0xFFFF, 0u);
}

TEST_F(KernelPrimitivesTest, FailuresComeBackAsZero)
{
    sim::Heap16Faults().alloc_fail_at = 1;
    sim::Heap16Faults().alias_fail_at = 1;
    EXPECT_EQ(K16<uint32_t (*)(uint32_t, uint32_t)>("K16GlobalAlloc")(0, 540), 0u);
    EXPECT_EQ(K16<uint32_t (*)(uint32_t)>("K16AllocDStoCSAlias")(0x10F), 0u);
}

}  // namespace

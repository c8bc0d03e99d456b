#include <cstring>

#include "far16.h"
#include "fontmgr/fontmgr.h"
#include "kernel16/kernel16.h"
#include "machine_test.h"
#include "routines16.h"

namespace {

class FontManagerTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::InstallKernel16();
    }

    void TearDown() override
    {
        sim::RemoveFontManager();
        sim::FreeModuleDatabases();
        MachineTest::TearDown();
    }

    uint16_t ModuleHandle(const char* name)
    {
        Far16Data s(name);
        return (uint16_t)sim::CallTo16(sim::Kernel16Entry(47), Args16().D(s.far()));
    }

    uint32_t ProcAddress(uint16_t module, const char* name)
    {
        Far16Data s(name);
        Args16 a;
        a.W(module).D(s.far());
        return sim::CallTo16(sim::Kernel16Entry(50), a);
    }
};

TEST_F(FontManagerTest, RegistersItsModulesWithPresentAndAbsentEntryPoints)
{
    sim::FontManagerSetup setup;
    setup.modules = {"ATM32", "ATM16"};
    setup.absent = {"ATMRemoveFont"};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    EXPECT_EQ(ModuleHandle("ATM"), 0);
    uint16_t atm32 = ModuleHandle("ATM32");
    ASSERT_NE(atm32, 0);
    EXPECT_EQ(atm32, fm.module_handles[0]);
    EXPECT_EQ(ModuleHandle("ATM16"), fm.module_handles[1]);
    for (const sim::AtmFunction& fn : sim::kAtmFunctions) {
        uint32_t p = ProcAddress(atm32, fn.name);
        if (std::string(fn.name) == "ATMRemoveFont") EXPECT_EQ(p, 0u);
        else EXPECT_EQ(p, fm.entries.at(fn.name)) << fn.name;
    }
}

TEST_F(FontManagerTest, RecordsArgumentsAndTheBytesBehindPointers)
{
    sim::FontManagerSetup setup;
    setup.results["ATMAddFont"] = {0xFFFF};
    setup.writes["ATMAddFont"][2] = "OUT";
    sim::FontManager& fm = sim::InstallFontManager(setup);
    char path[] = "c:\\fonts\\font.pfm", metrics[] = "font.pfb", out[8] = {};
    Far16Data p1(path), p2(metrics), p3(out);
    Args16 a;
    a.W(4).D(p1.far()).W(0x1234).D(p2.far()).D(p3.far()).W(0);
    EXPECT_EQ(sim::CallTo16(fm.entries["ATMAddFont"], a) & 0xFFFF, 0xFFFFu);
    const sim::AtmCall* call = fm.LastCall("ATMAddFont");
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->args, a.bytes);
    ASSERT_EQ(call->pointees.size(), 3u);
    EXPECT_EQ(std::string((const char*)call->pointees[0].data(), sizeof path), std::string(path, sizeof path));
    EXPECT_EQ(std::string((const char*)call->pointees[1].data(), 9), std::string(metrics, 9));
    EXPECT_STREQ(out, "OUT") << "scripted bytes written through the third pointer";
    EXPECT_EQ(sim::CallTo16(fm.entries["ATMAddFont"], a) & 0xFFFF, 0u) << "then the default";
    EXPECT_EQ(fm.CallsOf("ATMAddFont"), 2u);
}

TEST_F(FontManagerTest, FarReturnByteLiesWhereTheTestPutsIt)
{
    for (int at : {5, 40, -1}) {
        sim::FontManagerSetup setup;
        setup.far_return_at = at;
        sim::FontManager& fm = sim::InstallFontManager(setup);
        const uint8_t* code = (const uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(fm.code_selector, 0));
        int found = -1;
        for (unsigned off = fm.isup_offset; off < setup.code_size && found < 0; ++off)
            if (code[off] == 0xCB) found = (int)(off - fm.isup_offset);
        EXPECT_EQ(found, at);
        EXPECT_EQ(code[fm.isup_offset - 1], 0xCB) << "a decoy before the entry";
        EXPECT_EQ(sim::CallTo16(fm.entries["ATMIsUp"], nullptr, 0) & 0xFFFF, 1u);
    }
}

uint32_t Dword(const uint8_t* a, unsigned offset)
{
    uint32_t v;
    std::memcpy(&v, a + offset, 4);
    return v;
}

// What a procedure handed to the font manager saw, read while it ran: its argument bytes and
// the bytes behind the pointers among them.
struct Seen {
    std::vector<std::vector<uint8_t>> args;
    std::vector<std::string> strings;       // enumeration: S
    std::vector<std::string> blocks;        // enumeration: the first 10 bytes of A
    std::vector<std::vector<uint64_t>> points;  // outline: the points, first to last
    std::vector<uint16_t> answers;          // what to answer, in turn; then 1
};

uint16_t Answer(Seen* seen)
{
    if (seen->answers.empty()) return 1;
    uint16_t a = seen->answers.front();
    seen->answers.erase(seen->answers.begin());
    return a;
}

// EnumFonts procedure (A, S, V, client): from the lowest byte client, V, S, A.
uint32_t EnumProcedure(const uint8_t* args, void* context)
{
    auto* seen = static_cast<Seen*>(context);
    seen->args.emplace_back(args, args + 14);
    seen->strings.push_back(sim::ReadString16(Dword(args, 6)));
    seen->blocks.emplace_back((const char*)(uintptr_t)sim::Linear16(Dword(args, 10)), 10);
    return Answer(seen);
}

// Outline procedure with N bytes of arguments: its points, then the client value lowest.
template <unsigned N> uint32_t OutlineProcedure(const uint8_t* args, void* context)
{
    auto* seen = static_cast<Seen*>(context);
    seen->args.emplace_back(args, args + N);
    std::vector<uint64_t> points;
    for (unsigned off = N - 4; off >= 4; off -= 4) {
        uint64_t p;
        std::memcpy(&p, (const void*)(uintptr_t)sim::Linear16(Dword(args, off)), 8);
        points.push_back(p);
    }
    seen->points.push_back(points);
    return Answer(seen);
}

TEST_F(FontManagerTest, EnumerationCallsTheProcedureWithScriptedDataAndTheClientValue)
{
    sim::FontManagerSetup setup;
    setup.fonts = {{"block one", "Font One", 7}, {"block two", "Font Two", 8}, {"block three", "Three", 9}};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    Seen seen;
    seen.answers = {1, 0};  // the second answer ends the enumeration
    Args16 a;
    a.W(3).D(sim::MakeEntry16(EnumProcedure, 14, &seen)).D(0xC11E27);
    sim::CallTo16(fm.entries["ATMEnumFonts"], a);
    ASSERT_EQ(seen.args.size(), 2u);
    EXPECT_EQ(Dword(seen.args[0].data(), 0), 0xC11E27u);
    EXPECT_EQ(seen.args[0][4], 7);
    EXPECT_EQ(seen.args[1][4], 8);
    EXPECT_EQ(seen.strings, (std::vector<std::string>{"Font One", "Font Two"}));
    EXPECT_EQ(seen.blocks[0], std::string("block one\0", 10));
    EXPECT_EQ(fm.callback_results, (std::vector<uint16_t>{1, 0}));
}

// ATMGetOutline(font, size, matrix, four procedures, client) with procedures that note what
// they see in `seen[0..3]`; its AX.
uint16_t GetOutline(const sim::FontManager& fm, Seen (&seen)[4], uint32_t client)
{
    Args16 a;
    a.W(1).W(65).D(0);
    a.D(sim::MakeEntry16(OutlineProcedure<8>, 8, &seen[0])).D(sim::MakeEntry16(OutlineProcedure<8>, 8, &seen[1]));
    a.D(sim::MakeEntry16(OutlineProcedure<16>, 16, &seen[2])).D(sim::MakeEntry16(OutlineProcedure<4>, 4, &seen[3]));
    a.D(client);
    return (uint16_t)sim::CallTo16(fm.entries.at("ATMGetOutline"), a);
}

TEST_F(FontManagerTest, OutlineCallsEachProcedureForItsKindOfRecord)
{
    sim::FontManagerSetup setup;
    setup.outline = {{1, {0x1111}}, {3, {0x31, 0x32, 0x33}}, {2, {0x2222}}, {4, {}}};
    sim::FontManager& fm = sim::InstallFontManager(setup);
    Seen seen[4];
    GetOutline(fm, seen, 0xABCD);
    EXPECT_EQ(seen[0].points, (std::vector<std::vector<uint64_t>>{{0x1111}}));
    EXPECT_EQ(seen[1].points, (std::vector<std::vector<uint64_t>>{{0x2222}}));
    EXPECT_EQ(seen[2].points, (std::vector<std::vector<uint64_t>>{{0x31, 0x32, 0x33}}));
    ASSERT_EQ(seen[3].args.size(), 1u);
    EXPECT_EQ(Dword(seen[3].args[0].data(), 0), 0xABCDu);
    EXPECT_EQ(fm.callback_results.size(), 4u);
}

}  // namespace

namespace {

class WorkingFontManagerTest : public FontManagerTest {
protected:
    int16_t FontCall(const char* fn, const char* font, uint16_t request)
    {
        Far16Data name(font), other("x");
        Args16 a;
        a.W(4).D(name.far()).W(0);
        if (std::string(fn) == "ATMAddFont") a.D(other.far()).D(other.far()).W(request);
        return (int16_t)sim::CallTo16(fm_->entries[fn], a);
    }

    sim::FontManager* fm_ = nullptr;
};

TEST_F(WorkingFontManagerTest, KeepsAFontTable)
{
    sim::FontManagerSetup setup;
    setup.working = true;
    setup.version = 0x0204;
    fm_ = &sim::InstallFontManager(setup);
    EXPECT_EQ(FontCall("ATMAddFont", "Serif", 1), 0) << "status: not installed";
    EXPECT_EQ(FontCall("ATMAddFont", "Serif", 0), sim::kFontAdded);
    EXPECT_EQ(FontCall("ATMAddFont", "Serif", 0), sim::kFontAlreadyInstalled);
    EXPECT_EQ(FontCall("ATMAddFont", "Serif", 1), sim::kFontInstalled);
    EXPECT_EQ(FontCall("ATMAddFont", "Sans", 0), sim::kFontAdded);
    EXPECT_EQ(FontCall("ATMRemoveFont", "Serif", 0), 0);
    EXPECT_EQ(FontCall("ATMRemoveFont", "Serif", 0), sim::kFontNotInstalled);
    EXPECT_EQ(fm_->fonts, std::vector<std::string>{"Sans"});
    EXPECT_EQ(sim::CallTo16(fm_->entries["ATMGetVersion"], nullptr, 0) & 0xFFFF, 0x0204u);

    Seen seen;
    Args16 a;
    a.W(0).D(sim::MakeEntry16(EnumProcedure, 14, &seen)).D(5);
    EXPECT_EQ(sim::CallTo16(fm_->entries["ATMEnumFonts"], a) & 0xFFFF, 0u);
    EXPECT_EQ(seen.strings, std::vector<std::string>{"Sans"});
}

TEST_F(WorkingFontManagerTest, DrawsASquareOutline)
{
    sim::FontManagerSetup setup;
    setup.working = true;
    fm_ = &sim::InstallFontManager(setup);
    Seen seen[4];  // move, line, curve, close
    EXPECT_EQ(GetOutline(*fm_, seen, 0), 0);
    EXPECT_EQ(seen[0].points.size(), 1u);
    EXPECT_EQ(seen[1].points.size(), 3u);
    EXPECT_EQ(seen[2].points.size(), 0u);
    EXPECT_EQ(seen[3].args.size(), 1u);
}

}  // namespace

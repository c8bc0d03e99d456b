// The font exports on a loaded bridge: the argument lists that reach ATM, the widening of its
// answers, and the mappings of the host's pointers.
#include "bridge_test.h"

namespace {

class FontExportsTest : public BridgeTest {
protected:
    void Load(const sim::FontManagerSetup& setup = {})
    {
        ASSERT_NE(LoadBridge(), nullptr);
        fm_ = &sim::InstallFontManager(setup);
        ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    }

    void TearDown() override
    {
        if (qf.QFFinish) {
            EXPECT_EQ(qf.QFFinish(), 0);
        }
        BridgeTest::TearDown();
    }

    sim::FontManager* fm_ = nullptr;
};

TEST_F(FontExportsTest, AddAndStatusMakeTheSameCallButForTheFlag)
{
    Load();
    char font[] = "Garamond.pfm", a[] = "metrics", b[] = "outline";
    EXPECT_EQ(qf.QFAddFont(font, 0x7777, a, b), 0);
    EXPECT_EQ(qf.QFFontStatus(font, 0x7777, a, b), 0);
    ASSERT_EQ(fm_->CallsOf("ATMAddFont"), 2u);
    const sim::AtmCall& add = fm_->calls[fm_->calls.size() - 2];
    const sim::AtmCall& status = fm_->calls.back();
    ASSERT_EQ(add.args.size(), 18u);
    ASSERT_EQ(status.args.size(), 18u);
    std::vector<uint32_t> add_args = add.values, status_args = status.values;
    EXPECT_EQ(add_args[0], 4u) << "the leading value";
    EXPECT_EQ(add_args[2], 0x7777u);
    EXPECT_EQ(add_args[5], 0u) << "an add";
    EXPECT_EQ(status_args[5], 1u) << "a status request";
    // The flag apart, the same values; the pointers are each call's own mappings, which may lie
    // at other selectors, so they are compared by the bytes they reach.
    for (unsigned i : {1u, 3u, 4u, 5u}) add_args[i] = status_args[i] = 0;
    EXPECT_EQ(add_args, status_args) << "the same values";
    for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(Pointee(add, i), Pointee(status, i));
    EXPECT_EQ(Pointee(add, 0), "Garamond.pfm") << "each pointer mapped onto the host's bytes";
    EXPECT_EQ(Pointee(add, 1), "metrics");
    EXPECT_EQ(Pointee(add, 2), "outline");
    EXPECT_EQ(sim::LiveMappings(), 0u);
}

TEST_F(FontExportsTest, ValuesReachAtmAsTheirLow16Bits)
{
    Load();
    char font[] = "f";
    qf.QFAddFont(font, 0xABCD1234u, font, font);
    qf.QFRemoveFont(font, 0xFFFF8001u);
    EXPECT_EQ(fm_->LastCall("ATMAddFont")->values[2], 0x1234u);
    const sim::AtmCall& remove = *fm_->LastCall("ATMRemoveFont");
    ASSERT_EQ(remove.args.size(), 8u);
    const std::vector<uint32_t>& args = remove.values;
    EXPECT_EQ(args[0], 4u);
    EXPECT_EQ(args[2], 0x8001u);
    EXPECT_EQ(Pointee(remove, 0), "f");
}

TEST_F(FontExportsTest, NullPointersAreMappedAsTheyCome)
{
    Load();
    unsigned mappings = sim::machine().counters.mappings;
    qf.QFAddFont(nullptr, 1, nullptr, nullptr);
    EXPECT_EQ(sim::machine().counters.mappings, mappings + 3);
    EXPECT_EQ(fm_->LastCall("ATMAddFont")->pointers, (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(sim::LiveMappings(), 0u);
}

// ATM's 16-bit answers, widened: sign-extended, but for the version, zero-extended.
struct Widening {
    uint16_t answer;
    int result;
};

class AnswerWideningTest : public FontExportsTest, public ::testing::WithParamInterface<Widening> {};

TEST_P(AnswerWideningTest, AnswersAreSignExtendedAndMappingsReleased)
{
    sim::FontManagerSetup setup;
    for (const char* f : {"ATMAddFont", "ATMRemoveFont", "ATMBeginFontChange", "ATMEndFontChange"})
        setup.results[f] = {GetParam().answer, GetParam().answer};
    Load(setup);
    char font[] = "f";
    EXPECT_EQ(qf.QFAddFont(font, 1, font, font), GetParam().result);
    EXPECT_EQ(qf.QFFontStatus(font, 1, font, font), GetParam().result);
    EXPECT_EQ(qf.QFRemoveFont(font, 1), GetParam().result);
    EXPECT_EQ(qf.QFBeginFontChange(), GetParam().result);
    EXPECT_EQ(qf.QFEndFontChange(), GetParam().result);
    EXPECT_EQ(sim::LiveMappings(), 0u) << "released whatever ATM answered";
}

INSTANTIATE_TEST_SUITE_P(Answers, AnswerWideningTest,
                         ::testing::Values(Widening{0xFFFF, -1}, Widening{0x8000, -32768}, Widening{0x7FFF, 32767},
                                           Widening{1, 1}, Widening{0xFFFE, -2}, Widening{0, 0}));

TEST_F(FontExportsTest, TheVersionIsZeroExtended)
{
    sim::FontManagerSetup setup;
    setup.results["ATMGetVersion"] = {0xFFFF, 0x8000, 0x0105};
    Load(setup);
    // The machine's QT_Thunk leaves junk in EAX's upper half; the bridge must clear it.
    EXPECT_EQ(qf.QFGetVersion(), 0xFFFF);
    EXPECT_EQ(qf.QFGetVersion(), 0x8000);
    EXPECT_EQ(qf.QFGetVersion(), 0x0105);
}

TEST_F(FontExportsTest, FontChangesAreForwardedAsTheyCome)
{
    Load();
    qf.QFEndFontChange();
    qf.QFBeginFontChange();
    qf.QFBeginFontChange();
    std::vector<std::string> names;
    for (const sim::AtmCall& c : fm_->calls)
        if (c.name != "ATMIsUp") names.push_back(c.name);
    EXPECT_EQ(names, (std::vector<std::string>{"ATMEndFontChange", "ATMBeginFontChange", "ATMBeginFontChange"}));
    for (const sim::AtmCall& c : fm_->calls) EXPECT_TRUE(c.args.empty()) << c.name;
}

TEST_F(FontExportsTest, TheWorkingFontManagerAddsAndRemoves)
{
    sim::FontManagerSetup setup;
    setup.working = true;
    Load(setup);
    char font[] = "Garamond.pfm", none[] = "";
    EXPECT_EQ(qf.QFFontStatus(font, 0, none, none), 0);
    EXPECT_EQ(qf.QFAddFont(font, 0, none, none), sim::kFontAdded);
    EXPECT_EQ(qf.QFAddFont(font, 0, none, none), sim::kFontAlreadyInstalled);
    EXPECT_EQ(qf.QFFontStatus(font, 0, none, none), sim::kFontInstalled);
    EXPECT_EQ(qf.QFRemoveFont(font, 0), 0);
    EXPECT_EQ(qf.QFRemoveFont(font, 0), sim::kFontNotInstalled);
    EXPECT_TRUE(fm_->fonts.empty());
}

}  // namespace

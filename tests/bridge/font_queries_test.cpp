// The font information queries and the flat-thunk calls, through the test-only DLL on a loaded
// bridge: the 16-bit arguments as the font manager receives them, results and output variables
// widened, every mapping released in order, the answers for unbound entry points, and the
// font-path record brought into one layout.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "atm_entry_table.h"
#include "bound_bridge_test.h"
#include "call_checked.h"
#include "fontmgr/fontmgr.h"
#define QFATM_API
#define __cdecl __attribute__((cdecl))
#include "qfatm.h"  // the result codes

namespace {

struct Operation {
    const char* name;          // the test DLL's export
    const char* atm;           // ATM's entry point
    int32_t missing_loaded;    // the answer when a loaded ATM lacks the entry point
    int32_t missing_unloaded;  // the answer before a load and after the finish
};

const Operation kOperations[] = {
    {"AtmCallFontSelected", "ATMFontSelected", 0, 0},
    {"AtmCallGetFontBBox", "ATMGetFontBBox", QF_NOT_AVAILABLE, QF_NOT_LOADED},
    {"AtmCallGetFontPaths", "ATMGetFontPaths", QF_NOT_AVAILABLE, QF_NOT_LOADED},
    {"AtmCallGetMenuName", "ATMGetMenuName", QF_NOT_AVAILABLE, QF_NOT_LOADED},
    {"AtmCallGetPostScriptName", "ATMGetPostScriptName", QF_NOT_AVAILABLE, QF_NOT_LOADED},
    {"AtmCallSelectObject", "ATMSelectObject", QF_NOT_AVAILABLE, QF_NOT_LOADED},
    {"AtmCallBBoxBaseXYShowText", "ATMBBoxBaseXYShowText", 0, 0},
    {"AtmCallXYShowText", "ATMXYShowText", 0, 0},
    {"AtmCallFontAvailable", "ATMFontAvailable", 0, 0},
};

std::string OperationName(const ::testing::TestParamInfo<Operation>& info) { return info.param.name; }

// The argument kinds of an entry point as the font manager declares them, first to last.
std::string KindsOf(const char* atm)
{
    for (const sim::AtmFunction& f : sim::kAtmFunctions)
        if (std::string(f.name) == atm) return f.kinds;
    ADD_FAILURE() << "no such entry point " << atm;
    return "";
}

class QueryTest : public BoundBridgeTest {
protected:
    void TearDown() override
    {
        if (dll_) Export<int (*)()>(dll_, "QFFinish")();
        sim::RemoveFontManager();
        BoundBridgeTest::TearDown();
    }

    sim::FontManager& Install(const sim::FontManagerSetup& setup = {})
    {
        fm_ = &sim::InstallFontManager(setup);
        return *fm_;
    }

    bool Load() { return Export<int (*)()>(dll_, "QFProperlyLoaded")() == 1; }
    int32_t Finish() { return Export<int (*)()>(dll_, "QFFinish")(); }
    AtmEntryTableRecord& Table() { return *Export<AtmEntryTableRecord*>(dll_, "AtmEntryTable"); }

    // Calls an operation with its 32-bit arguments; it must remove them all and keep EBX, ESI
    // and EDI.
    int32_t Call(const char* name, const std::vector<uint32_t>& args)
    {
        CallEffects effects = {};
        int32_t result = CallChecked(Export<void*>(dll_, name), args.data(), (uint32_t)args.size(), &effects);
        EXPECT_EQ(effects.removed, 4 * args.size()) << name << " removes its arguments";
        EXPECT_EQ(effects.registers_kept, 1u) << name << " keeps EBX, ESI and EDI";
        return result;
    }

    static uint32_t Flat(const void* p) { return (uint32_t)(uintptr_t)p; }

    sim::FontManager* fm_ = nullptr;
};

// Arguments for an entry point's kinds: words with junk in their upper halves, pointers to
// buffers of distinct bytes, and a rectangle whose values do not all fit in 16 bits.
struct Arguments {
    explicit Arguments(const std::string& kinds)
    {
        for (size_t i = 0; i < kinds.size(); ++i) {
            for (int b = 0; b < 8; ++b) buffers[i][b] = (uint8_t)(0x10 * (i + 1) + b);
            if (kinds[i] == 'W') values.push_back(0xA5A50000u | (0x1100u + (uint32_t)i));
            else if (kinds[i] == 'R') values.push_back((uint32_t)(uintptr_t)rect);
            else values.push_back((uint32_t)(uintptr_t)buffers[i]);
        }
    }
    int32_t rect[4] = {65536 + 7, -1, 65537, 0x7FFF8000};
    uint8_t buffers[12][8] = {};
    std::vector<uint32_t> values;
};

const std::vector<uint8_t> kRect16 = {7, 0, 0xFF, 0xFF, 1, 0, 0x00, 0x80};  // rect's low halves

class EachOperation : public QueryTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(EachOperation, PassesEachArgumentAsTheFontManagerReceivesIt)
{
    const Operation& op = GetParam();
    std::string kinds = KindsOf(op.atm);
    sim::FontManagerSetup setup;
    setup.results[op.atm] = {0xFFFF};
    Install(setup);
    ASSERT_TRUE(Load());
    Arguments a(kinds);
    const Arguments before(kinds);  // the buffers as they were: an output variable changes
    unsigned mapped_before = sim::machine().counters.mappings;
    size_t released_before = sim::machine().releases.size();

    EXPECT_EQ(Call(op.name, a.values), -1) << "a 16-bit 0xFFFF comes back sign-extended";

    ASSERT_EQ(fm_->CallsOf(op.atm), 1u);
    const sim::AtmCall& call = *fm_->LastCall(op.atm);
    const std::vector<uint32_t>& got = call.values;
    unsigned pointer = 0, mappings = 0;
    std::vector<uint32_t> expected_releases, general_releases;
    for (size_t i = 0; i < kinds.size(); ++i) {
        SCOPED_TRACE("argument " + std::to_string(i + 1) + " of kind " + kinds[i]);
        if (kinds[i] == 'W') {
            EXPECT_EQ(got[i], a.values[i] & 0xFFFF);
            continue;
        }
        ASSERT_LT(pointer, call.pointees.size());
        std::vector<uint8_t> seen = call.pointees[pointer++];
        seen.resize(std::min<size_t>(seen.size(), 8));
        EXPECT_NE(got[i], 0u);
        EXPECT_NE(got[i], a.values[i]) << "a 16:16 pointer, not the flat one";
        if (kinds[i] == 'R') {
            EXPECT_EQ(seen, kRect16);
        } else {
            EXPECT_EQ(seen, std::vector<uint8_t>(before.buffers[i], before.buffers[i] + 8));
            (kinds[i] == 'P' ? expected_releases : general_releases).push_back(a.values[i]);
        }
        ++mappings;
    }
    expected_releases.insert(expected_releases.end(), general_releases.begin(), general_releases.end());
    EXPECT_EQ(sim::machine().counters.mappings - mapped_before, mappings);
    EXPECT_EQ(std::vector<uint32_t>(sim::machine().releases.begin() + released_before, sim::machine().releases.end()),
              expected_releases)
        << "the frame-slot mappings in order, then the general ones in order";
}

TEST_P(EachOperation, MissingEntryPointCallsNothing)
{
    const Operation& op = GetParam();
    Arguments a(KindsOf(op.atm));
    sim::FontManagerSetup setup;
    setup.absent = {op.atm};
    Install(setup);
    const unsigned& mappings = sim::machine().counters.mappings;
    unsigned before = mappings;
    EXPECT_EQ(Call(op.name, a.values), op.missing_unloaded) << "before a load";
    EXPECT_EQ(mappings, before) << "nothing mapped";
    ASSERT_TRUE(Load());
    before = mappings;
    EXPECT_EQ(Call(op.name, a.values), op.missing_loaded) << "loaded, ATM lacks it";
    EXPECT_EQ(mappings, before) << "nothing mapped";
    EXPECT_EQ(Finish(), QF_OK);
    EXPECT_EQ(Call(op.name, a.values), op.missing_unloaded) << "after the finish";
    EXPECT_EQ(mappings, before) << "nothing mapped";
}

TEST_P(EachOperation, AfterTheFinishTheEntryPointIsNotCalled)
{
    const Operation& op = GetParam();
    Arguments a(KindsOf(op.atm));
    Install();
    ASSERT_TRUE(Load());
    EXPECT_EQ(Finish(), QF_OK);
    EXPECT_EQ(Call(op.name, a.values), op.missing_unloaded);
    EXPECT_EQ(fm_->CallsOf(op.atm), 0u);
}

INSTANTIATE_TEST_SUITE_P(Queries, EachOperation, ::testing::ValuesIn(kOperations), OperationName);

// The rectangle of the two text calls: each 32-bit value reaches ATM as its low 16 bits; a null
// rectangle as a null pointer, with nothing copied and no pointer translated.
struct RectangleCase {
    const char* name;
    const char* atm;
    bool null;
    int32_t rect[4];
    uint16_t expected[4];
};

const RectangleCase kRectangles[] = {
    {"AtmCallBBoxBaseXYShowText", "ATMBBoxBaseXYShowText", false, {1, 2, 3, 4}, {1, 2, 3, 4}},
    {"AtmCallBBoxBaseXYShowText", "ATMBBoxBaseXYShowText", false, {65536, 65537, -1, -65536}, {0, 1, 0xFFFF, 0}},
    {"AtmCallBBoxBaseXYShowText", "ATMBBoxBaseXYShowText", true, {}, {}},
    {"AtmCallXYShowText", "ATMXYShowText", false, {-32768, 32767, 0x12345678, 100000}, {0x8000, 0x7FFF, 0x5678, 0x86A0}},
    {"AtmCallXYShowText", "ATMXYShowText", false, {65536, 65537, -1, 0}, {0, 1, 0xFFFF, 0}},
    {"AtmCallXYShowText", "ATMXYShowText", true, {}, {}},
};

class RectangleTest : public QueryTest, public ::testing::WithParamInterface<RectangleCase> {};

TEST_P(RectangleTest, ReachesTheTargetAsLowHalves)
{
    const RectangleCase& c = GetParam();
    std::string kinds = KindsOf(c.atm);
    Install();
    ASSERT_TRUE(Load());
    Arguments a(kinds);
    a.values[4] = c.null ? 0 : Flat(c.rect);
    unsigned mapped_before = sim::machine().counters.mappings;

    EXPECT_EQ(Call(c.name, a.values), 0);

    ASSERT_EQ(fm_->CallsOf(c.atm), 1u);
    const sim::AtmCall& call = *fm_->LastCall(c.atm);
    const std::vector<uint32_t>& got = call.values;
    unsigned pointers = (unsigned)call.pointers.size();
    if (c.null) {
        EXPECT_EQ(got[4], 0u);
        EXPECT_TRUE(call.pointees[0].empty());
        EXPECT_EQ(sim::machine().counters.mappings - mapped_before, pointers - 1) << "no translation of a null rectangle";
    } else {
        std::vector<uint8_t> seen = call.pointees[0];
        seen.resize(8);
        uint8_t expected[8];
        std::memcpy(expected, c.expected, 8);
        EXPECT_EQ(seen, std::vector<uint8_t>(expected, expected + 8));
        EXPECT_EQ(sim::machine().counters.mappings - mapped_before, pointers);
    }
    EXPECT_EQ(got[3], 0x1103u) << "the word before the rectangle";
    std::vector<uint8_t> after = call.pointees[1];
    after.resize(8);
    EXPECT_EQ(after, std::vector<uint8_t>(a.buffers[5], a.buffers[5] + 8)) << "the pointer after the rectangle";
}

INSTANTIATE_TEST_SUITE_P(Rectangles, RectangleTest, ::testing::ValuesIn(kRectangles),
                         [](const auto& info) { return std::string(info.param.name) + std::to_string(info.index); });

// The output variables: ATM stores a 16-bit value in the low half, which reaches the caller
// sign-extended (ATMFontAvailable) or zero-extended (ATMSelectObject) whatever the upper half
// held; ATM sees the variable as the caller had it.
struct OutputCase {
    const char* name;
    const char* atm;
    unsigned arg;      // index of the output pointer among the arguments
    unsigned pointer;  // and among the pointer arguments
    uint32_t initial;
    const char* written;  // two bytes ATM stores; null: ATM stores nothing
    uint32_t expected;
};

const OutputCase kOutputs[] = {
    {"AtmCallFontAvailable", "ATMFontAvailable", 5, 1, 0xABCD0000, "\xFF\xFF", 0xFFFFFFFF},
    {"AtmCallFontAvailable", "ATMFontAvailable", 5, 1, 0xFFFF0000, "\x01\x00", 1},
    {"AtmCallFontAvailable", "ATMFontAvailable", 5, 1, 0x00018000, nullptr, 0xFFFF8000},
    {"AtmCallFontAvailable", "ATMFontAvailable", 5, 1, 0xFFFF7FFF, nullptr, 0x00007FFF},
    {"AtmCallSelectObject", "ATMSelectObject", 3, 0, 0x12340000, "\xFF\xFF", 0x0000FFFF},
    {"AtmCallSelectObject", "ATMSelectObject", 3, 0, 0xFFFF0000, "\x01\x00", 1},
    {"AtmCallSelectObject", "ATMSelectObject", 3, 0, 0xFFFF8000, nullptr, 0x00008000},
};

class OutputTest : public QueryTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputTest, IsWidenedInPlace)
{
    const OutputCase& c = GetParam();
    std::string kinds = KindsOf(c.atm);
    sim::FontManagerSetup setup;
    if (c.written) setup.writes[c.atm][c.pointer] = std::string(c.written, 2);
    setup.results[c.atm] = {0x0102};
    Install(setup);
    ASSERT_TRUE(Load());
    Arguments a(kinds);
    uint32_t out = c.initial;
    a.values[c.arg] = Flat(&out);

    EXPECT_EQ(Call(c.name, a.values), 0x0102);

    EXPECT_EQ(out, c.expected);
    ASSERT_EQ(fm_->CallsOf(c.atm), 1u);
    std::vector<uint8_t> seen = fm_->LastCall(c.atm)->pointees[c.pointer];
    seen.resize(4);
    uint8_t initial[4];
    std::memcpy(initial, &c.initial, 4);
    EXPECT_EQ(seen, std::vector<uint8_t>(initial, initial + 4)) << "ATM sees the variable unchanged";
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputTest, ::testing::ValuesIn(kOutputs),
                         [](const auto& info) { return std::string(info.param.name) + std::to_string(info.index); });

// A null output pointer is mapped and released like any other, and nothing goes through it.
class NullOutputTest : public QueryTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(NullOutputTest, IsMappedAndReleasedButNeverTouched)
{
    const OutputCase& c = GetParam();
    std::string kinds = KindsOf(c.atm);
    sim::FontManagerSetup setup;
    setup.writes[c.atm][c.pointer] = "\xFF\xFF";
    Install(setup);
    ASSERT_TRUE(Load());
    Arguments a(kinds);
    a.values[c.arg] = 0;
    unsigned mapped_before = sim::machine().counters.mappings;

    EXPECT_EQ(Call(c.name, a.values), 0);

    ASSERT_EQ(fm_->CallsOf(c.atm), 1u);
    const sim::AtmCall& call = *fm_->LastCall(c.atm);
    EXPECT_EQ(call.pointers[c.pointer], 0u);
    EXPECT_EQ(sim::machine().counters.mappings - mapped_before, (unsigned)call.pointers.size());
    ASSERT_FALSE(sim::machine().releases.empty());
    EXPECT_EQ(sim::machine().releases.back(), 0u) << "the null mapping is released last";
}

INSTANTIATE_TEST_SUITE_P(NullOutputs, NullOutputTest, ::testing::Values(kOutputs[0], kOutputs[4]),
                         [](const auto& info) { return std::string(info.param.name); });

// GetFontPathsUniform: ATM fills the caller's record; before the version whose low four bits
// reach 4 it uses fields of 48 bytes, which are moved to the 260-byte places.
const char* const kPaths[4] = {"C:\\FONTS\\OUTLINES", "C:\\FONTS\\METRICS", "D:\\TYPE", "C:\\FONTS\\SETTINGS.TXT"};
constexpr size_t kRecordSize = 4 * 260;
constexpr uint8_t kUntouched = 0xEE;  // the caller's record before the call
constexpr uint8_t kPadding = 0xDD;    // what ATM leaves after a string within its 48-byte field

// The 192 bytes that ATM writes in the 48-byte layout.
std::string OldLayout(const char* const paths[4])
{
    std::string image(192, (char)kPadding);
    for (int k = 0; k < 4; ++k) {
        std::string field(paths[k]);
        std::memcpy(&image[48 * k], field.data(), std::min<size_t>(field.size() + 1, 48));
    }
    return image;
}

class FontPathsTest : public QueryTest {
protected:
    void SetUp() override
    {
        QueryTest::SetUp();
        record_.assign(kRecordSize, kUntouched);
    }

    // Installs ATM answering `version` and writing the 48-byte layout of `paths`, and loads.
    void LoadWith(uint16_t version, const char* const paths[4] = kPaths, std::set<std::string> absent = {})
    {
        sim::FontManagerSetup setup;
        setup.results["ATMGetVersion"] = {version, version, version};
        setup.writes["ATMGetFontPaths"][1] = OldLayout(paths);
        setup.absent = absent;
        Install(setup);
        ASSERT_TRUE(Load());
    }

    int32_t Uniform() { return Call("GetFontPathsUniform", {0x00070003, Flat(name_), Flat(record_.data())}); }

    // The record as ATM left it: the 48-byte layout over the caller's bytes.
    std::vector<uint8_t> AsAtmLeftIt(const char* const paths[4] = kPaths) const
    {
        std::vector<uint8_t> r(kRecordSize, kUntouched);
        std::string image = OldLayout(paths);
        std::memcpy(r.data(), image.data(), image.size());
        return r;
    }

    // ... and converted: each field's string with its zero also at the 260-byte place.
    std::vector<uint8_t> Converted() const
    {
        std::vector<uint8_t> r = AsAtmLeftIt();
        for (int k = 1; k < 4; ++k) std::memcpy(&r[260 * k], kPaths[k], std::strlen(kPaths[k]) + 1);
        return r;
    }

    char name_[8] = "Serif";
    std::vector<uint8_t> record_;
};

struct VersionCase {
    uint16_t version;
    bool converts;
};

class FontPathsVersionTest : public FontPathsTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(FontPathsVersionTest, ConvertsWhenTheLowFourBitsAreBelowFour)
{
    LoadWith(GetParam().version);
    EXPECT_EQ(Uniform(), 0);
    EXPECT_EQ(record_, GetParam().converts ? Converted() : AsAtmLeftIt());
    EXPECT_EQ(Table().AtmVersion, GetParam().version);
    EXPECT_EQ(fm_->CallsOf("ATMGetVersion"), 1u);
    const sim::AtmCall& call = *fm_->LastCall("ATMGetFontPaths");
    EXPECT_EQ(call.values[0], 0x0003u);
    EXPECT_EQ(std::string((const char*)call.pointees[0].data()), "Serif");
}

INSTANTIATE_TEST_SUITE_P(Versions, FontPathsVersionTest, ::testing::Values(
    VersionCase{0x0100, true}, VersionCase{0x0103, true}, VersionCase{0x0213, true}, VersionCase{0x0010, true},
    VersionCase{0x0104, false}, VersionCase{0x000F, false}, VersionCase{0xFFF4, false}),
    [](const auto& info) { return "Version" + std::to_string(info.param.version); });

TEST_F(FontPathsTest, VersionIsAskedOnceAndKeptAcrossAFinish)
{
    LoadWith(0x0102);
    EXPECT_EQ(Uniform(), 0);
    record_.assign(kRecordSize, kUntouched);
    EXPECT_EQ(Uniform(), 0);
    EXPECT_EQ(record_, Converted());
    EXPECT_EQ(Finish(), QF_OK);
    ASSERT_TRUE(Load());
    record_.assign(kRecordSize, kUntouched);
    EXPECT_EQ(Uniform(), 0);
    EXPECT_EQ(record_, Converted());
    EXPECT_EQ(fm_->CallsOf("ATMGetFontPaths"), 3u);
    EXPECT_EQ(fm_->CallsOf("ATMGetVersion"), 1u);
    EXPECT_EQ(Table().AtmVersion, 0x0102);
}

// Without a version value the record is converted on every call and the version asked again.
struct NoVersionCase {
    const char* name;
    bool absent;           // ATMGetVersion missing; otherwise it answers 0
    unsigned asked;        // ATMGetVersion calls after two queries
};

class FontPathsNoVersionTest : public FontPathsTest, public ::testing::WithParamInterface<NoVersionCase> {};

TEST_P(FontPathsNoVersionTest, ConvertsEveryTime)
{
    std::set<std::string> absent;
    if (GetParam().absent) absent.insert("ATMGetVersion");
    LoadWith(0, kPaths, absent);
    for (int i = 0; i < 2; ++i) {
        record_.assign(kRecordSize, kUntouched);
        EXPECT_EQ(Uniform(), 0);
        EXPECT_EQ(record_, Converted());
    }
    EXPECT_EQ(fm_->CallsOf("ATMGetVersion"), GetParam().asked);
    EXPECT_EQ(Table().AtmVersion, 0);
}

INSTANTIATE_TEST_SUITE_P(NoVersion, FontPathsNoVersionTest, ::testing::Values(
    NoVersionCase{"Unbound", true, 0}, NoVersionCase{"AnswersZero", false, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ATM's failure comes back unchanged, with the record as ATM left it and no version asked.
class FontPathsFailureTest : public FontPathsTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(FontPathsFailureTest, LeavesTheRecordAsAtmLeftIt)
{
    sim::FontManagerSetup setup;
    setup.results["ATMGetFontPaths"] = {GetParam()};
    setup.writes["ATMGetFontPaths"][1] = OldLayout(kPaths);
    Install(setup);
    ASSERT_TRUE(Load());
    EXPECT_EQ(Uniform(), (int16_t)GetParam());
    EXPECT_EQ(record_, AsAtmLeftIt());
    EXPECT_EQ(fm_->CallsOf("ATMGetVersion"), 0u);
    EXPECT_EQ(Table().AtmVersion, 0);
}

INSTANTIATE_TEST_SUITE_P(AtmResults, FontPathsFailureTest, ::testing::Values(0xFFFF, 0xFFFE, 0x0001, 0x8000));

TEST_F(FontPathsTest, MissingEntryPointLeavesEverythingAlone)
{
    sim::FontManagerSetup setup;
    setup.absent = {"ATMGetFontPaths"};
    Install(setup);
    EXPECT_EQ(Uniform(), QF_NOT_LOADED);
    ASSERT_TRUE(Load());
    EXPECT_EQ(Uniform(), QF_NOT_AVAILABLE);
    EXPECT_EQ(record_, std::vector<uint8_t>(kRecordSize, kUntouched));
    EXPECT_EQ(fm_->CallsOf("ATMGetVersion"), 0u);
    EXPECT_EQ(Table().AtmVersion, 0);
}

// A field of the 48-byte layout holds at most 48 bytes. A string that fills its field with no
// zero is moved as those 48 bytes and ended with a zero; nothing beyond its field is read.
TEST_F(FontPathsTest, FieldWithoutAZeroIsMovedAsItsFortyEightBytes)
{
    const std::string full(48, 'F');            // no zero in the field
    const std::string longest(47, 'L');         // the longest string with its zero in the field
    const char* paths[4] = {"C:\\", full.c_str(), longest.c_str(), full.c_str()};
    LoadWith(0x0101, paths);
    EXPECT_EQ(Uniform(), 0);

    std::vector<uint8_t> expected = AsAtmLeftIt(paths);
    std::memcpy(&expected[260], full.data(), 48);
    expected[260 + 48] = 0;
    std::memcpy(&expected[520], longest.c_str(), 48);
    std::memcpy(&expected[780], full.data(), 48);
    expected[780 + 48] = 0;
    EXPECT_EQ(record_, expected);
}

}  // namespace

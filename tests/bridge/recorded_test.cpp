// The recorded-callback operations, run through the test-only DLL on a bound bridge: the stand-in
// font manager calls the work block's real 16-bit recorders, and the host's 32-bit callbacks are
// called afterwards from the records.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "atm_entry_table.h"
#include "bridge_test.h"
#include "far16.h"

namespace {

using sim::Args16;

#define STDCALL __attribute__((stdcall))

constexpr int32_t kOk = 0, kNoMemory = -4, kNotAvailable = -5, kNotLoaded = -6, kAborted = -8,
                  kBadArgument = -102, kBusy = -227;
constexpr uint32_t kUser = 0xC0DE5EED;

// The 32-bit records that the callbacks receive.
struct LogFontA {
    int32_t Height, Width, Escapement, Orientation, Weight;
    uint8_t Bytes[8];
    char FaceName[32];
};
static_assert(sizeof(LogFontA) == 60, "the platform's 60-byte font record");
struct MMFontName {
    const char* Name;
    uint16_t Value;
};
struct Point {
    int32_t X, Y;
};

// One callback call as the host saw it: which callback (1 to 4 in the outline's order; 1 for an
// enumeration), the bytes it was handed, and the user data.
struct Delivery {
    int callback;
    std::string bytes;
    std::string name;
    uint16_t value;
    uint32_t user;
};

// The host: every delivery in order, the delivery that answers 0, and something to run from
// inside the first delivery.
struct Host {
    std::vector<Delivery> deliveries;
    size_t stop_at = SIZE_MAX;
    bool mm_named = false;
    std::function<void()> during_first;
};
Host* host = nullptr;

int32_t Deliver(int callback, std::string bytes, std::string name, uint16_t value, uint32_t user)
{
    host->deliveries.push_back({callback, std::move(bytes), std::move(name), value, user});
    if (host->deliveries.size() == 1 && host->during_first) host->during_first();
    return host->deliveries.size() - 1 == host->stop_at ? 0 : 1;
}

std::string Bytes(const void* p, size_t n) { return std::string((const char*)p, n); }

int32_t STDCALL OnFont(const LogFontA* font, const char* name, uint16_t value, uint32_t user)
{
    return Deliver(1, Bytes(font, sizeof *font), name, value, user);
}

int32_t STDCALL OnMMFont(const void* record, uint32_t user)
{
    if (!host->mm_named) return Deliver(1, Bytes(record, 320), "", 0, user);
    const MMFontName* n = (const MMFontName*)record;
    return Deliver(1, "", n->Name, n->Value, user);
}

int32_t STDCALL OnMove(const Point* p, uint32_t user) { return Deliver(1, Bytes(p, 8), "", 0, user); }
int32_t STDCALL OnLine(const Point* p, uint32_t user) { return Deliver(2, Bytes(p, 8), "", 0, user); }
int32_t STDCALL OnCurve(const Point* p1, const Point* p2, const Point* p3, uint32_t user)
{
    return Deliver(3, Bytes(p1, 8) + Bytes(p2, 8) + Bytes(p3, 8), "", 0, user);
}
int32_t STDCALL OnClose(uint32_t user) { return Deliver(4, "", "", 0, user); }

using EnumFontsFn = int32_t (*)(uint32_t value, void* callback, uint32_t user);
using EnumMMFontsFn = int32_t (*)(uint32_t value, void* p, void* callback, uint32_t user);
using GetOutlineFn = int32_t (*)(uint32_t a, uint32_t b, void* pointer, void* move, void* line, void* curve,
                                 void* close, uint32_t user);

// The three operations, the enumeration of multiple-master fonts in both of its modes.
enum class Op { kFonts, kMMRecords, kMMNames, kOutline };
const char* AtmNameOf(Op op)
{
    switch (op) {
    case Op::kFonts: return "ATMEnumFonts";
    case Op::kMMRecords:
    case Op::kMMNames: return "ATMEnumMMFonts";
    default: return "ATMGetOutline";
    }
}
const char* OpName(Op op)
{
    static const char* const kNames[] = {"Fonts", "MMRecords", "MMNames", "Outline"};
    return kNames[(int)op];
}

uint64_t PointOf(int32_t x, int32_t y) { return (uint64_t)(uint32_t)y << 32 | (uint32_t)x; }

class RecordedTest : public BridgeTest {
protected:
    void SetUp() override
    {
        BridgeTest::SetUp();
        dll_ = LoadBridge(true);
        ASSERT_NE(dll_, nullptr);
        enum_fonts_ = Export<EnumFontsFn>(dll_, "RecordedEnumFonts");
        enum_mm_ = Export<EnumMMFontsFn>(dll_, "RecordedEnumMMFonts");
        outline_ = Export<GetOutlineFn>(dll_, "RecordedGetOutline");
        busy_ = Export<uint32_t (*)()>(dll_, "RecordBufferBusy");
        table_ = Export<AtmEntryTableRecord*>(dll_, "AtmEntryTable");
        image_ = Export<const uint8_t*>(dll_, "WorkBlockImage");
        host = &host_;
    }

    void TearDown() override
    {
        if (table_ && table_->BlockHandle) {
            EXPECT_EQ(qf.QFFinish(), kOk);
        }
        far_.clear();
        host = nullptr;
        BridgeTest::TearDown();
    }

    // Installs the font manager and loads the bridge over it.
    void Load(const sim::FontManagerSetup& setup)
    {
        fm_ = &sim::InstallFontManager(setup);
        ASSERT_EQ(qf.QFProperlyLoaded(), 1);
    }

    // A string reachable from 16-bit code, kept until the case ends.
    uint32_t Far16String(const std::string& s)
    {
        strings_.push_back(std::make_unique<std::string>(s));
        far_.push_back(std::make_unique<Far16Data>(strings_.back()->c_str(), (uint32_t)s.size()));
        return far_.back()->far();
    }

    // The 320-byte record of a named instance: the name's FarPtr16 at +0, its value at +4.
    std::string MMNameBlock(const std::string& name, uint16_t value)
    {
        std::string block(320, '\x5A');
        uint32_t far = Far16String(name);
        std::memcpy(&block[0], &far, 4);
        std::memcpy(&block[4], &value, 2);
        return block;
    }

    // Three records for the operation.
    sim::FontManagerSetup ThreeRecords(Op op)
    {
        sim::FontManagerSetup setup;
        switch (op) {
        case Op::kFonts:
            setup.fonts = {{"first block with a face name", "Serif", 1},
                           {"second block with another face", "Sans Bold", 2},
                           {"third", "", 3}};
            break;
        case Op::kMMRecords:
            for (char c : {'a', 'b', 'c'}) setup.mm_blocks.push_back(std::string(320, c));
            break;
        case Op::kMMNames:
            for (int i = 0; i < 3; ++i) setup.mm_blocks.push_back(MMNameBlock("Instance " + std::to_string(i), (uint16_t)i));
            break;
        case Op::kOutline:
            setup.outline = {{1, {PointOf(1, 2)}}, {2, {PointOf(3, 4)}}, {4, {}}};
            break;
        }
        return setup;
    }

    // More records than the first RecordBuffer (0x8000 bytes) takes: the recorders must grow it.
    sim::FontManagerSetup ManyRecords(Op op)
    {
        sim::FontManagerSetup setup;
        switch (op) {
        case Op::kFonts:  // 62 bytes each
            for (int i = 0; i < 600; ++i) setup.fonts.push_back({"block", "Font " + std::to_string(1000 + i), (uint16_t)i});
            break;
        case Op::kMMRecords:  // 320 bytes each
            for (int i = 0; i < 110; ++i) setup.mm_blocks.push_back(std::string(320, (char)i));
            break;
        case Op::kMMNames:  // 303 bytes each
            for (int i = 0; i < 120; ++i)
                setup.mm_blocks.push_back(MMNameBlock(std::string(300, (char)('a' + i % 26)), (uint16_t)i));
            break;
        case Op::kOutline:  // 28 bytes each
            for (int i = 0; i < 1200; ++i) setup.outline.push_back({3, {PointOf(i, 0), PointOf(0, i), PointOf(i, i)}});
            break;
        }
        return setup;
    }

    static size_t RecordsIn(const sim::FontManagerSetup& setup, Op op)
    {
        switch (op) {
        case Op::kFonts: return setup.fonts.size();
        case Op::kOutline: return setup.outline.size();
        default: return setup.mm_blocks.size();
        }
    }

    // Runs the operation with the host's callbacks, the one at `null_callback` left out.
    int32_t Run(Op op, int null_callback = -1, uint32_t value = 0x1234)
    {
        host_.mm_named = op == Op::kMMNames;
        void* c[4] = {(void*)OnMove, (void*)OnLine, (void*)OnCurve, (void*)OnClose};
        if (op != Op::kOutline) c[0] = op == Op::kFonts ? (void*)OnFont : (void*)OnMMFont;
        if (null_callback >= 0) c[null_callback] = nullptr;
        switch (op) {
        case Op::kFonts: return enum_fonts_(value, c[0], kUser);
        case Op::kMMRecords: return enum_mm_(value, nullptr, c[0], kUser);
        case Op::kMMNames: return enum_mm_(value, mm_argument_, c[0], kUser);
        default: return outline_(value, 0x5678, outline_argument_, c[0], c[1], c[2], c[3], kUser);
        }
    }

    uint16_t CodeSel() const { return (uint16_t)(image_[2] | image_[3] << 8); }

    // The RecordBuffer's selector, BufferSel of the live work block.
    uint16_t BufferSel() const
    {
        uint16_t data = (uint16_t)(image_[0] | image_[1] << 8);
        uint16_t selector;
        std::memcpy(&selector, (const void*)(uintptr_t)sim::Linear16(sim::MakeFar(data, 0x14)), 2);
        return selector;
    }

    // The RecordBuffer's bytes as flat memory, found through the live work block.
    uint8_t* RecordBuffer() const { return (uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(BufferSel(), 0)); }

    // Makes the RecordBuffer's selector address `base` instead of the buffer, from a callback.
    void RedirectBufferSel(const uint8_t* base) const
    {
        sim::SegmentSpec spec;
        spec.base = (uint32_t)(uintptr_t)base;
        spec.limit = 0x7FFF;
        ASSERT_TRUE(sim::SetSelector(BufferSel(), spec));
    }

    sim::PeModule* dll_ = nullptr;
    EnumFontsFn enum_fonts_ = nullptr;
    EnumMMFontsFn enum_mm_ = nullptr;
    GetOutlineFn outline_ = nullptr;
    uint32_t (*busy_)() = nullptr;
    AtmEntryTableRecord* table_ = nullptr;
    const uint8_t* image_ = nullptr;
    sim::FontManager* fm_ = nullptr;
    Host host_;
    char mm_argument_[16] = "mm argument";
    char outline_argument_[16] = "glyph";
    std::vector<std::unique_ptr<std::string>> strings_;
    std::vector<std::unique_ptr<Far16Data>> far_;
};

// How the RecordBuffer's growth goes in a row: not needed (three records), or needed
// (ManyRecords) and failing once, with ATM stopping at the refused record or going on with the
// rest.
enum Growth { kNotNeeded, kAtmStops, kAtmGoesOn };

// Every row of the operations' failure table, for each operation.
struct FailureRow {
    const char* name;
    bool load;               // QFProperlyLoaded first
    bool absent;             // the operation's entry point missing from the font manager
    bool busy;               // a RecordBuffer already held
    bool alloc_fails;        // the RecordBuffer's allocation fails
    Growth growth;
    int atm_result;          // ATM's 16-bit answer
    int null_callback;       // the callback left out; -1: none
    size_t stop_at;          // the delivery that answers 0
    int32_t expected;
    bool atm_called;
    size_t deliveries;
};

const FailureRow kFailureRows[] = {
    // name                         load   absent busy   alloc  growth      atm     null stop      expected       atm    n
    {"EntryMissingWhileLoaded",     true,  true,  false, false, kNotNeeded, 0,      -1,  SIZE_MAX, kNotAvailable, false, 0},
    {"NotLoaded",                   false, false, false, false, kNotNeeded, 0,      -1,  SIZE_MAX, kNotLoaded,    false, 0},
    {"RecordBufferAlreadyHeld",     true,  false, true,  false, kNotNeeded, 0,      -1,  SIZE_MAX, kBusy,         false, 0},
    {"RecordBufferNotAllocated",    true,  false, false, true,  kNotNeeded, 0,      -1,  SIZE_MAX, kNoMemory,     false, 0},
    {"AtmAnswersMinus8",            true,  false, false, false, kNotNeeded, 0xFFF8, -1,  SIZE_MAX, kNoMemory,     true,  0},
    {"AtmAnswersItsOwnCode",        true,  false, false, false, kNotNeeded, 0xFFFD, -1,  SIZE_MAX, -3,            true,  0},
    {"AtmAnswersPositive",          true,  false, false, false, kNotNeeded, 5,      -1,  SIZE_MAX, 5,             true,  0},
    {"AtmFailsWithNullCallback",    true,  false, false, false, kNotNeeded, 0x8000, 0,   SIZE_MAX, -32768,        true,  0},
    {"Minus8WithNullCallback",      true,  false, false, false, kNotNeeded, 0xFFF8, 0,   SIZE_MAX, kNoMemory,     true,  0},
    {"NullCallback",                true,  false, false, false, kNotNeeded, 0,      0,   SIZE_MAX, kBadArgument,  true,  0},
    {"CallbackAnswersZero",         true,  false, false, false, kNotNeeded, 0,      -1,  1,        kAborted,      true,  2},
    {"EveryRecordDelivered",        true,  false, false, false, kNotNeeded, 0,      -1,  SIZE_MAX, kOk,           true,  3},
    {"GrowthFailsAtmAnswers0",      true,  false, false, false, kAtmStops,  0,      -1,  SIZE_MAX, kNoMemory,     true,  0},
    {"GrowthFailsAtmGoesOnTo0",     true,  false, false, false, kAtmGoesOn, 0,      -1,  SIZE_MAX, kNoMemory,     true,  0},
    {"GrowthFailsAtmAnswersMinus8", true,  false, false, false, kAtmStops,  0xFFF8, -1,  SIZE_MAX, kNoMemory,     true,  0},
    {"GrowthFailsAtmAnswersItsOwn", true,  false, false, false, kAtmStops,  0xFFFD, -1,  SIZE_MAX, -3,            true,  0},
};

class RecordedFailureTest : public RecordedTest,
                            public ::testing::WithParamInterface<std::tuple<FailureRow, Op>> {};

TEST_P(RecordedFailureTest, ResultAndRecordBufferReleased)
{
    const FailureRow& row = std::get<0>(GetParam());
    Op op = std::get<1>(GetParam());
    sim::FontManagerSetup setup = row.growth == kNotNeeded ? ThreeRecords(op) : ManyRecords(op);
    setup.stop_on_zero = row.growth != kAtmGoesOn;
    if (row.absent) setup.absent = {AtmNameOf(op)};
    setup.results[AtmNameOf(op)] = {(uint16_t)row.atm_result};
    if (row.load) Load(setup);
    else fm_ = &sim::InstallFontManager(setup);
    host_.stop_at = row.stop_at;

    if (row.busy) {
        ASSERT_NE(Export<uint32_t (*)()>(dll_, "AllocRecordBuffer")(), 0u);
    }
    if (row.alloc_fails) sim::Heap16Faults().alloc_fail_at = sim::Heap16Counters().allocs + 1;
    if (row.growth != kNotNeeded) sim::Heap16Faults().realloc_fail_at = sim::Heap16Counters().reallocs + 1;
    unsigned allocs = sim::Heap16Counters().allocs;

    EXPECT_EQ(Run(op, row.null_callback), row.expected);
    EXPECT_EQ(fm_->CallsOf(AtmNameOf(op)), row.atm_called ? 1u : 0u);
    EXPECT_EQ(host_.deliveries.size(), row.deliveries);
    if (row.growth != kNotNeeded) {
        const std::vector<uint16_t>& results = fm_->callback_results;
        EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1) << "one record refused";
        if (row.growth == kAtmGoesOn) {
            EXPECT_EQ(results.size(), RecordsIn(setup, op)) << "ATM went on after it";
        }
    }
    if (!row.atm_called && !row.alloc_fails) {
        EXPECT_EQ(sim::Heap16Counters().allocs, allocs) << "nothing allocated";
    }
    if (row.busy) {
        EXPECT_NE(busy_(), 0u) << "the other recording's RecordBuffer is left alone";
        Export<void (*)()>(dll_, "ReleaseRecordBuffer")();
    }
    if (row.load) {
        EXPECT_EQ(busy_(), 0u);
        EXPECT_EQ(sim::LiveGlobalHandles(), 1u) << "only the work block is left";
    }
    if (row.load && !row.absent) {
        host_ = Host();
        EXPECT_EQ(Run(op), kOk) << "the next recording on the same bridge";
        EXPECT_EQ(host_.deliveries.size(), RecordsIn(setup, op));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RecordedFailureTest,
    ::testing::Combine(::testing::ValuesIn(kFailureRows),
                       ::testing::Values(Op::kFonts, Op::kMMRecords, Op::kMMNames, Op::kOutline)),
    [](const ::testing::TestParamInfo<std::tuple<FailureRow, Op>>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + OpName(std::get<1>(info.param));
    });

TEST_F(RecordedTest, OutlineNeedsAllFourCallbacks)
{
    Load(ThreeRecords(Op::kOutline));
    for (int missing = 0; missing < 4; ++missing) {
        EXPECT_EQ(Run(Op::kOutline, missing), kBadArgument) << "callback " << missing + 1 << " null";
        EXPECT_EQ(busy_(), 0u);
    }
    EXPECT_TRUE(host_.deliveries.empty());
}

TEST_F(RecordedTest, NoRecordsIsOkUnlessACallbackIsNull)
{
    Load({});
    for (Op op : {Op::kFonts, Op::kMMRecords, Op::kMMNames, Op::kOutline}) {
        EXPECT_EQ(Run(op), kOk) << OpName(op);
        EXPECT_EQ(Run(op, 0), kBadArgument) << OpName(op);
    }
    EXPECT_TRUE(host_.deliveries.empty());
}

TEST_F(RecordedTest, RecordingCallsHandAtmTheRecorders)
{
    Load({});
    uint32_t code = (uint32_t)CodeSel() << 16;
    auto mapped = [&](const sim::AtmCall& call, unsigned i, const char* text) {
        return std::string(call.pointees.at(i).begin(), call.pointees.at(i).begin() + std::strlen(text)) == text;
    };

    ASSERT_EQ(Run(Op::kFonts, -1, 0xABCD1234), kOk);
    EXPECT_EQ(fm_->LastCall("ATMEnumFonts")->args, Args16().W(0x1234).D(code | 0x80).D(0).bytes)
        << "the value's low 16 bits, EnumFontsRecorder, client value 0";

    ASSERT_EQ(Run(Op::kMMNames, -1, 0x10007), kOk);
    const sim::AtmCall* mm = fm_->LastCall("ATMEnumMMFonts");
    uint32_t p = (uint32_t)(uintptr_t)mm_argument_;
    ASSERT_EQ(mm->pointers.size(), 1u);
    EXPECT_TRUE(mapped(*mm, 0, mm_argument_)) << "p mapped for the call";
    EXPECT_EQ(mm->args, Args16().W(7).D(mm->pointers[0]).D(code | 0xC8).D(p).bytes)
        << "EnumMMFontsRecorder, and p itself unmapped as the client value";

    ASSERT_EQ(Run(Op::kMMRecords), kOk);
    EXPECT_EQ(fm_->LastCall("ATMEnumMMFonts")->args, Args16().W(0x1234).D(0).D(code | 0xC8).D(0).bytes)
        << "a null p: a null 16:16 pointer and the client value 0";

    ASSERT_EQ(Run(Op::kOutline, -1, 0x20002), kOk);
    const sim::AtmCall* o = fm_->LastCall("ATMGetOutline");
    ASSERT_EQ(o->pointers.size(), 1u);
    EXPECT_TRUE(mapped(*o, 0, outline_argument_));
    EXPECT_EQ(o->args, Args16()
                           .W(2)
                           .W(0x5678)
                           .D(o->pointers[0])
                           .D(code | 0x1E0)
                           .D(code | 0x1A0)
                           .D(code | 0x148)
                           .D(code | 0x118)
                           .D(0)
                           .bytes)
        << "OutlineRecorder4 to OutlineRecorder1 in the four procedure slots";
    EXPECT_EQ(sim::LiveMappings(), 0u);
}

// The recording calls themselves, with their entry point unbound: nothing is mapped or called.
TEST_F(RecordedTest, RecordingCallsWithoutEntryPointCallNothing)
{
    auto enum_fonts = Export<int32_t (*)(uint32_t, uint32_t, uint32_t)>(dll_, "AtmCallEnumFonts");
    auto enum_mm = Export<int32_t (*)(uint32_t, void*, uint32_t, uint32_t)>(dll_, "AtmCallEnumMMFonts");
    auto outline = Export<int32_t (*)(uint32_t, uint32_t, void*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>(
        dll_, "AtmCallGetOutline");
    auto call_all = [&] {
        return std::vector<int32_t>{enum_fonts(1, 0x10080, 0), enum_mm(1, mm_argument_, 0x100C8, 1),
                                    outline(1, 2, outline_argument_, 3, 4, 5, 6, 0)};
    };
    sim::FontManagerSetup setup;
    setup.absent = {"ATMEnumFonts", "ATMEnumMMFonts", "ATMGetOutline"};
    fm_ = &sim::InstallFontManager(setup);
    EXPECT_EQ(call_all(), std::vector<int32_t>(3, kNotLoaded));
    Load(setup);
    unsigned thunks = sim::machine().counters.qt_thunk_calls, mappings = sim::machine().counters.mappings;
    EXPECT_EQ(call_all(), std::vector<int32_t>(3, kNotAvailable));
    EXPECT_EQ(sim::machine().counters.qt_thunk_calls, thunks);
    EXPECT_EQ(sim::machine().counters.mappings, mappings);
}

TEST_F(RecordedTest, FontsArriveInRecordedOrderWithUserDataLast)
{
    sim::FontManagerSetup setup = ThreeRecords(Op::kFonts);
    setup.fonts[1].value = 0xFFFE;
    Load(setup);
    ASSERT_EQ(Run(Op::kFonts), kOk);
    ASSERT_EQ(host_.deliveries.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const Delivery& d = host_.deliveries[i];
        const sim::EnumFont& f = setup.fonts[i];
        EXPECT_EQ(d.name, f.name) << i;
        EXPECT_EQ(d.value, f.value) << i;
        EXPECT_EQ(d.user, kUser) << i;
        std::string block = f.block;
        block.resize(50, '\0');
        EXPECT_EQ(d.bytes.substr(20), block.substr(10)) << i << ": the eight bytes and the face name";
    }
}

TEST_F(RecordedTest, FontBlockFieldsAreSignExtended)
{
    struct {
        int16_t fields[5];
        uint8_t bytes[8];
        char face[32];
    } block16 = {{-1, -32768, 32767, 0, -400}, {0x80, 0xFF, 0x00, 0x7F, 1, 2, 3, 0xFE}, {}};
    static_assert(sizeof block16 == 50, "the 16-bit font block");
    for (int i = 0; i < 32; ++i) block16.face[i] = (char)('A' + i);  // no NUL: all 32 bytes are copied
    sim::FontManagerSetup setup;
    setup.fonts = {{std::string((const char*)&block16, 50), "Face", 9}};
    Load(setup);
    ASSERT_EQ(Run(Op::kFonts), kOk);
    ASSERT_EQ(host_.deliveries.size(), 1u);
    LogFontA font;
    std::memcpy(&font, host_.deliveries[0].bytes.data(), 60);
    EXPECT_EQ(font.Height, -1);
    EXPECT_EQ(font.Width, -32768);
    EXPECT_EQ(font.Escapement, 32767);
    EXPECT_EQ(font.Orientation, 0);
    EXPECT_EQ(font.Weight, -400);
    EXPECT_EQ(Bytes(font.Bytes, 8), Bytes(block16.bytes, 8));
    EXPECT_EQ(Bytes(font.FaceName, 32), Bytes(block16.face, 32));
}

TEST_F(RecordedTest, MMFontsDeliverRawRecordsOrNames)
{
    sim::FontManagerSetup setup;
    std::string raw(320, '\0');
    for (int i = 0; i < 320; ++i) raw[i] = (char)(i * 7);
    setup.mm_blocks = {raw, std::string(320, '\x01')};
    Load(setup);
    ASSERT_EQ(Run(Op::kMMRecords), kOk);
    ASSERT_EQ(host_.deliveries.size(), 2u);
    EXPECT_EQ(host_.deliveries[0].bytes, raw) << "p null: the 320 bytes unconverted";
    EXPECT_EQ(host_.deliveries[1].bytes, std::string(320, '\x01'));
    EXPECT_EQ(host_.deliveries[1].user, kUser);
    EXPECT_EQ(qf.QFFinish(), kOk);

    host_.deliveries.clear();
    setup.mm_blocks = {MMNameBlock("Roman 400 wt", 0x8001), MMNameBlock("", 2), MMNameBlock("Bold 700 wt", 3)};
    Load(setup);
    ASSERT_EQ(Run(Op::kMMNames), kOk);
    ASSERT_EQ(host_.deliveries.size(), 3u);
    const char* names[] = {"Roman 400 wt", "", "Bold 700 wt"};
    uint16_t values[] = {0x8001, 2, 3};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(host_.deliveries[i].name, names[i]) << i;
        EXPECT_EQ(host_.deliveries[i].value, values[i]) << i;
        EXPECT_EQ(host_.deliveries[i].user, kUser) << i;
    }
}

TEST_F(RecordedTest, OutlineRecordsGoToTheirCallbacksInOrder)
{
    sim::FontManagerSetup setup;
    uint64_t a = PointOf(-1, 2), b = PointOf(3, -4), c = PointOf(INT32_MIN, INT32_MAX), d = PointOf(7, 8);
    setup.outline = {{1, {a}}, {2, {b}}, {3, {a, b, c}}, {4, {}}, {2, {d}}, {3, {d, c, b}}, {1, {c}}, {4, {}}};
    Load(setup);
    ASSERT_EQ(Run(Op::kOutline), kOk);
    ASSERT_EQ(host_.deliveries.size(), setup.outline.size());
    for (size_t i = 0; i < setup.outline.size(); ++i) {
        const sim::OutlineStep& step = setup.outline[i];
        std::string points;
        for (uint64_t p : step.points) points += Bytes(&p, 8);
        EXPECT_EQ(host_.deliveries[i].callback, (int)step.procedure) << i;
        EXPECT_EQ(host_.deliveries[i].bytes, points) << i;
        EXPECT_EQ(host_.deliveries[i].user, kUser) << i;
    }
}

TEST_F(RecordedTest, FirstCallbackAnsweringZeroStopsAtOnce)
{
    for (Op op : {Op::kFonts, Op::kMMRecords, Op::kMMNames, Op::kOutline}) {
        host_ = Host();
        host_.stop_at = 0;
        Load(ThreeRecords(op));
        EXPECT_EQ(Run(op), kAborted) << OpName(op);
        EXPECT_EQ(host_.deliveries.size(), 1u) << OpName(op);
        EXPECT_EQ(fm_->callback_results.size(), 3u) << OpName(op) << ": everything was recorded first";
        EXPECT_EQ(busy_(), 0u);
        EXPECT_EQ(qf.QFFinish(), kOk);
    }
}

// A callback that starts another recording, or finishes the bridge, is turned away while the
// RecordBuffer is held; the replay it was called from goes on.
TEST_F(RecordedTest, NestedUseDuringReplayIsBusy)
{
    struct Nested {
        const char* name;
        std::function<int32_t()> call;
    };
    const Nested nested[] = {
        {"RecordedEnumFonts", [this] { return Run(Op::kFonts); }},
        {"RecordedEnumMMFonts", [this] { return Run(Op::kMMRecords); }},
        {"RecordedGetOutline", [this] { return Run(Op::kOutline); }},
        {"QFFinish", [this] { return (int32_t)qf.QFFinish(); }},
    };
    for (Op outer : {Op::kFonts, Op::kOutline}) {
        for (const Nested& n : nested) {
            host_ = Host();
            Load(ThreeRecords(outer));
            int32_t inner = 0;
            size_t atm_calls = fm_->calls.size();
            host_.during_first = [&] { inner = n.call(); };
            EXPECT_EQ(Run(outer), kOk) << OpName(outer) << " with " << n.name;
            EXPECT_EQ(inner, kBusy) << n.name;
            EXPECT_EQ(fm_->calls.size(), atm_calls + 1) << "only the outer recording reached ATM";
            EXPECT_EQ(host_.deliveries.size(), 3u) << "the outer replay went on";
            EXPECT_NE(table_->BlockHandle, 0);
            EXPECT_EQ(qf.QFFinish(), kOk);
        }
    }
}

TEST_F(RecordedTest, FailedGrowthIsNoMemoryAndReleasesTheBuffer)
{
    sim::FontManagerSetup setup;
    for (int i = 0; i < 1000; ++i) setup.fonts.push_back({"block", "A font name of some length " + std::to_string(i), 0});
    setup.results["ATMEnumFonts"] = {(uint16_t)-8};
    Load(setup);
    sim::Heap16Faults().realloc_fail_at = sim::Heap16Counters().reallocs + 1;
    EXPECT_EQ(Run(Op::kFonts), kNoMemory);
    ASSERT_FALSE(fm_->callback_results.empty());
    EXPECT_EQ(fm_->callback_results.back(), 0) << "a recorder refused a record";
    EXPECT_TRUE(host_.deliveries.empty());
    EXPECT_EQ(busy_(), 0u);
    EXPECT_EQ(sim::LiveGlobalHandles(), 1u);
}

// Names longer than the chunk that the replay copies (63 characters for fonts, 317 for named
// instances) are measured within the record's recorded bytes, delivered whole, and the replay
// goes on at the next record.
TEST_F(RecordedTest, LongNamesAreDeliveredWholeAndSkippedByTheirLength)
{
    struct Case {
        Op op;
        size_t length;    // of the name handed to the recorder
        size_t recorded;  // of the name that the recorder keeps
    };
    const Case cases[] = {
        {Op::kFonts, 62, 62},     {Op::kFonts, 63, 63},      {Op::kFonts, 64, 64},     {Op::kFonts, 500, 500},
        {Op::kFonts, 971, 971},   {Op::kFonts, 2000, 971},   {Op::kMMNames, 317, 317}, {Op::kMMNames, 318, 318},
        {Op::kMMNames, 1021, 1021}, {Op::kMMNames, 3000, 1021},
    };
    for (const Case& c : cases) {
        host_ = Host();
        std::string name;
        for (size_t i = 0; i < c.length; ++i) name += (char)('a' + i % 26);
        sim::FontManagerSetup setup;
        if (c.op == Op::kFonts) setup.fonts = {{"b1", "Before", 1}, {"b2", name, 2}, {"b3", "After", 3}};
        else setup.mm_blocks = {MMNameBlock("Before", 1), MMNameBlock(name, 2), MMNameBlock("After", 3)};
        Load(setup);
        EXPECT_EQ(Run(c.op), kOk) << OpName(c.op) << " " << c.length;
        ASSERT_EQ(host_.deliveries.size(), 3u) << OpName(c.op) << " " << c.length;
        EXPECT_EQ(host_.deliveries[0].name, "Before");
        EXPECT_EQ(host_.deliveries[1].name, name.substr(0, c.recorded)) << OpName(c.op) << " " << c.length;
        EXPECT_EQ(host_.deliveries[1].value, 2);
        EXPECT_EQ(host_.deliveries[2].name, "After") << OpName(c.op) << " " << c.length;
        EXPECT_EQ(host_.deliveries[2].value, 3);
        EXPECT_EQ(qf.QFFinish(), kOk);
    }
}

// Records that the recorders never write: the first callback damages the next record in the
// RecordBuffer, and the replay stops there with QF_BAD_ARGUMENT instead of reading past the
// recorded bytes or looping.
TEST_F(RecordedTest, DamagedRecordsStopTheReplay)
{
    struct Case {
        const char* name;
        Op op;
        uint32_t at;  // offset in the RecordBuffer of the damaged dword
        uint32_t value;
        size_t delivered;
        size_t last_name;  // length of the third font's name
    };
    // Outline records of ThreeRecords: type 4 at 0 (12 bytes), type 3 at 12, type 1 at 24; 28 in
    // all. Font records: "Serif" at 0 (58 bytes), "Sans Bold" at 58 (62), the third at 120 with
    // its name at 172.
    const Case cases[] = {
        {"type 0", Op::kOutline, 12, 0, 1, 0},
        {"type 5", Op::kOutline, 12, 5, 1, 0},
        {"type 0xFFFFFFFF", Op::kOutline, 12, 0xFFFFFFFF, 1, 0},
        {"last record a curve past the recorded bytes", Op::kOutline, 24, 2, 2, 0},
        {"last name without its NUL", Op::kFonts, 169, 0x78787878, 2, 0},
        {"long last name without its NUL", Op::kFonts, 172 + 500 - 3, 0x78787878, 2, 500},
    };
    for (const Case& c : cases) {
        host_ = Host();
        sim::FontManagerSetup setup = ThreeRecords(c.op);
        if (c.last_name) setup.fonts[2].name = std::string(c.last_name, 'n');
        Load(setup);
        host_.during_first = [&] { std::memcpy(RecordBuffer() + c.at, &c.value, 4); };
        EXPECT_EQ(Run(c.op), kBadArgument) << c.name;
        EXPECT_EQ(host_.deliveries.size(), c.delivered) << c.name;
        EXPECT_EQ(busy_(), 0u);
        EXPECT_EQ(qf.QFFinish(), kOk);
    }
}

// The RecordBuffer's selector made to address no-access memory during the replay: the guarded
// read fails instead of faulting, and the replay ends with QF_NO_MEMORY.
TEST_F(RecordedTest, UnreadableRecordBufferEndsTheReplay)
{
    sim::GuardedBlock page = sim::AllocGuarded(0x1000);
    Load(ThreeRecords(Op::kOutline));
    host_.during_first = [&] { RedirectBufferSel(page.data + 0x1000); };  // the no-access pages after it
    EXPECT_EQ(Run(Op::kOutline), kNoMemory);
    EXPECT_EQ(host_.deliveries.size(), 1u);
    EXPECT_EQ(busy_(), 0u);
    sim::FreeGuarded(page);
}

// A name longer than the replay's chunk is read on from the RecordBuffer; when that read-on
// fails the replay ends with QF_NO_MEMORY, delivering nothing of the cut name. The buffer's
// selector is made to address a copy of its first bytes that ends, at no-access pages, right
// after the second record's chunk.
TEST_F(RecordedTest, UnreadableRestOfALongNameEndsTheReplay)
{
    sim::FontManagerSetup setup;
    setup.fonts = {{"block", "First", 1}, {"block", std::string(200, 'L'), 2}};
    Load(setup);
    const uint32_t second = 53 + 5;          // where the second record begins
    const uint32_t readable = second + 116;  // its chunk, and not one byte more
    sim::GuardedBlock copy = sim::AllocGuarded(readable);
    host_.during_first = [&] {
        std::memcpy(copy.data, RecordBuffer(), readable);
        RedirectBufferSel(copy.data);
    };
    EXPECT_EQ(Run(Op::kFonts), kNoMemory);
    EXPECT_EQ(host_.deliveries.size(), 1u);
    EXPECT_EQ(busy_(), 0u);
    sim::FreeGuarded(copy);
}

// Recordings far past 64 KB: every record is read back at its 32-bit offset, in order.
TEST_F(RecordedTest, HundredThousandFonts)
{
    sim::FontManagerSetup setup;
    const int kFonts = 100000;
    for (int i = 0; i < kFonts; ++i) setup.fonts.push_back({"block", "Font " + std::to_string(i), (uint16_t)i});
    Load(setup);
    ASSERT_EQ(Run(Op::kFonts), kOk);
    ASSERT_EQ(host_.deliveries.size(), (size_t)kFonts);
    for (int i = 0; i < kFonts; ++i) {
        if (host_.deliveries[i].name != "Font " + std::to_string(i) || host_.deliveries[i].value != (uint16_t)i) {
            ADD_FAILURE() << "font " << i << " arrived as " << host_.deliveries[i].name;
            break;
        }
    }
    EXPECT_GT(sim::Heap16Counters().reallocs, 30u) << "the RecordBuffer grew past 1 MB";
}

TEST_F(RecordedTest, MillionPointOutline)
{
    sim::FontManagerSetup setup;
    const int kPoints = 1000000;
    setup.outline.reserve(kPoints + 1);
    for (int i = 0; i < kPoints; ++i) setup.outline.push_back({i == 0 ? 1u : 2u, {PointOf(i, -i)}});
    setup.outline.push_back({4, {}});
    Load(setup);
    ASSERT_EQ(Run(Op::kOutline), kOk);
    ASSERT_EQ(host_.deliveries.size(), (size_t)kPoints + 1);
    for (int i = 0; i < kPoints; ++i) {
        uint64_t p = PointOf(i, -i);
        if (host_.deliveries[i].callback != (i == 0 ? 1 : 2) || host_.deliveries[i].bytes != Bytes(&p, 8)) {
            ADD_FAILURE() << "point " << i;
            break;
        }
    }
    EXPECT_EQ(host_.deliveries.back().callback, 4);
}

}  // namespace

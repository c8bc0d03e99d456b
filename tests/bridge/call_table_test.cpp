// Every line of the kit's 32-to-16 call-site tables, one row each, called through the test-only
// DLL: the 16-bit arguments that its target receives, the widening of the target's result, the
// mappings made and every one released, the bytes of arguments the call removes, and the answer
// when ATM's entry point is unbound. ATM's entry points are the stand-in font manager's; the
// KERNEL primitives' entry points and the test call sites' target are replaced by a recording
// 16-bit entry, so that every bit of DX:AX can be chosen.
#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "access16.h"
#include "atm_entry_table.h"
#include "bound_bridge_test.h"
#include "call_checked.h"
#include "fontmgr/fontmgr.h"
#define QFATM_API
#define __cdecl __attribute__((cdecl))
#include "qfatm.h"  // the result codes

namespace {

// Who removes the arguments, and which thunk crosses: ATM_CALL and CALL_SITE leave them to the
// caller and go through QT_Thunk; ATM_QUERY removes them and goes through QT_Thunk; FLAT_CALL
// removes them and goes through FT_Thunk.
enum class Crossing { kCallerRemoves, kQuery, kFlat };
enum class Widening { kSX, kZX, kJoin, kKeep };
enum class Unbound { kNone, kZero, kCode };  // the answer with ATM's entry point 0

// One 32-bit argument of a call site and what its target must see of it.
struct Arg {
    char kind;          // W word, D dword, P / G pointer to `bytes`, R rectangle, S / Z output variable
    uint32_t value;     // W, D: the 32-bit argument; S, Z: the variable before the call
    uint32_t expected;  // W, D: the value the target receives; S, Z: the variable after the call
    const char* bytes;  // P, G: what the pointer addresses
};

Arg W(uint32_t value, uint16_t seen) { return {'W', value, seen, nullptr}; }
Arg D(uint32_t value) { return {'D', value, value, nullptr}; }
Arg P(const char* bytes) { return {'P', 0, 0, bytes}; }
Arg G(const char* bytes) { return {'G', 0, 0, bytes}; }
Arg Rect() { return {'R', 0, 0, nullptr}; }
Arg OutSx(uint32_t before, uint32_t after) { return {'S', before, after, nullptr}; }  // ATM stores nothing
Arg OutZx(uint32_t before, uint32_t after) { return {'Z', before, after, nullptr}; }

// The rectangle passed for R: four 32-bit values that do not all fit in 16 bits, and the low
// halves that the target sees.
const int32_t kRect[4] = {65536 + 7, -1, 65537, 0x7FFF8000};
const std::vector<uint8_t> kRect16 = {7, 0, 0xFF, 0xFF, 1, 0, 0x00, 0x80};

// Where a call site finds its target: an entry point of ATM's in the AtmEntryTable, one of
// KERNEL's in the thunk-service table, or TestCallTarget. A KERNEL or test target's 16-bit
// argument list is given here; the font manager declares ATM's.
struct Target {
    const char* atm;
    FarPtr16 ThunkServicesRecord::*kernel;
    const char* kinds;
};

Target Atm(const char* entry) { return {entry, nullptr, ""}; }
Target Kernel(FarPtr16 ThunkServicesRecord::*entry, const char* kinds) { return {nullptr, entry, kinds}; }
Target TestTarget(const char* kinds) { return {nullptr, nullptr, kinds}; }

struct Line {
    const char* site;  // the test DLL's export
    Target target;
    Crossing crossing;
    Widening widening;
    Unbound unbound;
    std::vector<Arg> args;  // first to last
};

constexpr Crossing kCaller = Crossing::kCallerRemoves, kQuery = Crossing::kQuery, kFlat = Crossing::kFlat;
constexpr Widening kSX = Widening::kSX, kZX = Widening::kZX, kJoin = Widening::kJoin, kKeep = Widening::kKeep;
constexpr Unbound kNone = Unbound::kNone, kZero = Unbound::kZero, kCode = Unbound::kCode;

using K = ThunkServicesRecord;

const Line kLines[] = {
    // bridge/atm_calls.asm
    {"AtmCallIsUp", Atm("ATMIsUp"), kCaller, kSX, kZero, {}},
    {"AtmCallAddFont", Atm("ATMAddFont"), kCaller, kSX, kCode,
     {W(0xA5A51101, 0x1101), P("Garamond.pfm"), W(0x5A5A2202, 0x2202), P("metrics"), P("outline"),
      W(0xFFFF3303, 0x3303)}},
    {"AtmCallRemoveFont", Atm("ATMRemoveFont"), kCaller, kSX, kCode,
     {W(0xA5A51101, 0x1101), P("Garamond.pfm"), W(0xFFFF8001, 0x8001)}},
    {"AtmCallBeginFontChange", Atm("ATMBeginFontChange"), kCaller, kSX, kCode, {}},
    {"AtmCallForceFontChange", Atm("ATMForceFontChange"), kCaller, kSX, kCode, {}},
    {"AtmCallEndFontChange", Atm("ATMEndFontChange"), kCaller, kSX, kCode, {}},
    {"AtmCallGetVersion", Atm("ATMGetVersion"), kCaller, kZX, kZero, {}},
    // bridge/font_queries.asm
    {"AtmCallFontSelected", Atm("ATMFontSelected"), kQuery, kSX, kZero, {W(0xA5A51101, 0x1101)}},
    {"AtmCallGetFontBBox", Atm("ATMGetFontBBox"), kQuery, kSX, kCode, {W(0xA5A51101, 0x1101), P("bounding box")}},
    {"AtmCallGetFontPaths", Atm("ATMGetFontPaths"), kQuery, kSX, kCode,
     {W(0xA5A51101, 0x1101), P("Serif"), P("path record")}},
    {"AtmCallGetMenuName", Atm("ATMGetMenuName"), kQuery, kSX, kCode,
     {W(0xA5A51101, 0x1101), P("Serif"), P("menu name")}},
    {"AtmCallGetPostScriptName", Atm("ATMGetPostScriptName"), kQuery, kSX, kCode,
     {W(0xA5A51101, 0x1101), P("Serif"), P("PostScript name")}},
    {"AtmCallSelectObject", Atm("ATMSelectObject"), kFlat, kSX, kCode,
     {W(0xA5A51101, 0x1101), W(0x5A5A2202, 0x2202), W(0xFFFF3303, 0x3303), OutZx(0xFFFF8000, 0x00008000)}},
    // bridge/recorded_calls.asm
    {"AtmCallEnumFonts", Atm("ATMEnumFonts"), kCaller, kSX, kCode,
     {W(0xA5A51101, 0x1101), D(0x12345678), D(0x9ABCDEF0)}},
    {"AtmCallEnumMMFonts", Atm("ATMEnumMMFonts"), kCaller, kSX, kCode,
     {W(0xA5A51101, 0x1101), P("mm argument"), D(0x12345678), D(0x9ABCDEF0)}},
    {"AtmCallGetOutline", Atm("ATMGetOutline"), kCaller, kSX, kCode,
     {W(0xA5A51101, 0x1101), W(0x5A5A2202, 0x2202), P("glyph"), D(0x11112222), D(0x33334444), D(0x55556666),
      D(0x77778888), D(0x9999AAAA)}},
    // access16/flat_calls.asm
    {"AtmCallBBoxBaseXYShowText", Atm("ATMBBoxBaseXYShowText"), kFlat, kSX, kZero,
     {W(0xA5A51101, 0x1101), W(0x5A5A2202, 0x2202), W(0xFFFF3303, 0x3303), W(0x00014404, 0x4404), Rect(),
      P("text"), W(0x80005505, 0x5505), P("widths"), P("options"), W(0x7FFF6606, 0x6606), G("box out"),
      G("base out")}},
    {"AtmCallXYShowText", Atm("ATMXYShowText"), kFlat, kSX, kZero,
     {W(0xA5A51101, 0x1101), W(0x5A5A2202, 0x2202), W(0xFFFF3303, 0x3303), W(0x00014404, 0x4404), Rect(),
      P("text"), W(0x80005505, 0x5505), P("widths"), P("options")}},
    {"AtmCallFontAvailable", Atm("ATMFontAvailable"), kFlat, kSX, kZero,
     {P("Serif"), W(0xA5A51101, 0x1101), W(0x5A5A2202, 0x2202), W(0xFFFF3303, 0x3303), W(0x00014404, 0x4404),
      OutSx(0x00018000, 0xFFFF8000)}},
    // access16/kernel16.asm
    {"K16GetModuleHandle", Kernel(&K::KernelGetModuleHandle, "P"), kCaller, kZX, kNone, {P("ATM")}},
    {"K16GetProcAddress", Kernel(&K::KernelGetProcAddress, "WP"), kCaller, kJoin, kNone,
     {W(0xFFFF0117, 0x0117), P("ATMGetVersion")}},
    {"K16GlobalAlloc", Kernel(&K::KernelGlobalAlloc, "WD"), kCaller, kZX, kNone,
     {W(0x12340042, 0x0042), D(0x0002A5C0)}},
    {"K16GlobalLock", Kernel(&K::KernelGlobalLock, "W"), kCaller, kJoin, kNone, {W(0xA5A50126, 0x0126)}},
    {"K16GlobalFree", Kernel(&K::KernelGlobalFree, "W"), kCaller, kKeep, kNone, {W(0xA5A50126, 0x0126)}},
    {"K16AllocDStoCSAlias", Kernel(&K::KernelAllocDStoCSAlias, "W"), kCaller, kZX, kNone, {W(0xFFFF0127, 0x0127)}},
    {"K16FreeSelector", Kernel(&K::KernelFreeSelector, "W"), kCaller, kKeep, kNone, {W(0xFFFF012F, 0x012F)}},
    // bridge/test_callsites.asm
    {"TestCallSignExtended", TestTarget("W"), kCaller, kSX, kNone, {W(0xA5A51101, 0x1101)}},
    {"TestCallZeroExtended", TestTarget("W"), kCaller, kZX, kNone, {W(0xA5A51101, 0x1101)}},
    {"TestCallJoined", TestTarget("D"), kCaller, kJoin, kNone, {D(0x89ABCDEF)}},
    {"TestCallKept", TestTarget(""), kCaller, kKeep, kNone, {}},
    {"TestCallEverySlot", TestTarget("PPPPPPWPP"), kCaller, kSX, kNone,
     {P("slot 8"), P("slot 12"), P("slot 16"), P("slot 20"), P("slot 24"), P("slot 28"), W(0x7FFF0042, 0x0042),
      P("slot 36"), P("slot 40")}},
};

// The target's answers in DX:AX and the call site's result for each. The font manager answers
// AX only (DX 0). KEEP has no expected value: see ExpectWidened.
struct Sample {
    uint32_t dx_ax;
    uint32_t expected;
};

const std::vector<Sample>& SamplesOf(Widening widening)
{
    static const std::vector<Sample> kSx = {{0x1234FFFF, 0xFFFFFFFF}, {0x12348000, 0xFFFF8000}, {0x12347FFF, 0x7FFF}};
    static const std::vector<Sample> kZx = {{0x1234FFFF, 0x0000FFFF}, {0x12348000, 0x00008000}};
    static const std::vector<Sample> kJoined = {
        {0xABCD8000, 0xABCD8000}, {0x0000FFFF, 0x0000FFFF}, {0xFFFF1234, 0xFFFF1234}};
    static const std::vector<Sample> kKept = {{0x56781234, 0}, {0x00018000, 0}};
    switch (widening) {
    case Widening::kSX: return kSx;
    case Widening::kZX: return kZx;
    case Widening::kJoin: return kJoined;
    default: return kKept;
    }
}

// KEEP leaves EAX as QT_Thunk left it: AX is the target's, and the upper half holds the junk
// that the machine's QT_Thunk leaves there, which no widening produces: not 0, not AX's sign,
// not the target's DX.
void ExpectWidened(Widening widening, const Sample& sample, uint32_t result)
{
    if (widening != Widening::kKeep) {
        EXPECT_EQ(result, sample.expected);
        return;
    }
    uint32_t high = result >> 16;
    EXPECT_EQ(result & 0xFFFF, sample.dx_ax & 0xFFFF);
    EXPECT_NE(high, 0u) << "zero-extended";
    EXPECT_NE(high, 0xFFFFu) << "sign-extended";
    EXPECT_NE(high, sample.dx_ax >> 16) << "joined with DX";
}

bool IsPointer(char kind) { return kind != 'W' && kind != 'D'; }
bool IsOutput(char kind) { return kind == 'S' || kind == 'Z'; }

// The 32-bit arguments of a line, with the bytes that its pointers address.
struct Arguments {
    explicit Arguments(const std::vector<Arg>& args) : args(args)
    {
        outputs.resize(args.size());
        for (size_t i = 0; i < args.size(); ++i) {
            const Arg& a = args[i];
            if (a.kind == 'P' || a.kind == 'G') {
                buffers.emplace_back(a.bytes, std::strlen(a.bytes) + 1);
                values.push_back((uint32_t)(uintptr_t)buffers.back().data());
            } else if (a.kind == 'R') {
                values.push_back((uint32_t)(uintptr_t)kRect);
            } else if (IsOutput(a.kind)) {
                values.push_back((uint32_t)(uintptr_t)&outputs[i]);
            } else {
                values.push_back(a.value);
            }
        }
        ResetOutputs();
    }

    void ResetOutputs()
    {
        for (size_t i = 0; i < args.size(); ++i)
            if (IsOutput(args[i].kind)) outputs[i] = args[i].value;
    }

    // The bytes that the target must find behind the i-th argument.
    std::vector<uint8_t> Pointee(size_t i) const
    {
        const Arg& a = args[i];
        if (a.kind == 'R') return kRect16;
        const uint8_t* p = (const uint8_t*)(uintptr_t)values[i];
        if (IsOutput(a.kind)) {
            const uint8_t* before = (const uint8_t*)&a.value;
            return std::vector<uint8_t>(before, before + 4);
        }
        return std::vector<uint8_t>(p, p + std::strlen(a.bytes) + 1);
    }

    // The flat pointers released, in order: the frame-slot mappings (P) first, then the general
    // ones (G and output variables). A rectangle's translation is FT_Thunk's own.
    std::vector<uint32_t> Releases() const
    {
        std::vector<uint32_t> slots, general;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i].kind == 'P') slots.push_back(values[i]);
            if (args[i].kind == 'G' || IsOutput(args[i].kind)) general.push_back(values[i]);
        }
        slots.insert(slots.end(), general.begin(), general.end());
        return slots;
    }

    unsigned Mappings() const
    {
        return (unsigned)std::count_if(args.begin(), args.end(), [](const Arg& a) { return IsPointer(a.kind); });
    }

    const std::vector<Arg>& args;
    std::deque<std::string> buffers;
    std::vector<uint32_t> outputs;
    std::vector<uint32_t> values;
};

// A 16-bit target that records its arguments as the font manager does, by its own argument
// list, and answers DX:AX in turn.
struct Recorder {
    const char* kinds = "";
    std::deque<uint32_t> answers;
    std::vector<sim::AtmCall> calls;
};

uint32_t Record(const uint8_t* args, void* context)
{
    Recorder& r = *static_cast<Recorder*>(context);
    r.calls.push_back(sim::DecodeCall("", r.kinds, args));
    uint32_t answer = r.answers.empty() ? 0 : r.answers.front();
    if (!r.answers.empty()) r.answers.pop_front();
    return answer;
}

// ATM's entry points in AtmEntryTable order.
const char* const kEntryNames[kAtmEntryCount] = {
#define ENTRY_NAME(name) #name,
    ATM_ENTRY_POINTS(ENTRY_NAME)
#undef ENTRY_NAME
};

unsigned EntryIndex(const char* atm)
{
    for (unsigned i = 0; i < kAtmEntryCount; ++i)
        if (std::string(kEntryNames[i]) == atm) return i;
    ADD_FAILURE() << "no entry point " << atm;
    return 0;
}

// What the machine has counted so far.
struct Tally {
    unsigned thunks, mappings, calls;
    size_t releases;
};

class CallTableTest : public BoundBridgeTest, public ::testing::WithParamInterface<Line> {
protected:
    void TearDown() override
    {
        if (kernel_slot_) *kernel_slot_ = kernel_entry_;
        if (dll_) Export<int (*)()>(dll_, "QFFinish")();
        sim::RemoveFontManager();
        BoundBridgeTest::TearDown();
    }

    bool Load() { return Export<int (*)()>(dll_, "QFProperlyLoaded")() == 1; }
    int32_t Finish() { return Export<int (*)()>(dll_, "QFFinish")(); }
    AtmEntryTableRecord& Table() { return *Export<AtmEntryTableRecord*>(dll_, "AtmEntryTable"); }

    // Makes the line's target answer `samples` in turn: ATM's entry point in a loaded font
    // manager, or the recording entry in KERNEL's slot or in TestCallTarget.
    void Arrange(const Line& line, const std::vector<Sample>& samples)
    {
        if (line.target.atm) {
            sim::FontManagerSetup setup;
            std::deque<uint16_t>& answers = setup.results[line.target.atm];
            if (std::string(line.target.atm) == "ATMIsUp") answers.push_back(1);  // the load's
            for (const Sample& s : samples) answers.push_back((uint16_t)s.dx_ax);
            fm_ = &sim::InstallFontManager(setup);
            ASSERT_TRUE(Load());
            return;
        }
        recorder_.kinds = line.target.kinds;
        for (const Sample& s : samples) recorder_.answers.push_back(s.dx_ax);
        FarPtr16 entry = sim::MakeEntry16(Record, sim::ArgBytesOf(line.target.kinds), &recorder_);
        if (line.target.kernel) {
            kernel_slot_ = &(Export<ThunkServicesRecord*>(dll_, "ThunkServices")->*line.target.kernel);
            kernel_entry_ = *kernel_slot_;
            *kernel_slot_ = entry;
        } else {
            *Export<uint32_t*>(dll_, "TestCallTarget") = entry;
        }
    }

    unsigned TargetCalls(const Line& line) const
    {
        return line.target.atm ? fm_->CallsOf(line.target.atm) : (unsigned)recorder_.calls.size();
    }

    const sim::AtmCall& LastCall(const Line& line) const
    {
        return line.target.atm ? *fm_->LastCall(line.target.atm) : recorder_.calls.back();
    }

    Tally Count(const Line& line) const
    {
        return {sim::machine().counters.qt_thunk_calls, sim::machine().counters.mappings, TargetCalls(line),
                sim::machine().releases.size()};
    }

    // Calls the line's export; it must remove its arguments as its kind says and keep EBX, ESI
    // and EDI.
    int32_t Call(const Line& line, const Arguments& a)
    {
        CallEffects effects = {};
        void* site = Export<void*>(dll_, line.site);
        int32_t result = CallChecked(site, a.values.data(), (uint32_t)a.values.size(), &effects);
        uint32_t removes = line.crossing == Crossing::kCallerRemoves ? 0 : 4 * (uint32_t)a.values.size();
        EXPECT_EQ(effects.removed, removes) << "bytes of arguments removed";
        EXPECT_EQ(effects.registers_kept, 1u) << "EBX, ESI and EDI kept";
        return result;
    }

    // The call with its entry point unbound: the line's answer, and nothing mapped or called.
    void ExpectNothingCalled(const Line& line, Arguments& a, int32_t answer)
    {
        a.ResetOutputs();
        Tally before = Count(line);
        EXPECT_EQ(Call(line, a), answer);
        Tally after = Count(line);
        EXPECT_EQ(after.thunks, before.thunks) << "no QT_Thunk call";
        EXPECT_EQ(after.calls, before.calls) << "the target not reached";
        EXPECT_EQ(after.mappings, before.mappings) << "nothing mapped";
        EXPECT_EQ(after.releases, before.releases) << "nothing released";
        for (size_t i = 0; i < a.args.size(); ++i)
            if (IsOutput(a.args[i].kind)) {
                EXPECT_EQ(a.outputs[i], a.args[i].value) << "output variable untouched";
            }
    }

    sim::FontManager* fm_ = nullptr;
    Recorder recorder_;
    FarPtr16* kernel_slot_ = nullptr;
    FarPtr16 kernel_entry_ = 0;
};

TEST_P(CallTableTest, TargetSeesTheLinesArgumentsAndItsResultIsWidened)
{
    const Line& line = GetParam();
    const std::vector<Sample>& samples = SamplesOf(line.widening);
    Arrange(line, samples);
    if (HasFatalFailure()) return;
    Arguments a(line.args);
    for (const Sample& s : samples) {
        SCOPED_TRACE(::testing::Message() << "the target answers DX:AX " << std::hex << s.dx_ax);
        a.ResetOutputs();
        Tally before = Count(line);

        ExpectWidened(line.widening, s, (uint32_t)Call(line, a));

        Tally after = Count(line);
        ASSERT_EQ(after.calls, before.calls + 1) << "the target called once";
        EXPECT_EQ(after.thunks - before.thunks, line.crossing == Crossing::kFlat ? 0u : 1u) << "QT_Thunk calls";
        const sim::AtmCall& call = LastCall(line);
        ASSERT_EQ(call.values.size(), line.args.size()) << "the target's argument count";
        unsigned pointer = 0;
        for (size_t i = 0; i < line.args.size(); ++i) {
            const Arg& arg = line.args[i];
            SCOPED_TRACE("argument " + std::to_string(i + 1) + " of kind " + arg.kind);
            if (!IsPointer(arg.kind)) {
                EXPECT_EQ(call.values[i], arg.expected);
                continue;
            }
            ASSERT_LT(pointer, call.pointees.size());
            std::vector<uint8_t> seen = call.pointees[pointer++];
            std::vector<uint8_t> expected = a.Pointee(i);
            seen.resize(std::min(seen.size(), expected.size()));
            EXPECT_NE(call.values[i], 0u);
            EXPECT_NE(call.values[i], a.values[i]) << "a 16:16 pointer, not the flat one";
            EXPECT_EQ(seen, expected) << "the pointer addresses the caller's bytes";
            if (IsOutput(arg.kind)) {
                EXPECT_EQ(a.outputs[i], arg.expected) << "the output variable widened";
            }
        }
        EXPECT_EQ(after.mappings - before.mappings, a.Mappings()) << "one mapping per pointer";
        const std::vector<uint32_t>& releases = sim::machine().releases;
        EXPECT_EQ(std::vector<uint32_t>(releases.begin() + before.releases, releases.end()), a.Releases())
            << "the frame-slot mappings released in order, then the general ones";
        EXPECT_EQ(sim::LiveMappings(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, CallTableTest, ::testing::ValuesIn(kLines),
                         [](const ::testing::TestParamInfo<Line>& info) { return std::string(info.param.site); });

// The lines that test ATM's entry point first: before a load, loaded with the entry point 0,
// and after the finish.
std::vector<Line> TestingLines()
{
    std::vector<Line> lines;
    for (const Line& line : kLines)
        if (line.unbound != Unbound::kNone) lines.push_back(line);
    return lines;
}

class UnboundCallTableTest : public CallTableTest {};

TEST_P(UnboundCallTableTest, AnswersAsTheLineSaysAndCallsNothing)
{
    const Line& line = GetParam();
    bool code = line.unbound == Unbound::kCode;
    Arguments a(line.args);
    fm_ = &sim::InstallFontManager({});

    ExpectNothingCalled(line, a, code ? QF_NOT_LOADED : 0);
    ASSERT_TRUE(Load());
    Table().Entries[EntryIndex(line.target.atm)] = 0;  // a loaded ATM without the entry point
    ExpectNothingCalled(line, a, code ? QF_NOT_AVAILABLE : 0);
    EXPECT_EQ(Finish(), QF_OK);
    ExpectNothingCalled(line, a, code ? QF_NOT_LOADED : 0);
}

INSTANTIATE_TEST_SUITE_P(Lines, UnboundCallTableTest, ::testing::ValuesIn(TestingLines()),
                         [](const ::testing::TestParamInfo<Line>& info) { return std::string(info.param.site); });

}  // namespace

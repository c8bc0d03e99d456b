// Recorded-callback operations on the test machine, end to end through the bridge: 100,000 fonts
// and a 1,000,000-point outline, recorded by the work block's recorders while the font manager
// runs, then replayed to 32-bit callbacks that only count. Prints, per callback, the host
// callbacks made while the font manager was still running (calls into 32-bit code during the
// recording), and what the replay costs: QT_Thunk calls, pointer mappings, 16-bit allocations
// and reallocations between its first and last callback, and its time per byte (first callback
// to return, the RecordBuffer's release included) against memcpy of the same recorded bytes,
// measured in the same run. Asserts nothing.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench.h"
#include "core/machine.h"
#include "fontmgr/fontmgr.h"
#include "kernel16/kernel16.h"
#include "pe/pe.h"
#include "transition/transition.h"

#define STDCALL __attribute__((stdcall))

namespace {

struct Snapshot {
    unsigned qt_thunks, mappings, allocs, reallocs;
    static Snapshot Take()
    {
        const sim::Counters& c = sim::machine().counters;
        return {c.qt_thunk_calls, c.mappings, sim::Heap16Counters().allocs, sim::Heap16Counters().reallocs};
    }
};

// What the callbacks see: the count, the calls made while 16-bit code still ran, and the start
// of the replay (the first callback), where the recorded bytes are also copied for memcpy.
struct Replay {
    const uint8_t* image = nullptr;  // the bridge's WorkBlockImage
    size_t callbacks = 0, during_recording = 0;
    double start = 0;
    Snapshot at_start{}, at_last{};
    std::vector<uint8_t> recorded;
} replay;

uint16_t Word(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }

void StartReplay()
{
    uint16_t data = Word(replay.image);
    const uint8_t* block = (const uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(data, 0));
    uint32_t total;
    std::memcpy(&total, block + 0x10, 4);
    const uint8_t* buffer = (const uint8_t*)(uintptr_t)sim::Linear16(sim::MakeFar(Word(block + 0x14), 0));
    replay.recorded.assign(buffer, buffer + total);
    replay.at_start = Snapshot::Take();
    replay.start = Now();
}

int32_t Count()
{
    if (sim::CallDepth16() != 0) ++replay.during_recording;
    if (replay.callbacks++ == 0) StartReplay();
    replay.at_last = Snapshot::Take();
    return 1;
}

int32_t STDCALL OnFont(const void*, const char*, uint16_t, uint32_t) { return Count(); }
int32_t STDCALL OnPoint(const void*, uint32_t) { return Count(); }
int32_t STDCALL OnCurve(const void*, const void*, const void*, uint32_t) { return Count(); }
int32_t STDCALL OnClose(uint32_t) { return Count(); }

// Copies `bytes` as memcpy does; the best of three runs.
double MemcpySeconds(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> destination(bytes.size());
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        double start = Now();
        std::memcpy(destination.data(), bytes.data(), bytes.size());
        __asm__ volatile("" ::"r"(destination.data()) : "memory");
        double seconds = Now() - start;
        if (seconds < best) best = seconds;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dll = DllUnderTest(argc, argv);
    for (int round = 0; round < 2; ++round) {
        bool outline = round == 1;
        sim::ResetMachine();
        sim::InstallKernel16({0x10F, {}});
        sim::FontManagerSetup setup;
        if (outline) {
            setup.outline.reserve(1000001);
            for (int i = 0; i < 1000000; ++i) setup.outline.push_back({i == 0 ? 1u : 2u, {(uint64_t)i << 32 | (uint32_t)i}});
            setup.outline.push_back({4, {}});
        } else {
            AddNumberedFonts(setup, 100000);
        }
        sim::InstallFontManager(setup);
        sim::PeModule* m = LoadForBench("replay_bench", dll);
        if (m == nullptr) return 1;
        auto fn = [&](const char* name) { return sim::FindPeExport(m, name); };
        if (reinterpret_cast<int (*)()>(fn("QFProperlyLoaded"))() != 1) {
            std::fprintf(stderr, "replay_bench: the bridge did not load\n");
            return 1;
        }
        replay = Replay();
        replay.image = (const uint8_t*)fn("WorkBlockImage");
        char glyph[] = "glyph";

        Snapshot before = Snapshot::Take();
        double start = Now();
        int32_t result;
        if (outline) {
            result = reinterpret_cast<int32_t (*)(uint32_t, uint32_t, void*, void*, void*, void*, void*, uint32_t)>(
                fn("RecordedGetOutline"))(0, 0, glyph, (void*)OnPoint, (void*)OnPoint, (void*)OnCurve, (void*)OnClose, 7);
        } else {
            result = reinterpret_cast<int32_t (*)(uint32_t, void*, uint32_t)>(fn("RecordedEnumFonts"))(0, (void*)OnFont, 7);
        }
        double end = Now();
        Snapshot after = Snapshot::Take();

        double replay_seconds = end - replay.start, recording_seconds = replay.start - start;
        size_t n = replay.callbacks, bytes = replay.recorded.size();
        double copy = MemcpySeconds(replay.recorded);
        const Snapshot first = replay.at_start, last = replay.at_last;
        // The callbacks alone, called as often straight from here: what the replay adds to them.
        int32_t(STDCALL* volatile on_point)(const void*, uint32_t) = OnPoint;
        int32_t(STDCALL* volatile on_font)(const void*, const char*, uint16_t, uint32_t) = OnFont;
        double calls_start = Now();
        for (size_t i = 0; i < n; ++i) {
            if (outline) on_point(glyph, 7);
            else on_font(glyph, glyph, 1, 7);
        }
        double calls = Now() - calls_start;
        std::printf("%s: result %d, %zu callbacks, %zu bytes recorded (%.1f per callback)\n",
                    outline ? "1,000,000-point outline" : "100,000 fonts", result, n, bytes, (double)bytes / n);
        std::printf("  recording: %.2f s to the first callback, %zu host callbacks while the font manager ran, "
                    "%u QT_Thunk calls in all "
                    "(%.6f per callback)\n",
                    recording_seconds, replay.during_recording, after.qt_thunks - before.qt_thunks,
                    (double)(after.qt_thunks - before.qt_thunks) / n);
        std::printf("  replay: %u QT_Thunk calls, %u mappings, %u 16-bit allocations, %u reallocations; "
                    "%.1f ns per callback, against %.1f ns for calling the callback alone\n",
                    last.qt_thunks - first.qt_thunks, last.mappings - first.mappings, last.allocs - first.allocs,
                    last.reallocs - first.reallocs,
                    replay_seconds / n * 1e9, calls / n * 1e9);
        std::printf("  replay %.3f ns/byte, memcpy of the recorded bytes %.3f ns/byte, ratio %.1f\n",
                    replay_seconds / bytes * 1e9, copy / bytes * 1e9, replay_seconds / copy);
        reinterpret_cast<int (*)()>(fn("QFFinish"))();
        sim::UnloadPe(m);
        sim::RemoveFontManager();
        sim::FreeModuleDatabases();
    }
    return 0;
}

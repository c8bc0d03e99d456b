// Recording on the test machine: 100,000 enumeration records and a 1,000,000-point outline
// recorded by the work block's 16-bit recorders as the font manager calls them. Prints records
// per second, reallocations, bytes recorded, and the recording time per byte against a plain
// 16-bit copy of as many bytes measured in the same run. Asserts nothing.
#include <cstdio>
#include <cstring>
#include <string>

#include "bench.h"
#include "core/machine.h"
#include "fontmgr/fontmgr.h"
#include "kernel16/kernel16.h"
#include "pe/pe.h"
#include "transition/transition.h"

extern "C" {
extern const uint8_t copy16_start[];
extern const uint32_t copy16_size;
}

namespace {

using sim::Args16;

uint32_t Call(uint32_t target, const Args16& a) { return sim::CallTo16(target, a); }

uint32_t Peek32(uint16_t selector, uint16_t offset)
{
    uint32_t v;
    std::memcpy(&v, (const void*)(uintptr_t)sim::Linear16(sim::MakeFar(selector, offset)), 4);
    return v;
}

// Times a plain 16-bit copy of `bytes` bytes between two global blocks.
double PlainCopySeconds(uint32_t bytes)
{
    uint32_t copy = sim::LoadCode16(copy16_start, copy16_size);
    uint16_t a = (uint16_t)Call(sim::Kernel16Entry(15), Args16().W(2).D(bytes));
    uint16_t b = (uint16_t)Call(sim::Kernel16Entry(15), Args16().W(2).D(bytes));
    double start = Now();
    Call(copy, Args16().D(sim::MakeFar(a | 1, 0)).D(sim::MakeFar(b | 1, 0)).D(bytes));
    double seconds = Now() - start;
    Call(sim::Kernel16Entry(17), Args16().W(a));
    Call(sim::Kernel16Entry(17), Args16().W(b));
    sim::FreeCode16(copy);
    return seconds;
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
        if (outline) setup.outline.assign(1000000, sim::OutlineStep{1, {0x0001000200030004ull}});
        else AddNumberedFonts(setup, 100000);
        sim::FontManager& fm = sim::InstallFontManager(setup);
        sim::PeModule* m = LoadForBench("record_bench", dll);
        if (m == nullptr) return 1;
        auto fn = [&](const char* name) { return sim::FindPeExport(m, name); };
        reinterpret_cast<int (*)()>(fn("BindThunkServices"))();
        reinterpret_cast<int (*)(uint32_t)>(fn("BuildWorkBlock"))(sim::MakeFar(fm.code_selector, fm.isup_offset));
        reinterpret_cast<uint32_t (*)()>(fn("AllocRecordBuffer"))();
        const uint8_t* image = (const uint8_t*)fn("WorkBlockImage");
        uint16_t data, code;
        std::memcpy(&data, image, 2);
        std::memcpy(&code, image + 2, 2);

        unsigned reallocs = sim::Heap16Counters().reallocs;
        double start = Now();
        if (outline) {
            // one-point records through OutlineRecorder3 as the first procedure
            Call(fm.entries["ATMGetOutline"], Args16().W(0).W(0).D(0).D(sim::MakeFar(code, 0x1A0))
                     .D(sim::MakeFar(code, 0x1E0)).D(sim::MakeFar(code, 0x148)).D(sim::MakeFar(code, 0x118)).D(0));
        } else {
            Call(fm.entries["ATMEnumFonts"], Args16().W(0).D(sim::MakeFar(code, 0x80)).D(0));
        }
        double seconds = Now() - start;
        uint32_t bytes = Peek32(data, 0x10);
        size_t records = fm.callback_results.size();
        double copy = PlainCopySeconds(bytes);
        std::printf("%-22s %8zu records  %10.0f records/s  %4u reallocations  %9u bytes  "
                    "%7.2f ns/byte recording, %6.3f ns/byte plain copy, ratio %.0f\n",
                    outline ? "1,000,000-point outline" : "100,000 fonts", records, records / seconds,
                    sim::Heap16Counters().reallocs - reallocs, bytes, seconds / bytes * 1e9, copy / bytes * 1e9,
                    seconds / copy);
        reinterpret_cast<void (*)()>(fn("ReleaseRecordBuffer"))();
        sim::UnloadPe(m);
        sim::RemoveFontManager();
        sim::FreeModuleDatabases();
    }
    return 0;
}

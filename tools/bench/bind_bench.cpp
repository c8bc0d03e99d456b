// Costs of binding the thunk service table on the test machine: descriptor queries, memory reads
// and elapsed time of a first bind with KERNEL at 0x10F, at the scan's last selector and absent,
// and of a later bind. Prints figures; asserts nothing.
#include <cstdio>
#include <string>

#include "bench.h"
#include "core/machine.h"
#include "kernel16/kernel16.h"
#include "pe/pe.h"

namespace {

void Report(const char* what, double seconds, const sim::Counters& before, int result)
{
    const sim::Counters& c = sim::machine().counters;
    std::printf("%-28s result %d  descriptor queries %5u  memory reads %5u  name lookups %3u  %9.1f us\n", what,
                result, c.descriptor_queries - before.descriptor_queries, c.memory_reads - before.memory_reads,
                c.module_lookups + c.proc_lookups - before.module_lookups - before.proc_lookups, seconds * 1e6);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dll = DllUnderTest(argc, argv);
    struct Case {
        const char* name;
        uint16_t kernel;
    } cases[] = {{"first bind, KERNEL at 0x10F", 0x10F}, {"first bind, KERNEL at 0xFFF", 0xFFF},
                 {"first bind, KERNEL absent", 0}};
    for (const Case& c : cases) {
        sim::ResetMachine();
        if (c.kernel) sim::InstallKernel16({c.kernel, {}});
        sim::PeModule* m = LoadForBench("bind_bench", dll);
        if (m == nullptr) return 1;
        auto bind = reinterpret_cast<int (*)()>(sim::FindPeExport(m, "BindThunkServices"));
        sim::Counters before = sim::machine().counters;
        double start = Now();
        int result = bind();
        Report(c.name, Now() - start, before, result);
        if (result) {
            before = sim::machine().counters;
            start = Now();
            result = bind();
            Report("  later bind", Now() - start, before, result);
        }
        sim::UnloadPe(m);
        sim::FreeModuleDatabases();
    }
    return 0;
}

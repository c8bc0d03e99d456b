#include "machine.h"

#include <cstdarg>
#include <cstdio>

#include "exports.h"
#include "fault.h"
#include "ldt.h"
#include "../kernel16/kernel16.h"
#include "../transition/transition.h"

namespace sim {

Machine& machine()
{
    static Machine m;
    return m;
}

void Boot()
{
    InstallFaultHandling();
    InitTransitions();
}

void ResetMachine()
{
    Boot();
    machine() = Machine();
    FreeEntries16();
    ResetSelectorOrder();
    Heap16Faults() = HeapFaults();
    Heap16Counters() = HeapCounters();
    CurrentTib()->ExceptionList = win32::kChainEnd;
}

void Violation(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    machine().violations.push_back(text);
    std::fprintf(stderr, "sim: contract violation: %s\n", text);
}

}  // namespace sim

// Processor exceptions as Windows exceptions: a fault or trap (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGTRAP) is turned into the EXCEPTION_RECORD and CONTEXT that Windows gives for the same event
// and dispatched along the FS:[0] chain of the thread's TIB. A handler that answers
// ExceptionContinueExecution resumes with the CONTEXT it leaves.
//
// Like Windows, the dispatcher takes a registration record only when it lies on the thread's
// stack (TIB StackLimit..StackBase), aligned, above the record before it; a chain that breaks
// this, like an exception that no handler resumes, ends the run (kUnhandledFaultExit). A fault
// while a handler runs ends it too (kDispatchFaultExit). Either way the message names the
// exception, its address and what went wrong. The machine's own failures, a C++ exception that
// nothing caught (none can cross the program's frames) or an abort, end the run with a message
// as well (kMachineFailureExit).
#pragma once
#include <cstddef>
#include <cstdint>

#include "win32.h"

namespace sim {

constexpr int kUnhandledFaultExit = 99;
constexpr int kDispatchFaultExit = 98;
constexpr int kMachineFailureExit = 97;

void InstallFaultHandling();
win32::Tib* CurrentTib();
uint16_t TibSelector();
uint16_t HostGs();

// Copies n bytes; false when a byte of the source cannot be read. Never faults.
bool CopyGuarded(void* dst, const void* src, size_t n);

}  // namespace sim

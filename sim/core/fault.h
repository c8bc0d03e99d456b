// Processor faults as Windows exceptions: a fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE) is turned into
// an EXCEPTION_RECORD and a CONTEXT and dispatched along the FS:[0] chain of the thread's TIB.
// A handler that answers ExceptionContinueExecution resumes with the CONTEXT it leaves.
#pragma once
#include <cstddef>
#include <cstdint>

#include "win32.h"

namespace sim {

constexpr int kUnhandledFaultExit = 99;

void InstallFaultHandling();
win32::Tib* CurrentTib();
uint16_t TibSelector();
uint16_t HostGs();

// Copies n bytes; false when a byte of the source cannot be read. Never faults.
bool CopyGuarded(void* dst, const void* src, size_t n);

}  // namespace sim

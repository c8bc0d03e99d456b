// KERNEL32: the process and its thread, descriptors and memory reads.
#include <cstring>

#include "../core/exports.h"
#include "../core/fault.h"
#include "../core/ldt.h"
#include "../core/machine.h"
#include "../pe/pe.h"

using namespace sim;
using win32::BOOL;
using win32::DWORD;
using win32::HANDLE;

namespace {

HANDLE WINAPI GetCurrentProcess() { return win32::CurrentProcess(); }
SIM_EXPORT("KERNEL32", GetCurrentProcess);

HANDLE WINAPI GetCurrentThread() { return win32::CurrentThread(); }
SIM_EXPORT("KERNEL32", GetCurrentThread);

[[noreturn]] void WINAPI ExitProcess(DWORD code) { ExitRunningProgram(code); }
SIM_EXPORT("KERNEL32", ExitProcess);

// GetThreadSelectorEntry: the descriptor from the thread's LDT; FALSE for an empty slot.
BOOL WINAPI GetThreadSelectorEntry(HANDLE thread, DWORD selector, win32::LdtEntry* entry)
{
    ++machine().counters.descriptor_queries;
    machine().queried_selectors.push_back((uint16_t)selector);
    if (thread != win32::CurrentThread()) {
        Violation("GetThreadSelectorEntry for a thread handle other than the current thread's");
        return 0;
    }
    win32::LdtEntry found;
    if (!PhantomDescriptor((uint16_t)selector, &found) && !ReadDescriptor((uint16_t)selector, &found)) return 0;
    *entry = found;
    return win32::kTrue;
}
SIM_EXPORT("KERNEL32", GetThreadSelectorEntry);

// ReadProcessMemory on the current process. Never faults: a source that is unmapped, or only
// partly mapped, makes it return FALSE.
BOOL WINAPI ReadProcessMemory(HANDLE process, const void* base, void* buffer, DWORD size, DWORD* read)
{
    ++machine().counters.memory_reads;
    if (process != win32::CurrentProcess()) {
        Violation("ReadProcessMemory for a process other than the current one");
        return 0;
    }
    bool ok = CopyGuarded(buffer, base, size);
    if (read) *read = ok ? size : 0;
    return ok ? win32::kTrue : 0;
}
SIM_EXPORT("KERNEL32", ReadProcessMemory);

}  // namespace

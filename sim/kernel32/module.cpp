// KERNEL32: module handles and exported addresses.
#include <cstring>

#include "../core/exports.h"
#include "../core/machine.h"
#include "../pe/pe.h"

using namespace sim;
using win32::DWORD;

namespace {

// GetModuleHandleA: a machine DLL ("KERNEL32", any letter case, ".dll" optional) or a loaded PE
// module; null names the running program.
uint32_t WINAPI GetModuleHandleA(const char* name)
{
    ++machine().counters.module_lookups;
    if (name == nullptr) return machine().main_module;
    if (machine().hidden_modules.count(CanonicalDllName(name))) return 0;
    if (uint32_t h = MachineModuleHandle(name)) return h;
    PeModule* m = FindLoadedModule(name);
    return m ? m->handle() : 0;
}
SIM_EXPORT("KERNEL32", GetModuleHandleA);

// GetProcAddress: by name, or by ordinal when the high word of `name` is zero.
void* WINAPI GetProcAddress(uint32_t module, const char* name)
{
    ++machine().counters.proc_lookups;
    uintptr_t value = (uintptr_t)name;
    if (const char* dll = MachineDllOfHandle(module))
        return value >> 16 ? FindMachineExport(dll, name) : FindMachineExportByOrdinal(dll, (unsigned)value);
    PeModule* m = ModuleOfHandle(module);
    if (m == nullptr) return nullptr;
    if (value >> 16 == 0) return FindPeExportByOrdinal(m, (unsigned)value);
    return machine().hidden_exports.count(name) ? nullptr : FindPeExport(m, name);
}
SIM_EXPORT("KERNEL32", GetProcAddress);

}  // namespace

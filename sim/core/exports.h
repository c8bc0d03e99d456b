// The machine's own DLLs (KERNEL32, SHELL32, ...) and their export tables. Each platform function
// registers itself beside its body:
//
//     SIM_EXPORT("KERNEL32", GetStdHandle);
//
// Ordinals are given by the names' alphabetical order within a DLL, starting at 1.
#pragma once
#include <cstdint>
#include <string>

namespace sim {

struct ExportRegistration {
    ExportRegistration(const char* dll, const char* name, void* address);
};

#define SIM_EXPORT(dll, fn) \
    static const ::sim::ExportRegistration sim_export_##fn(dll, #fn, reinterpret_cast<void*>(&fn))

// "KERNEL32", "kernel32.dll", ... name the same DLL.
std::string CanonicalDllName(const char* name);
bool IsMachineDll(const char* dll);
// The pseudo module handle of a machine DLL; 0 when there is no such DLL.
uint32_t MachineModuleHandle(const char* dll);
// The DLL name of a machine module handle; null for any other value.
const char* MachineDllOfHandle(uint32_t handle);
// Export addresses; null when absent or hidden (Machine::hidden_exports).
void* FindMachineExport(const char* dll, const char* name);
void* FindMachineExportByOrdinal(const char* dll, unsigned ordinal);

}  // namespace sim

// Loads PE32 i386 DLLs and programs into the test machine: maps the sections with their
// protections, applies base relocations, binds imports against the machine's DLLs (or DLLs found
// beside the importing file) and runs DllMain or the program's entry point.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "pe_format.h"

namespace sim {

struct PeImport {
    std::string dll;
    std::string name;      // empty for an import by ordinal
    unsigned ordinal = 0;
    uint32_t slot_rva = 0; // its import-address-table slot
};

struct PeExport {
    unsigned ordinal = 0;
    std::string name;      // empty for an export by ordinal only
};

struct PeModule {
    std::string path;
    std::string name;        // the file name, e.g. "QF-ATM.dll"
    uint8_t* base = nullptr; // where the image lies; its module handle
    uint32_t image_size = 0;
    uint32_t preferred_base = 0;
    const pe::NtHeaders* nt = nullptr;
    bool is_dll = false;
    std::vector<PeImport> imports;
    std::vector<PeModule*> dependencies;  // DLLs that this load brought in

    uint32_t handle() const { return (uint32_t)(uintptr_t)base; }
    template <typename T> T* at(uint32_t rva) const { return reinterpret_cast<T*>(base + rva); }
};

struct LoadOptions {
    bool avoid_preferred_base = false;  // map elsewhere, so that relocations must be applied
    bool call_dll_main = true;
};

// The loaded module, or null with `error` naming the file and the fault.
PeModule* LoadPe(const std::string& path, std::string* error, const LoadOptions& options = {});
// Releases the mapping and every DLL that the load brought in.
void UnloadPe(PeModule* module);
PeModule* FindLoadedModule(const char* name);  // by file name, case-insensitive, ".dll" optional
PeModule* ModuleOfHandle(uint32_t handle);
unsigned LivePeMappings();

void* FindPeExport(const PeModule* module, const char* name);
std::vector<PeExport> ListExports(const PeModule* module);
const char* PeModuleName(const PeModule* module);  // the export directory's name, if any
void* FindPeExportByOrdinal(const PeModule* module, unsigned ordinal);

// Runs a program's entry point until it returns or calls ExitProcess; its exit code.
uint32_t RunProgram(PeModule* program);
// ExitProcess: leaves the running program.
[[noreturn]] void ExitRunningProgram(uint32_t code);

}  // namespace sim

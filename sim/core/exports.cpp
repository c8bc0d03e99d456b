#include "exports.h"


#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

#include "machine.h"

namespace sim {
namespace {

struct Entry {
    std::string name;
    void* address;
};

struct Dll {
    std::vector<Entry> entries;  // sorted by name once the first lookup comes
    bool sorted = false;
    char handle_marker = 0;      // its address is the DLL's module handle
};

std::map<std::string, Dll>& Dlls()
{
    static std::map<std::string, Dll> dlls;
    return dlls;
}

Dll* Find(const char* name)
{
    if (name == nullptr) return nullptr;
    auto it = Dlls().find(CanonicalDllName(name));
    if (it == Dlls().end()) return nullptr;
    Dll& dll = it->second;
    if (!dll.sorted) {
        std::sort(dll.entries.begin(), dll.entries.end(),
                  [](const Entry& a, const Entry& b) { return a.name < b.name; });
        dll.sorted = true;
    }
    return &dll;
}

bool Hidden(const std::string& name) { return machine().hidden_exports.count(name) != 0; }

}  // namespace

ExportRegistration::ExportRegistration(const char* dll, const char* name, void* address)
{
    Dll& d = Dlls()[CanonicalDllName(dll)];
    d.entries.push_back({name, address});
    d.sorted = false;
}

std::string CanonicalDllName(const char* name)
{
    std::string s(name);
    for (char& c : s) c = (char)std::toupper((unsigned char)c);
    if (s.size() > 4 && s.compare(s.size() - 4, 4, ".DLL") == 0) s.resize(s.size() - 4);
    return s;
}

bool IsMachineDll(const char* dll) { return Find(dll) != nullptr; }

uint32_t MachineModuleHandle(const char* dll)
{
    Dll* d = Find(dll);
    return d ? (uint32_t)(uintptr_t)&d->handle_marker : 0;
}

const char* MachineDllOfHandle(uint32_t handle)
{
    for (auto& [name, dll] : Dlls())
        if ((uint32_t)(uintptr_t)&dll.handle_marker == handle) return name.c_str();
    return nullptr;
}

void* FindMachineExport(const char* dll, const char* name)
{
    Dll* d = Find(dll);
    if (d == nullptr || name == nullptr) return nullptr;
    auto it = std::lower_bound(d->entries.begin(), d->entries.end(), name,
                               [](const Entry& e, const char* n) { return e.name < n; });
    if (it == d->entries.end() || it->name != name || Hidden(it->name)) return nullptr;
    return it->address;
}

void* FindMachineExportByOrdinal(const char* dll, unsigned ordinal)
{
    Dll* d = Find(dll);
    if (d == nullptr || ordinal == 0 || ordinal > d->entries.size()) return nullptr;
    const Entry& e = d->entries[ordinal - 1];
    return Hidden(e.name) ? nullptr : e.address;
}

}  // namespace sim

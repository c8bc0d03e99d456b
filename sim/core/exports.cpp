#include "exports.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <vector>

#include "machine.h"

namespace sim {
namespace {

struct Entry {
    std::string name;
    void* body;
    void* address = nullptr;  // what the DLL exports: a jump to the body in the system arena
};

struct Dll {
    std::vector<Entry> entries;  // sorted by name when the arena is laid out
    uint32_t handle = 0;         // the DLL's module handle, in the system arena
};

std::map<std::string, Dll>& Dlls()
{
    static std::map<std::string, Dll> dlls;
    return dlls;
}

// Windows 95 maps its system DLLs into the shared arena above 0x80000000 (KERNEL32 at
// 0xBFF70000), so their module handles and export addresses have the top bit set. The machine's
// DLLs get the same: KERNEL32's handle is 0xBFF70000, the others follow, and each export is a
// 5-byte jump there to the machine's body. Laid out once, when the first lookup comes (every
// registration has run by then).
constexpr uint32_t kArena = 0xBFF70000;
constexpr uint32_t kHandleSpan = 16;  // a DLL's handle, then its exports' jumps
constexpr uint32_t kJumpSize = 8;

void LayOutArena()
{
    static bool laid_out = false;
    if (laid_out) return;
    laid_out = true;
    std::vector<Dll*> order;  // KERNEL32 first, at the arena's base
    for (auto& [name, dll] : Dlls()) {
        std::sort(dll.entries.begin(), dll.entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        if (name == "KERNEL32") order.insert(order.begin(), &dll);
        else order.push_back(&dll);
    }
    uint32_t size = 0;
    for (Dll* d : order) size += kHandleSpan + kJumpSize * (uint32_t)d->entries.size();
    size = (size + 0xFFF) & ~0xFFFu;
    void* want = (void*)(uintptr_t)kArena;
    void* got = mmap(want, size, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                     -1, 0);
    if (got != want) {
        if (got != MAP_FAILED) munmap(got, size);
        Violation("the system arena at 0x%08X cannot be mapped", kArena);
        for (Dll* d : order) {
            d->handle = (uint32_t)(uintptr_t)d;
            for (Entry& e : d->entries) e.address = e.body;
        }
        return;
    }
    uint8_t* at = (uint8_t*)got;
    for (Dll* d : order) {
        d->handle = (uint32_t)(uintptr_t)at;
        at += kHandleSpan;
        for (Entry& e : d->entries) {
            int32_t rel = (int32_t)((uint32_t)(uintptr_t)e.body - ((uint32_t)(uintptr_t)at + 5));
            at[0] = 0xE9;  // jmp rel32
            std::memcpy(at + 1, &rel, 4);
            e.address = at;
            at += kJumpSize;
        }
    }
}

Dll* Find(const char* name)
{
    if (name == nullptr) return nullptr;
    LayOutArena();
    auto it = Dlls().find(CanonicalDllName(name));
    return it == Dlls().end() ? nullptr : &it->second;
}

bool Hidden(const std::string& name) { return machine().hidden_exports.count(name) != 0; }

}  // namespace

ExportRegistration::ExportRegistration(const char* dll, const char* name, void* address)
{
    Dlls()[CanonicalDllName(dll)].entries.push_back({name, address});
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
    return d ? d->handle : 0;
}

const char* MachineDllOfHandle(uint32_t handle)
{
    LayOutArena();
    for (auto& [name, dll] : Dlls())
        if (dll.handle == handle) return name.c_str();
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

#include "pe.h"

#include <fcntl.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../core/exports.h"
#include "../core/fault.h"
#include "../core/machine.h"

namespace sim {
namespace {

using namespace pe;

constexpr uint32_t kPage = 4096;
constexpr uint32_t kMaxImage = 0x10000000;
std::vector<PeModule*> loaded;
unsigned live_mappings = 0;

struct Program {
    jmp_buf exit;
    uint32_t code;
    bool running;
} program;

uint32_t RoundUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool Fail(std::string* error, const std::string& path, const std::string& fault)
{
    if (error) *error = path + ": " + fault;
    return false;
}

std::string Hex(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

std::string SectionName(const SectionHeader& s) { return std::string(s.Name, strnlen(s.Name, 8)); }

// Checks the headers of the file image; on success `nt` and `sections` point into `file`.
bool Validate(const std::string& path, const std::vector<uint8_t>& file, const NtHeaders** nt_out,
              const SectionHeader** sections_out, std::string* error)
{
    const uint32_t size = (uint32_t)file.size();
    if (size < sizeof(DosHeader)) return Fail(error, path, "truncated: no room for an MZ header");
    const auto* dos = (const DosHeader*)file.data();
    if (dos->e_magic != kMzMagic) return Fail(error, path, "bad MZ magic");
    const uint32_t nt_end_min = offsetof(NtHeaders, Optional);
    if (dos->e_lfanew > size || size - dos->e_lfanew < nt_end_min)
        return Fail(error, path, "truncated: the PE header lies beyond the end of the file");
    const auto* nt = (const NtHeaders*)(file.data() + dos->e_lfanew);
    if (nt->Signature != kPeSignature) return Fail(error, path, "bad PE magic");
    if (nt->File.Machine != kMachineI386)
        return Fail(error, path, "machine " + Hex(nt->File.Machine) + " is not i386 (0x14C)");
    uint64_t optional_end = (uint64_t)dos->e_lfanew + nt_end_min + nt->File.SizeOfOptionalHeader;
    if (nt->File.SizeOfOptionalHeader < sizeof(OptionalHeader32) - sizeof(nt->Optional.Directories) ||
        optional_end > size)
        return Fail(error, path, "truncated: the optional header lies beyond the end of the file");
    if (nt->Optional.Magic != kOptionalMagicPe32) return Fail(error, path, "not a PE32 image");
    if (nt->Optional.NumberOfRvaAndSizes < 16 || nt->File.SizeOfOptionalHeader < sizeof(OptionalHeader32))
        return Fail(error, path, "the optional header lacks data directories");
    uint64_t sections_end = optional_end + (uint64_t)nt->File.NumberOfSections * sizeof(SectionHeader);
    if (sections_end > size) return Fail(error, path, "truncated: the section table lies beyond the end of the file");
    const uint32_t image = nt->Optional.SizeOfImage;
    if (image == 0 || image > kMaxImage || nt->Optional.SizeOfHeaders > image || nt->Optional.SizeOfHeaders > size)
        return Fail(error, path, "bad image size");
    if (sections_end > nt->Optional.SizeOfHeaders)
        return Fail(error, path, "the headers and the section table lie beyond SizeOfHeaders");
    const auto* sections = (const SectionHeader*)(file.data() + optional_end);
    for (unsigned i = 0; i < nt->File.NumberOfSections; ++i) {
        const SectionHeader& s = sections[i];
        if ((uint64_t)s.PointerToRawData + s.SizeOfRawData > size)
            return Fail(error, path, "section " + SectionName(s) + " lies outside the file");
        uint32_t extent = std::max(s.VirtualSize, s.SizeOfRawData);
        if ((uint64_t)s.VirtualAddress + extent > RoundUp(image, kPage) ||
            s.VirtualAddress < nt->Optional.SizeOfHeaders)
            return Fail(error, path, "section " + SectionName(s) + " lies outside the image");
    }
    for (unsigned d : {kExportDir, kImportDir, kRelocDir}) {
        const DataDirectory& dir = nt->Optional.Directories[d];
        if ((uint64_t)dir.VirtualAddress + dir.Size > image)
            return Fail(error, path, "data directory " + std::to_string(d) + " lies outside the image");
    }
    if (nt->Optional.Directories[kTlsDir].Size != 0)
        return Fail(error, path, "thread-local storage is not supported");
    *nt_out = nt;
    *sections_out = sections;
    return true;
}

// The whole of a regular file no larger than the largest image.
bool ReadImageFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail(error, path, std::string("cannot open the file: ") + std::strerror(errno));
    struct stat st;
    const char* problem = nullptr;
    if (fstat(fd, &st) != 0) problem = "cannot read the file";
    else if (S_ISDIR(st.st_mode)) problem = "is a folder, not a file";
    else if (!S_ISREG(st.st_mode)) problem = "is not a regular file";
    else if ((uint64_t)st.st_size > kMaxImage) problem = "is too large for an image";
    if (problem == nullptr) {
        bytes->resize((size_t)st.st_size);
        size_t got = 0;
        while (got < bytes->size()) {
            ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += (size_t)n;
        }
        if (got != bytes->size()) problem = "cannot read the file";
    }
    close(fd);
    return problem ? Fail(error, path, problem) : true;
}

uint8_t* MapImage(uint32_t preferred, uint32_t size, bool avoid_preferred)
{
    void* want = avoid_preferred ? nullptr : (void*)(uintptr_t)preferred;
    void* at = mmap(want, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    if (avoid_preferred && (uintptr_t)at == preferred) {
        uint8_t* again = MapImage(preferred, size, true);
        munmap(at, size);
        return again;
    }
    return (uint8_t*)at;
}

bool Relocate(PeModule* m, std::string* error)
{
    const uint32_t delta = m->handle() - m->preferred_base;
    if (delta == 0) return true;
    const DataDirectory& dir = m->nt->Optional.Directories[kRelocDir];
    if ((m->nt->File.Characteristics & kFileRelocsStripped) || dir.Size == 0)
        return Fail(error, m->path, "cannot load away from its preferred base: it has no relocations");
    for (uint32_t off = 0; off + sizeof(RelocBlock) <= dir.Size;) {
        const auto* block = m->at<RelocBlock>(dir.VirtualAddress + off);
        if (block->SizeOfBlock < sizeof(RelocBlock) || off + block->SizeOfBlock > dir.Size)
            return Fail(error, m->path, "bad relocation block");
        const auto* items = (const uint16_t*)(block + 1);
        unsigned count = (block->SizeOfBlock - sizeof(RelocBlock)) / 2;
        for (unsigned i = 0; i < count; ++i) {
            unsigned type = items[i] >> 12;
            uint64_t rva = (uint64_t)block->VirtualAddress + (items[i] & 0xFFF);
            if (type == kRelAbsolute) continue;
            if (type != kRelHighLow) return Fail(error, m->path, "unsupported relocation type " + std::to_string(type));
            if (rva + 4 > m->image_size) return Fail(error, m->path, "a relocation lies outside the image");
            *m->at<uint32_t>((uint32_t)rva) += delta;
        }
        off += block->SizeOfBlock;
    }
    return true;
}

bool InImage(const PeModule* m, uint32_t rva) { return rva != 0 && rva < m->image_size; }

// Reads the import table into m->imports, checking every reference against the image.
bool ReadImports(PeModule* m, std::string* error)
{
    const DataDirectory& dir = m->nt->Optional.Directories[kImportDir];
    if (dir.Size == 0) return true;
    for (uint32_t off = dir.VirtualAddress; off + sizeof(ImportDescriptor) <= m->image_size;
         off += sizeof(ImportDescriptor)) {
        const auto* desc = m->at<ImportDescriptor>(off);
        if (desc->Name == 0 && desc->FirstThunk == 0) return true;
        if (!InImage(m, desc->Name) || !InImage(m, desc->FirstThunk))
            return Fail(error, m->path, "bad import descriptor");
        const char* dll = m->at<const char>(desc->Name);
        uint32_t lookup = desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk;
        for (uint32_t i = 0;; ++i) {
            PeImport import;
            import.dll = std::string(dll, strnlen(dll, m->image_size - desc->Name));
            uint64_t slot_rva = (uint64_t)desc->FirstThunk + 4 * i, entry_rva = (uint64_t)lookup + 4 * i;
            if (entry_rva + 4 > m->image_size || slot_rva + 4 > m->image_size)
                return Fail(error, m->path, "bad import table");
            import.slot_rva = (uint32_t)slot_rva;
            uint32_t entry = *m->at<uint32_t>((uint32_t)entry_rva);
            if (entry == 0) break;
            if (entry & kOrdinalFlag) {
                import.ordinal = entry & 0xFFFF;
            } else {
                if (!InImage(m, entry + 2)) return Fail(error, m->path, "bad import name");
                const char* name = m->at<const char>(entry + 2);
                import.name = std::string(name, strnlen(name, m->image_size - entry - 2));
            }
            m->imports.push_back(import);
        }
    }
    return Fail(error, m->path, "the import table has no end");
}

// The module that provides `dll` when it is not one of the machine's: loaded already, or found
// beside the importing file and loaded now. Whatever lies there under that name must load as a
// DLL; a folder, say, fails the import.
bool FindProvider(PeModule* m, const std::string& dll, PeModule** provider, std::string* error)
{
    *provider = FindLoadedModule(dll.c_str());
    std::string beside = DirName(m->path) + "/" + dll;
    struct stat st;
    if (*provider == nullptr && stat(beside.c_str(), &st) == 0) {
        std::string inner;
        *provider = LoadPe(beside, &inner);
        if (*provider == nullptr) return Fail(error, m->path, "cannot load '" + dll + "': " + inner);
        m->dependencies.push_back(*provider);
    }
    return true;
}

bool BindImports(PeModule* m, std::string* error)
{
    for (const PeImport& import : m->imports) {
        std::string what = import.name.empty() ? "ordinal " + std::to_string(import.ordinal) : import.name;
        void* address = nullptr;
        if (IsMachineDll(import.dll.c_str())) {
            address = import.name.empty() ? FindMachineExportByOrdinal(import.dll.c_str(), import.ordinal)
                                          : FindMachineExport(import.dll.c_str(), import.name.c_str());
        } else {
            PeModule* provider;
            if (!FindProvider(m, import.dll, &provider, error)) return false;
            if (provider == nullptr)
                return Fail(error, m->path, "imports " + what + " from '" + import.dll + "', a DLL that this machine does not have");
            address = import.name.empty() ? FindPeExportByOrdinal(provider, import.ordinal)
                                          : FindPeExport(provider, import.name.c_str());
        }
        if (address == nullptr)
            return Fail(error, m->path, "imports " + what + " from '" + import.dll + "', which does not export it");
        *m->at<uint32_t>(import.slot_rva) = (uint32_t)(uintptr_t)address;
    }
    return true;
}

void Protect(PeModule* m, const SectionHeader* sections)
{
    if (m->nt->Optional.SectionAlignment < kPage) return;  // sections share pages: leave all writable
    mprotect(m->base, RoundUp(m->nt->Optional.SizeOfHeaders, kPage), PROT_READ);
    for (unsigned i = 0; i < m->nt->File.NumberOfSections; ++i) {
        const SectionHeader& s = sections[i];
        int prot = 0;
        if (s.Characteristics & kSectionRead) prot |= PROT_READ;
        if (s.Characteristics & kSectionWrite) prot |= PROT_WRITE;
        if (s.Characteristics & kSectionExecute) prot |= PROT_EXEC | PROT_READ;
        uint32_t extent = RoundUp(std::max(s.VirtualSize, s.SizeOfRawData), kPage);
        if (extent) mprotect(m->base + s.VirtualAddress, extent, prot);
    }
}

void Release(PeModule* m)
{
    loaded.erase(std::remove(loaded.begin(), loaded.end(), m), loaded.end());
    if (m->base) {
        munmap(m->base, RoundUp(m->image_size, kPage));
        --live_mappings;
    }
    for (PeModule* dep : m->dependencies) UnloadPe(dep);
    delete m;
}

bool Within(const PeModule* m, uint32_t rva, uint64_t size) { return (uint64_t)rva + size <= m->image_size; }

// The export directory when it and the tables it names lie inside the image; null otherwise.
const ExportDirectory* Exports(const PeModule* m)
{
    const DataDirectory& dir = m->nt->Optional.Directories[kExportDir];
    if (dir.Size == 0 || !Within(m, dir.VirtualAddress, sizeof(ExportDirectory))) return nullptr;
    const auto* exp = m->at<const ExportDirectory>(dir.VirtualAddress);
    if (!Within(m, exp->AddressOfFunctions, 4ull * exp->NumberOfFunctions) ||
        !Within(m, exp->AddressOfNames, 4ull * exp->NumberOfNames) ||
        !Within(m, exp->AddressOfNameOrdinals, 2ull * exp->NumberOfNames))
        return nullptr;
    return exp;
}

// A name inside the image, or "" when it would run past the image's end.
const char* NameAt(const PeModule* m, uint32_t rva)
{
    if (rva >= m->image_size) return "";
    const char* name = m->at<const char>(rva);
    return std::memchr(name, 0, m->image_size - rva) ? name : "";
}

typedef int(WINAPI* DllEntry)(uint32_t, uint32_t, void*);
typedef uint32_t (*ProgramEntry)();

}  // namespace

PeModule* LoadPe(const std::string& path, std::string* error, const LoadOptions& options)
{
    std::vector<uint8_t> file;
    if (!ReadImageFile(path, &file, error)) return nullptr;
    const NtHeaders* nt = nullptr;
    const SectionHeader* sections = nullptr;
    if (!Validate(path, file, &nt, &sections, error)) return nullptr;

    auto* m = new PeModule;
    m->path = path;
    m->name = BaseName(path);
    m->preferred_base = nt->Optional.ImageBase;
    m->image_size = nt->Optional.SizeOfImage;
    m->is_dll = (nt->File.Characteristics & kFileDll) != 0;
    m->base = MapImage(m->preferred_base, RoundUp(m->image_size, kPage), options.avoid_preferred_base);
    if (m->base == nullptr) {
        delete m;
        return Fail(error, path, "no memory for the image"), nullptr;
    }
    ++live_mappings;
    loaded.push_back(m);
    std::memcpy(m->base, file.data(), nt->Optional.SizeOfHeaders);
    for (unsigned i = 0; i < nt->File.NumberOfSections; ++i) {
        const SectionHeader& s = sections[i];
        uint32_t raw = s.VirtualSize ? std::min(s.SizeOfRawData, s.VirtualSize) : s.SizeOfRawData;
        std::memcpy(m->base + s.VirtualAddress, file.data() + s.PointerToRawData, raw);
    }
    m->nt = m->at<const NtHeaders>(((const DosHeader*)file.data())->e_lfanew);
    const SectionHeader* mapped_sections =
        (const SectionHeader*)((const uint8_t*)&m->nt->Optional + m->nt->File.SizeOfOptionalHeader);
    if (m->nt->Optional.Directories[kExportDir].Size != 0 && Exports(m) == nullptr) {
        Release(m);
        return Fail(error, path, "the export directory lies outside the image"), nullptr;
    }
    if (!Relocate(m, error) || !ReadImports(m, error) || !BindImports(m, error)) {
        Release(m);
        return nullptr;
    }
    Protect(m, mapped_sections);
    if (m->is_dll && options.call_dll_main && nt->Optional.AddressOfEntryPoint != 0) {
        auto entry = (DllEntry)(m->base + m->nt->Optional.AddressOfEntryPoint);
        if (!entry(m->handle(), win32::kDllProcessAttach, nullptr)) {
            Release(m);
            return Fail(error, path, "DllMain refused DLL_PROCESS_ATTACH"), nullptr;
        }
    }
    return m;
}

void UnloadPe(PeModule* module)
{
    if (module) Release(module);
}

PeModule* FindLoadedModule(const char* name)
{
    std::string want = CanonicalDllName(name);
    for (PeModule* m : loaded)
        if (CanonicalDllName(m->name.c_str()) == want) return m;
    return nullptr;
}

PeModule* ModuleOfHandle(uint32_t handle)
{
    for (PeModule* m : loaded)
        if (m->handle() == handle) return m;
    return nullptr;
}

unsigned LivePeMappings() { return live_mappings; }

void* FindPeExportByOrdinal(const PeModule* m, unsigned ordinal)
{
    const ExportDirectory* exp = Exports(m);
    if (exp == nullptr || ordinal < exp->Base || ordinal - exp->Base >= exp->NumberOfFunctions) return nullptr;
    uint32_t rva = m->at<const uint32_t>(exp->AddressOfFunctions)[ordinal - exp->Base];
    if (rva == 0 || rva >= m->image_size) return nullptr;
    return m->base + rva;
}

std::vector<PeExport> ListExports(const PeModule* m)
{
    std::vector<PeExport> list;
    const ExportDirectory* exp = Exports(m);
    if (exp == nullptr) return list;
    const uint32_t* names = m->at<const uint32_t>(exp->AddressOfNames);
    const uint16_t* ordinals = m->at<const uint16_t>(exp->AddressOfNameOrdinals);
    for (uint32_t i = 0; i < exp->NumberOfFunctions; ++i) {
        if (m->at<const uint32_t>(exp->AddressOfFunctions)[i] == 0) continue;
        PeExport e;
        e.ordinal = exp->Base + i;
        for (uint32_t k = 0; k < exp->NumberOfNames; ++k)
            if (ordinals[k] == i) e.name = NameAt(m, names[k]);
        list.push_back(e);
    }
    return list;
}

const char* PeModuleName(const PeModule* m)
{
    const ExportDirectory* exp = Exports(m);
    return exp ? NameAt(m, exp->Name) : nullptr;
}

void* FindPeExport(const PeModule* m, const char* name)
{
    const ExportDirectory* exp = Exports(m);
    if (exp == nullptr || name == nullptr) return nullptr;
    const uint32_t* names = m->at<const uint32_t>(exp->AddressOfNames);
    const uint16_t* ordinals = m->at<const uint16_t>(exp->AddressOfNameOrdinals);
    for (uint32_t i = 0; i < exp->NumberOfNames; ++i)
        if (const char* candidate = NameAt(m, names[i]))
            if (std::strcmp(candidate, name) == 0) return FindPeExportByOrdinal(m, exp->Base + ordinals[i]);
    return nullptr;
}

uint32_t RunProgram(PeModule* m)
{
    auto entry = (ProgramEntry)(m->base + m->nt->Optional.AddressOfEntryPoint);
    uint32_t chain = CurrentTib()->ExceptionList;
    machine().main_module = m->handle();
    program.running = true;
    if (setjmp(program.exit) == 0) program.code = entry();
    program.running = false;
    CurrentTib()->ExceptionList = chain;  // ExitProcess leaves the program's frames behind
    return program.code;
}

void ExitRunningProgram(uint32_t code)
{
    if (!program.running) {
        std::fprintf(stderr, "sim: ExitProcess(%u) called while no program runs\n", code);
        std::_Exit(kUnhandledFaultExit);
    }
    program.code = code;
    longjmp(program.exit, 1);
}

}  // namespace sim

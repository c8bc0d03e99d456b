// qfsim: runs a PE file of the kit on the test machine and reports what it found.
//
//   qfsim FILE      load FILE; report its headers, sections, imports and exports; for a DLL
//                   report DllMain's answer, for a program run it with standard output connected
//                   to this process's and report its exit code.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/machine.h"
#include "pe/pe.h"

namespace {

const char* SubsystemName(uint16_t s)
{
    switch (s) {
    case 2: return "GUI";
    case 3: return "console";
    }
    return "other";
}

void Report(const sim::PeModule* m)
{
    const pe::OptionalHeader32& o = m->nt->Optional;
    std::printf("%s: PE32 %s, machine 0x%X (i386), %s subsystem %u.%u, OS version %u.%u\n",
                m->name.c_str(), m->is_dll ? "DLL" : "program", m->nt->File.Machine,
                SubsystemName(o.Subsystem), o.MajorSubsystemVersion, o.MinorSubsystemVersion,
                o.MajorOperatingSystemVersion, o.MinorOperatingSystemVersion);
    if (const char* name = sim::PeModuleName(m)) std::printf("  module name %s\n", name);
    std::printf("  image base 0x%08X, loaded at 0x%08X, %u bytes\n", m->preferred_base, m->handle(), m->image_size);
    const auto* sections = (const pe::SectionHeader*)((const uint8_t*)&o + m->nt->File.SizeOfOptionalHeader);
    for (unsigned i = 0; i < m->nt->File.NumberOfSections; ++i) {
        const pe::SectionHeader& s = sections[i];
        std::printf("  section %-8.8s rva 0x%05X, %6u bytes, %c%c%c\n", s.Name, s.VirtualAddress, s.VirtualSize,
                    s.Characteristics & pe::kSectionRead ? 'r' : '-', s.Characteristics & pe::kSectionWrite ? 'w' : '-',
                    s.Characteristics & pe::kSectionExecute ? 'x' : '-');
    }
    for (const sim::PeImport& i : m->imports) {
        if (i.name.empty()) std::printf("  imports %s ordinal %u\n", i.dll.c_str(), i.ordinal);
        else std::printf("  imports %s %s\n", i.dll.c_str(), i.name.c_str());
    }
    std::vector<sim::PeExport> exports = sim::ListExports(m);
    if (exports.empty()) std::printf("  exports nothing\n");
    for (const sim::PeExport& e : exports)
        std::printf("  exports %u %s\n", e.ordinal, e.name.empty() ? "(by ordinal only)" : e.name.c_str());
}

win32::DWORD KindOfFd(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return win32::kFileTypeUnknown;
    if (S_ISCHR(st.st_mode)) return win32::kFileTypeChar;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return win32::kFileTypePipe;
    return win32::kFileTypeDisk;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: qfsim FILE\n");
        return 2;
    }
    sim::ResetMachine();
    std::string error;
    sim::PeModule* m = sim::LoadPe(argv[1], &error);
    if (m == nullptr) {
        std::fprintf(stderr, "qfsim: %s\n", error.c_str());
        return 1;
    }
    Report(m);
    if (m->is_dll) {
        std::printf("  DllMain accepted DLL_PROCESS_ATTACH\n");
    } else {
        static sim::Stream out;
        std::fflush(stdout);
        out.type = KindOfFd(1);
        out.forward_fd = 1;
        sim::machine().std_handles[1] = &out;
        uint32_t code = sim::RunProgram(m);
        std::printf("  exit code %u\n", code);
    }
    sim::UnloadPe(m);
    return 0;
}

// qfsim: runs a PE file of the kit on the test machine, with 16-bit KERNEL and the stand-in font
// manager in its working mode.
//
//   qfsim [options] FILE
//     a program runs with standard output connected to this process's; its exit code becomes
//     qfsim's. A DLL is loaded and reported.
//   --module NAME        the font manager's module name: ATM (default), ATM32 or ATM16; "none"
//                        for no font manager at all
//   --version N          ATMGetVersion's answer (default 0x0105; decimal or 0x hex)
//   --without ENTRY      leave the entry point ENTRY (e.g. ATMRemoveFont) out; may be repeated
//   --shell-result N     ShellExecuteA's answer (default 42)
//   --headers            report the file's headers, sections, imports and exports first
//   --report-exit        say on standard error which exit code the program ended with
//
// After the run, qfsim checks that the platform's contracts held and that nothing was left
// mapped or allocated.
//
// Exit codes; every one but the program's own comes with a message on standard error:
//   the program's    its exit code (ExitProcess or the entry point's return); 0 after a DLL loaded
//   2                bad usage, or a file that cannot be loaded (or a DLL that it imports)
//   3                the run broke a platform contract or left a mapping, a 16-bit handle or a
//                    code alias behind
//   97               the machine itself failed: a C++ exception that nothing caught inside it
//                    (one cannot cross the program's frames), or an abort
//   98               a fault during exception dispatch: an exception handler (or its address)
//                    faulted while it handled an exception
//   99               an exception that no handler resumed (an invalid exception chain included),
//                    a handler that gives an invalid answer or resumes the same fault again and
//                    again or with a selector that cannot be loaded, or ExitProcess while no
//                    program runs
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "core/machine.h"
#include "fontmgr/fontmgr.h"
#include "kernel16/kernel16.h"
#include "kernel32/thunk.h"
#include "pe/pe.h"

namespace {

constexpr int kUsageError = 2, kLeftBehind = 3;

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

int Usage(const char* problem)
{
    std::fprintf(stderr, "qfsim: %s\n", problem);
    std::fprintf(stderr, "usage: qfsim [--module ATM|ATM32|ATM16|none] [--version N] [--without ENTRY]...\n"
                         "             [--shell-result N] [--headers] [--report-exit] FILE\n");
    return kUsageError;
}

bool ParseNumber(const char* text, long long max, long long* value)
{
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < -max - 1 || v > max) return false;
    *value = v;
    return true;
}

bool IsEntryName(const std::string& name)
{
    for (const sim::AtmFunction& f : sim::kAtmFunctions)
        if (name == f.name) return true;
    return false;
}

struct Options {
    sim::FontManagerSetup font_manager;
    bool with_font_manager = true;
    bool headers = false;
    bool report_exit = false;
    const char* file = nullptr;
};

// Parses the command line; 0 on success, else the exit code after the message.
int Parse(int argc, char** argv, Options* o)
{
    o->font_manager.working = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        long long n;
        if (arg == "--headers") {
            o->headers = true;
        } else if (arg == "--report-exit") {
            o->report_exit = true;
        } else if (arg == "--module" && has_value) {
            std::string name = argv[++i];
            if (name == "none") o->with_font_manager = false;
            else if (name == "ATM" || name == "ATM32" || name == "ATM16") o->font_manager.modules = {name};
            else return Usage(("unknown module name '" + name + "'").c_str());
        } else if (arg == "--version" && has_value) {
            if (!ParseNumber(argv[++i], 0xFFFF, &n) || n < 0) return Usage("--version wants a number from 0 to 0xFFFF");
            o->font_manager.version = (uint16_t)n;
        } else if (arg == "--without" && has_value) {
            std::string entry = argv[++i];
            if (!IsEntryName(entry)) return Usage(("unknown entry point '" + entry + "'").c_str());
            o->font_manager.absent.insert(entry);
        } else if (arg == "--shell-result" && has_value) {
            if (!ParseNumber(argv[++i], 0x7FFFFFFF, &n)) return Usage("--shell-result wants a 32-bit number");
            sim::machine().shell_result = (int)n;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option or missing value: " + arg).c_str());
        } else if (o->file != nullptr) {
            return Usage("one file at a time");
        } else {
            o->file = argv[i];
        }
    }
    return o->file ? 0 : Usage("no file given");
}

// What a run left behind; empty when nothing.
std::string LeftBehind()
{
    std::string left;
    for (const std::string& v : sim::machine().violations) left += "  contract violation: " + v + "\n";
    auto count = [&](unsigned n, const char* what) {
        if (n != 0) left += "  " + std::to_string(n) + " " + what + " left\n";
    };
    count(sim::LiveMappings(), "pointer mapping(s)");
    count(sim::LiveGlobalHandles(), "16-bit global handle(s)");
    count(sim::LiveAliases(), "code alias(es)");
    return left;
}

}  // namespace

int main(int argc, char** argv)
{
    sim::ResetMachine();
    Options options;
    if (int code = Parse(argc, argv, &options)) return code;

    sim::InstallKernel16({0x10F, {}});
    if (options.with_font_manager) sim::InstallFontManager(options.font_manager);

    std::string error;
    sim::PeModule* m = nullptr;
    try {
        m = sim::LoadPe(options.file, &error);
    } catch (const std::exception& e) {
        error = std::string(options.file) + ": " + e.what();
    }
    if (m == nullptr) {
        std::fprintf(stderr, "qfsim: cannot load %s\n", error.c_str());
        return kUsageError;
    }
    if (options.headers || m->is_dll) Report(m);
    int result = 0;
    if (m->is_dll) {
        std::printf("  DllMain accepted DLL_PROCESS_ATTACH\n");
    } else {
        static sim::Stream out;
        std::fflush(stdout);
        out.type = KindOfFd(1);
        out.forward_fd = 1;
        sim::machine().std_handles[1] = &out;
        result = (int)sim::RunProgram(m);
    }
    sim::UnloadPe(m);
    sim::RemoveFontManager();
    sim::FreeModuleDatabases();
    std::string left = LeftBehind();
    if (!left.empty()) {
        std::fprintf(stderr, "qfsim: after the run:\n%s", left.c_str());
        return kLeftBehind;
    }
    if (options.report_exit) std::fprintf(stderr, "qfsim: the program's exit code is %d\n", result & 0xFF);
    return result;
}

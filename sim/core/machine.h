// The test machine's process-wide state: what the tests configure, what the platform counts,
// and the contract violations it has seen.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "win32.h"

namespace sim {

// A standard handle's object: what GetFileType reports and what WriteFile received.
struct Stream {
    win32::DWORD type = win32::kFileTypeChar;
    std::string bytes;                // everything written, in order
    std::vector<std::string> writes;  // one entry per WriteFile call
    int forward_fd = -1;              // also copy the bytes to this descriptor
};

struct ShellRequest {
    uint32_t owner = 0;
    bool has_operation = false, has_file = false, has_parameters = false, has_directory = false;
    std::string operation, file, parameters, directory;
    int show = 0;
};

struct Counters {
    unsigned descriptor_queries = 0;  // GetThreadSelectorEntry calls
    unsigned memory_reads = 0;        // ReadProcessMemory calls
    unsigned module_lookups = 0;      // GetModuleHandleA calls
    unsigned proc_lookups = 0;        // GetProcAddress calls
    unsigned qt_thunk_calls = 0;      // QT_Thunk calls
    unsigned mappings = 0;            // pointers mapped by the SMapLS family, null included
};

struct Machine {
    Counters counters;
    std::set<std::string> hidden_exports;  // names that GetProcAddress and imports do not find
    std::set<std::string> hidden_modules;  // machine DLLs that GetModuleHandleA does not find
    Stream* std_handles[3] = {};           // input, output, error; null: no handle
    bool std_handle_invalid[3] = {};       // GetStdHandle answers INVALID_HANDLE_VALUE
    int shell_result = 42;
    std::vector<ShellRequest> shell_requests;
    std::vector<uint16_t> queried_selectors;  // GetThreadSelectorEntry's selectors, in order
    std::vector<std::string> violations;   // contract violations seen; a test expects none
    std::vector<uint32_t> releases;        // flat pointers whose SMapLS-family mappings were
                                           // released by SUnMapLS / SUnMapLS_IP_EBP_N, in order
    uint32_t main_module = 0;              // HMODULE of the running program, if any
    bool enter16_direction_set = true;     // 16-bit procedures are entered with DF set, which
                                           // the 16-bit convention does not promise to be clear
};

Machine& machine();

// Once per process: the thread's TIB and FS, the fault handlers, the 16-bit stack. Idempotent.
void Boot();
// Back to the state of a fresh process: configuration, counters, the FS:[0] chain, the 16-bit
// entries, the order of general selectors and the global heap's failure injection.
void ResetMachine();

void Violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim

// SHELL32: ShellExecuteA records its request and answers the result that the test chose.
#include "../core/exports.h"
#include "../core/machine.h"

using namespace sim;

namespace {

void Take(const char* text, bool* has, std::string* out)
{
    *has = text != nullptr;
    if (text) *out = text;
}

uint32_t WINAPI ShellExecuteA(uint32_t owner, const char* operation, const char* file,
                              const char* parameters, const char* directory, int show)
{
    ShellRequest r;
    r.owner = owner;
    Take(operation, &r.has_operation, &r.operation);
    Take(file, &r.has_file, &r.file);
    Take(parameters, &r.has_parameters, &r.parameters);
    Take(directory, &r.has_directory, &r.directory);
    r.show = show;
    machine().shell_requests.push_back(r);
    return (uint32_t)machine().shell_result;
}
SIM_EXPORT("SHELL32", ShellExecuteA);

}  // namespace

// Binding to ATM: its module, its nineteen entry points and the work block in 16-bit memory.
#include "access16.h"
#include "bridge.h"

namespace {

// Asked for in this order; the first that is loaded is used.
const char* const kAtmModuleNames[] = {"ATM", "ATM32", "ATM16"};

// In record order, which is also the order of resolution.
const char* const kAtmEntryNames[kAtmEntryCount] = {
#define ATM_ENTRY_NAME(name) #name,
    ATM_ENTRY_POINTS(ATM_ENTRY_NAME)
#undef ATM_ENTRY_NAME
};

}  // namespace

extern "C" uint32_t FindAtmModule()
{
    for (const char* name : kAtmModuleNames) {
        uint32_t module = K16GetModuleHandle(name);
        if (module != 0) return module;
    }
    return 0;
}

extern "C" void ClearAtmEntries()
{
    for (FarPtr16& entry : AtmEntryTable.Entries) entry = 0;
}

extern "C" int BindAtm()
{
    if (!BindThunkServices()) return 0;
    uint32_t module = FindAtmModule();
    if (module == 0) return 0;
    // A name that the module does not export leaves its entry 0; only the operations that need
    // it fail later.
    for (unsigned i = 0; i < kAtmEntryCount; ++i) AtmEntryTable.Entries[i] = K16GetProcAddress(module, kAtmEntryNames[i]);
    return BuildWorkBlock(AtmEntryTable.Entries[kATMIsUp]) ? 1 : 0;
}

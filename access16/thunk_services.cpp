// The table of thunk services: bound once, kept for the life of the process.
#include <windows.h>

#include <stddef.h>

#include "access16.h"

ThunkServicesRecord ThunkServices;  // zero until bound

namespace {

// The KERNEL32 exports, in binding order; the table's first 27 fields in the same order.
const char* const kServiceNames[] = {
    "FT_Exit12", "FT_Exit16", "FT_Exit20", "FT_Exit24", "FT_Exit36", "FT_Exit48",
    "FT_Prolog", "FT_Thunk", "QT_Thunk", "SMapLS",
    "SMapLS_IP_EBP_8", "SMapLS_IP_EBP_12", "SMapLS_IP_EBP_16", "SMapLS_IP_EBP_20",
    "SMapLS_IP_EBP_24", "SMapLS_IP_EBP_28", "SMapLS_IP_EBP_36", "SMapLS_IP_EBP_40",
    "SUnMapLS",
    "SUnMapLS_IP_EBP_8", "SUnMapLS_IP_EBP_12", "SUnMapLS_IP_EBP_16", "SUnMapLS_IP_EBP_20",
    "SUnMapLS_IP_EBP_24", "SUnMapLS_IP_EBP_28", "SUnMapLS_IP_EBP_36", "SUnMapLS_IP_EBP_40",
};
constexpr unsigned kServiceCount = sizeof kServiceNames / sizeof kServiceNames[0];
static_assert(offsetof(ThunkServicesRecord, SUnMapLS_IP_EBP_40) == (kServiceCount - 1) * sizeof(void*),
              "the service fields are the table's first fields, in binding order");

static_assert(offsetof(ThunkServicesRecord, SMapLS_IP_EBP_40) - offsetof(ThunkServicesRecord, SMapLS_IP_EBP_8) ==
                      7 * sizeof(void*) &&
                  offsetof(ThunkServicesRecord, SUnMapLS_IP_EBP_40) - offsetof(ThunkServicesRecord, SUnMapLS_IP_EBP_8) ==
                      7 * sizeof(void*),
              "the call sites index the eight mapping services from the one for EBP+8");

// The KERNEL ordinals, in binding order, and the field each fills.
struct KernelOrdinal {
    uint16_t ordinal;
    FarPtr16 ThunkServicesRecord::*field;
};
const KernelOrdinal kKernelOrdinals[] = {
    {171, &ThunkServicesRecord::KernelAllocDStoCSAlias},
    {176, &ThunkServicesRecord::KernelFreeSelector},
    {47, &ThunkServicesRecord::KernelGetModuleHandle},
    {50, &ThunkServicesRecord::KernelGetProcAddress},
    {15, &ThunkServicesRecord::KernelGlobalAlloc},
    {17, &ThunkServicesRecord::KernelGlobalFree},
    {18, &ThunkServicesRecord::KernelGlobalLock},
    {16, &ThunkServicesRecord::KernelGlobalReAlloc},
};

}  // namespace

extern "C" int BindThunkServices()
{
    if (ThunkServices.Bound) return 1;
    HMODULE kernel32 = GetModuleHandleA("KERNEL32");
    if (kernel32 == nullptr) return 0;
    void** services = &ThunkServices.FT_Exit12;
    for (unsigned i = 0; i < kServiceCount; ++i) {
        services[i] = (void*)GetProcAddress(kernel32, kServiceNames[i]);
        if (services[i] == nullptr) return 0;
    }
    ThunkServices.KernelSelector = FindModuleSelector("KERNEL");
    if (ThunkServices.KernelSelector == 0) return 0;
    for (const KernelOrdinal& k : kKernelOrdinals) {
        FarPtr16 entry = GetOrdinalEntry(ThunkServices.KernelSelector, k.ordinal);
        ThunkServices.*k.field = entry;
        if (entry == 0) return 0;
    }
    ThunkServices.Bound = 1;
    return 1;
}

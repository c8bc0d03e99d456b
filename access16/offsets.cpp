// Compiled to assembly text only: the offsets of the records that the call sites and the work
// block's 16-bit routines read, emitted as "->NAME value" lines from which the build makes
// offsets.inc for nasm.
#include <stddef.h>

#include "access16.h"
#include "atm_entry_table.h"
#define QFATM_API
#include "qfatm.h"

#define CONSTANT(name, value) __asm__ volatile("\n->" #name " %c0" ::"i"(value))
#define OFFSET(name, record, field) CONSTANT(name, offsetof(record, field))
#define HEADER_OFFSET(field) OFFSET(WB_##field, WorkBlockHeader, field)
#define ENTRY_OFFSET(entry) \
    CONSTANT(AE_##entry, offsetof(AtmEntryTableRecord, Entries) + 4 * k##entry);

void EmitOffsets()
{
    OFFSET(TS_QT_Thunk, ThunkServicesRecord, QT_Thunk);
    OFFSET(TS_SMapLS_IP_EBP_8, ThunkServicesRecord, SMapLS_IP_EBP_8);
    OFFSET(TS_SUnMapLS_IP_EBP_8, ThunkServicesRecord, SUnMapLS_IP_EBP_8);
    OFFSET(TS_KernelAllocDStoCSAlias, ThunkServicesRecord, KernelAllocDStoCSAlias);
    OFFSET(TS_KernelFreeSelector, ThunkServicesRecord, KernelFreeSelector);
    OFFSET(TS_KernelGetModuleHandle, ThunkServicesRecord, KernelGetModuleHandle);
    OFFSET(TS_KernelGetProcAddress, ThunkServicesRecord, KernelGetProcAddress);
    OFFSET(TS_KernelGlobalAlloc, ThunkServicesRecord, KernelGlobalAlloc);
    OFFSET(TS_KernelGlobalFree, ThunkServicesRecord, KernelGlobalFree);
    OFFSET(TS_KernelGlobalLock, ThunkServicesRecord, KernelGlobalLock);
    OFFSET(TS_FT_Prolog, ThunkServicesRecord, FT_Prolog);
    OFFSET(TS_FT_Thunk, ThunkServicesRecord, FT_Thunk);
    OFFSET(TS_FT_Exit16, ThunkServicesRecord, FT_Exit16);
    OFFSET(TS_FT_Exit24, ThunkServicesRecord, FT_Exit24);
    OFFSET(TS_FT_Exit36, ThunkServicesRecord, FT_Exit36);
    OFFSET(TS_FT_Exit48, ThunkServicesRecord, FT_Exit48);
    OFFSET(TS_SMapLS, ThunkServicesRecord, SMapLS);
    OFFSET(TS_SUnMapLS, ThunkServicesRecord, SUnMapLS);
    OFFSET(AE_Loaded, AtmEntryTableRecord, Loaded);
    ATM_ENTRY_POINTS(ENTRY_OFFSET)
    CONSTANT(QF_NOT_AVAILABLE, QF_NOT_AVAILABLE);
    HEADER_OFFSET(DataSel);
    HEADER_OFFSET(LockEntry);
    HEADER_OFFSET(ReallocEntry);
    HEADER_OFFSET(Capacity);
    HEADER_OFFSET(WriteOffset);
    HEADER_OFFSET(BufferSel);
    HEADER_OFFSET(BufferHandle);
    HEADER_OFFSET(FarReturn);
    HEADER_OFFSET(GrowEntry);
    HEADER_OFFSET(Refused);
    CONSTANT(WB_HeaderSize, sizeof(WorkBlockHeader));
}

; The KERNEL primitives: 16-bit KERNEL's entry points, called through QT_Thunk.
        bits 32
%include "callsite.inc"

        section .text
;         name                 target                                           result  arguments
CALL_SITE K16GetModuleHandle,  [_ThunkServices + TS_KernelGetModuleHandle],  ZX,     P
CALL_SITE K16GetProcAddress,   [_ThunkServices + TS_KernelGetProcAddress],   JOIN,   W, P
CALL_SITE K16GlobalAlloc,      [_ThunkServices + TS_KernelGlobalAlloc],      ZX,     W, D
CALL_SITE K16GlobalLock,       [_ThunkServices + TS_KernelGlobalLock],       JOIN,   W
CALL_SITE K16GlobalFree,       [_ThunkServices + TS_KernelGlobalFree],       KEEP,   W
CALL_SITE K16AllocDStoCSAlias, [_ThunkServices + TS_KernelAllocDStoCSAlias], ZX,     W
CALL_SITE K16FreeSelector,     [_ThunkServices + TS_KernelFreeSelector],     KEEP,   W

; The handler of every guard that guard.inc opens.
        bits 32
%define GUARD_HANDLER_HERE
%include "guard.inc"

CONTEXT_SegGs   equ 0x8C
CONTEXT_Ebp     equ 0xB4
CONTEXT_Eip     equ 0xB8
CONTEXT_Esp     equ 0xC4

        section .text
        global  GuardResume
; EXCEPTION_DISPOSITION GuardResume(EXCEPTION_RECORD*, void* record, CONTEXT*, void*)
GuardResume:
        mov     edx, [esp+8]
        mov     ecx, [esp+12]
        mov     eax, [edx+GUARD_GS]
        mov     [ecx+CONTEXT_SegGs], eax
        mov     eax, [edx+GUARD_RESUME]
        mov     [ecx+CONTEXT_Eip], eax
        mov     eax, [edx+GUARD_EBP]
        mov     [ecx+CONTEXT_Ebp], eax
        mov     [ecx+CONTEXT_Esp], edx
        xor     eax, eax                    ; ExceptionContinueExecution
        ret

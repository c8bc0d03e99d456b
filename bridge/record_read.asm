; Reading the RecordBuffer back from 32-bit code: its selector's limit covers the whole buffer,
; so a 32-bit offset through GS reaches every byte, also past 64 KB.
        bits 32
%include "guard.inc"

        section .text

; int ReadRecordBytes(uint16_t selector, uint32_t offset, void* destination, uint32_t size):
; copies size bytes from selector:offset into flat memory; 1 when every byte was copied, 0 when
; the selector could not be loaded or the copy faulted.
        global  _ReadRecordBytes
_ReadRecordBytes:
        push    ebp
        mov     ebp, esp
        push    esi
        push    edi
        GUARD   .fault
        mov     ax, [ebp+8]
        mov     gs, ax
        mov     esi, [ebp+12]
        mov     edi, [ebp+16]
        mov     ecx, [ebp+20]
        mov     edx, ecx
        cld
        shr     ecx, 2
        gs rep movsd
        mov     ecx, edx
        and     ecx, 3
        gs rep movsb
        mov     eax, 1
        jmp     .done
.fault: xor     eax, eax
.done:  UNGUARD
        pop     edi
        pop     esi
        pop     ebp
        ret

; Reaching 16-bit memory through GS from 32-bit code: the far-return scan, the image copy and the
; RecordBuffer's read-back under a guard, and plain reads and writes of the live work block's
; header.
        bits 32
%include "guard.inc"

        section .text

; The frame of a guarded copy through GS: EBP, ESI and EDI saved, a guard whose fault path
; answers 0. END_GUARDED_COPY answers 1 when the copy ran to its end.
%macro GUARDED_COPY 0
        push    ebp
        mov     ebp, esp
        push    esi
        push    edi
        GUARD   .fault
%endmacro

%macro END_GUARDED_COPY 0
        mov     eax, 1
        jmp     .done
.fault: xor     eax, eax
.done:  UNGUARD
        pop     edi
        pop     esi
        pop     ebp
        ret
%endmacro

; FarPtr16 FindFarReturn(FarPtr16 at): the first byte 0xCB at or after `at` and below its
; segment's limit (the byte at the limit itself is not examined); 0 when the limit cannot be
; read, the range is empty, no such byte lies in it, or the scan faults.
        global  _FindFarReturn
_FindFarReturn:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    edi
        xor     edi, edi                    ; the result
        GUARD   .fault
        movzx   ecx, word [ebp+10]          ; the selector
        lsl     ebx, ecx
        jnz     .done                       ; the processor will not report a limit
        movzx   edx, word [ebp+8]           ; the offset
        mov     gs, cx
.scan:  cmp     edx, ebx
        jae     .done
        cmp     byte [gs:edx], 0xCB
        je      .found
        inc     edx
        jmp     .scan
.found: shl     ecx, 16
        lea     edi, [ecx+edx]
        jmp     .done
.fault: xor     edi, edi
.done:  UNGUARD
        mov     eax, edi
        pop     edi
        pop     ebx
        pop     ebp
        ret

; int CopyTo16(FarPtr16 destination, const void* source, uint32_t size): 1 when every byte was
; stored, 0 when the copy faulted.
        global  _CopyTo16
_CopyTo16:
        GUARDED_COPY
        mov     eax, [ebp+8]
        movzx   edi, ax
        shr     eax, 16
        mov     gs, ax
        mov     esi, [ebp+12]
        mov     ecx, [ebp+16]
.copy:  test    ecx, ecx
        jz      .copied
        mov     al, [esi]
        mov     [gs:edi], al
        inc     esi
        inc     edi
        dec     ecx
        jmp     .copy
.copied:
        END_GUARDED_COPY

; int ReadRecordBytes(uint16_t selector, uint32_t offset, void* destination, uint32_t size):
; copies size bytes from selector:offset into flat memory; 1 when every byte was copied, 0 when
; the selector could not be loaded or the copy faulted. The RecordBuffer's selector's limit
; covers the whole buffer, so a 32-bit offset reaches every byte, also past 64 KB.
        global  _ReadRecordBytes
_ReadRecordBytes:
        GUARDED_COPY
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
        END_GUARDED_COPY

; Peek16(selector, offset), Poke16(selector, offset, value), Poke32(selector, offset, value):
; a word or a dword of a segment that the library owns, through GS, which is put back after.
%macro GS_AT 0                  ; GS:EDX = selector:offset from the arguments; ECX = the old GS
        mov     ecx, gs
        mov     ax, [esp+4]
        mov     gs, ax
        movzx   edx, word [esp+8]
%endmacro

        global  _Peek16, _Poke16, _Poke32
_Peek16:
        GS_AT
        movzx   eax, word [gs:edx]
        mov     gs, cx
        ret
_Poke16:
        GS_AT
        mov     ax, [esp+12]
        mov     [gs:edx], ax
        mov     gs, cx
        ret
_Poke32:
        GS_AT
        mov     eax, [esp+12]
        mov     [gs:edx], eax
        mov     gs, cx
        ret

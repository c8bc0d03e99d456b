; Reaching 16-bit memory through GS from 32-bit code, always under a guard that puts GS back: the
; far-return scan, the image copy, the RecordBuffer's read-back, and the reads and writes of the
; live work block's header.
        bits 32
%include "guard.inc"

        section .text

; The frame of a guarded access through GS: EBP, ESI and EDI saved, the arguments from [ebp+8]
; on, a guard whose fault path answers 0. END_GUARDED_ACCESS answers EAX as the access left it,
; END_GUARDED_ACCESS 1 answers 1: the access ran to its end.
%macro GUARDED_ACCESS 0
        push    ebp
        mov     ebp, esp
        push    esi
        push    edi
        GUARD   .fault
%endmacro

%macro END_GUARDED_ACCESS 0-1
  %if %0 = 1
        mov     eax, %1
  %endif
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
        GUARDED_ACCESS
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
        END_GUARDED_ACCESS 1

; int ReadRecordBytes(uint16_t selector, uint32_t offset, void* destination, uint32_t size):
; copies size bytes from selector:offset into flat memory; 1 when every byte was copied, 0 when
; the selector could not be loaded or the copy faulted. The RecordBuffer's selector's limit
; covers the whole buffer, so a 32-bit offset reaches every byte, also past 64 KB.
        global  _ReadRecordBytes
_ReadRecordBytes:
        GUARDED_ACCESS
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
        END_GUARDED_ACCESS 1

; uint32_t Peek16(uint16_t selector, uint16_t offset): the word at selector:offset; 0 when the
; access faulted. int Poke16(selector, offset, uint16_t value), int Poke32(selector, offset,
; uint32_t value): 1 when the value was stored, 0 when the access faulted.
%macro GS_AT 0                  ; GS:EDX = selector:offset from the first two arguments
        mov     ax, [ebp+8]
        mov     gs, ax
        movzx   edx, word [ebp+12]
%endmacro

        global  _Peek16, _Poke16, _Poke32
_Peek16:
        GUARDED_ACCESS
        GS_AT
        movzx   eax, word [gs:edx]
        END_GUARDED_ACCESS

_Poke16:
        GUARDED_ACCESS
        GS_AT
        mov     ax, [ebp+16]
        mov     [gs:edx], ax
        END_GUARDED_ACCESS 1

_Poke32:
        GUARDED_ACCESS
        GS_AT
        mov     eax, [ebp+16]
        mov     [gs:edx], eax
        END_GUARDED_ACCESS 1

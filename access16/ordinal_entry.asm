; GetOrdinalEntry: the entry point of an ordinal, read from a module database in its loaded NE
; form directly through GS, under a guard. Offsets within the database are 16-bit.
        bits 32
%include "guard.inc"

NE_ENTRY_TABLE  equ 0x04            ; offset of the first entry-table bundle
NE_SEGMENT_TABLE equ 0x22           ; offset of the segment table
BUNDLE_BEFORE   equ 0               ; the ordinal before the bundle's first entry
BUNDLE_LAST     equ 2               ; the ordinal of its last entry
BUNDLE_NEXT     equ 4               ; offset of the next bundle; 0 ends the chain
BUNDLE_ENTRIES  equ 6
ENTRY_SIZE      equ 5
ENTRY_SEGMENT   equ 2               ; byte: 1-based segment number
ENTRY_OFFSET    equ 3
SEGMENT_SIZE    equ 10
SEGMENT_HANDLE  equ 8

; EAX = the word at GS:(base + displacement) with the sum taken modulo 64 KB
%macro READ16 2
        lea     eax, [%1 + %2]
        movzx   eax, ax
        movzx   eax, word [gs:eax]
%endmacro

        section .text
        global  _GetOrdinalEntry
; FarPtr16 GetOrdinalEntry(uint16_t module_selector, uint16_t ordinal)
_GetOrdinalEntry:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    esi
        push    edi
        xor     edi, edi                    ; the result
        movzx   ecx, word [ebp+8]
        test    ecx, ecx
        jz      .out                        ; no selector: no segment register is touched
        GUARD   .fault
        mov     gs, cx
        movzx   edx, word [ebp+12]          ; the ordinal
        mov     esi, -1                     ; last ordinal of the bundle before; none yet
        READ16  0, NE_ENTRY_TABLE
        mov     ebx, eax                    ; b
.walk:  test    ebx, ebx
        jz      .done
        READ16  ebx, BUNDLE_LAST
        ; Bundles ascend: one that does not end above the bundle before it closes a cycle.
        cmp     esi, -1
        je      .ascends
        cmp     eax, esi
        jbe     .done
.ascends:
        cmp     edx, eax
        jbe     .covered
        mov     esi, eax
        READ16  ebx, BUNDLE_NEXT
        mov     ebx, eax
        jmp     .walk
.covered:
        READ16  ebx, BUNDLE_BEFORE
        cmp     edx, eax
        jbe     .done                       ; in the gap before this bundle
        mov     ecx, edx
        sub     ecx, eax
        dec     ecx
        imul    ecx, ecx, ENTRY_SIZE
        lea     ebx, [ebx + ecx + BUNDLE_ENTRIES]
        movzx   ebx, bx                     ; the entry
        READ16  ebx, ENTRY_OFFSET
        mov     edi, eax                    ; offset half
        lea     eax, [ebx + ENTRY_SEGMENT]
        movzx   eax, ax
        movzx   ecx, byte [gs:eax]          ; segment number s
        dec     ecx
        imul    ecx, ecx, SEGMENT_SIZE
        READ16  0, NE_SEGMENT_TABLE
        add     ecx, eax
        READ16  ecx, SEGMENT_HANDLE
        or      eax, 1                      ; an even handle's selector is the handle plus one
        shl     eax, 16
        or      edi, eax
        jmp     .done
.fault: xor     edi, edi                    ; a fault, even after the offset half was stored
.done:  UNGUARD
.out:   mov     eax, edi
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret

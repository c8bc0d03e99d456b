; int32_t CallChecked(void* fn, const uint32_t* args, uint32_t count, CallEffects* effects):
; calls fn with `count` 32-bit arguments (args[0] first, at the lowest address) and reports how
; many bytes of them it removed and whether EBX, ESI and EDI came back as they were.
        bits 32
        section .text

        global  CallChecked
CallChecked:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    esi
        push    edi
        sub     esp, 4                      ; [ebp-16]: the stack pointer before the call
        mov     ecx, [ebp+16]
        mov     eax, [ebp+12]
.push:  jecxz   .call
        push    dword [eax+4*ecx-4]
        dec     ecx
        jmp     .push
.call:  mov     [ebp-16], esp
        mov     ebx, 0x0B0B0B0B
        mov     esi, 0x51515151
        mov     edi, 0xD1D1D1D1
        call    [ebp+8]
        mov     ecx, [ebp+20]
        mov     edx, esp
        sub     edx, [ebp-16]
        mov     [ecx], edx                  ; bytes removed
        xor     edx, edx
        cmp     ebx, 0x0B0B0B0B
        jne     .spoiled
        cmp     esi, 0x51515151
        jne     .spoiled
        cmp     edi, 0xD1D1D1D1
        jne     .spoiled
        inc     edx
.spoiled:
        mov     [ecx+4], edx                ; 1: EBX, ESI and EDI kept
        lea     esp, [ebp-12]
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret

        section .note.GNU-stack noalloc noexec nowrite progbits

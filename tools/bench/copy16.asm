; A plain 16-bit copy, the yardstick for the recorders: Copy(src, dst, n) copies n bytes with one
; string move through 32-bit offsets (Pascal convention; the callee pops 12 bytes).
        bits 16
        section .rodata
        global  copy16_start, copy16_size
copy16_start:
        push    bp
        mov     bp, sp
        push    ds
        push    si
        push    di
        cld
        lds     si, [bp+14]
        movzx   esi, si
        les     di, [bp+10]
        movzx   edi, di
        mov     ecx, [bp+6]
        a32 rep movsb
        pop     di
        pop     si
        pop     ds
        pop     bp
        retf    12
copy16_end:
        align   4
copy16_size     dd copy16_end - copy16_start

        section .note.GNU-stack noalloc noexec nowrite progbits

; Tiny 16-bit far procedures for the transition tests, in the Pascal convention of 16-bit Windows
; (arguments pushed first to last, callee pops). They are copied into a 16-bit code segment at run
; time, so only relative jumps are used; routines16_offsets gives each entry's offset.
        bits 16
        section .rodata

        global  routines16_start, routines16_size, routines16_offsets
routines16_start:

; WORD Add(WORD a, WORD b): AX = a + b, DX = 0x5A5A
add_words:
        push    bp
        mov     bp, sp
        mov     ax, [bp+8]
        add     ax, [bp+6]
        mov     dx, 0x5A5A
        pop     bp
        retf    4

; DWORD Swap(DWORD d): DX:AX = d with its halves exchanged
swap_halves:
        push    bp
        mov     bp, sp
        mov     ax, [bp+8]
        mov     dx, [bp+6]
        pop     bp
        retf    4

; Pops two bytes of its four-byte argument list only.
pops_too_few:
        retf    2

; Pops six bytes of its four-byte argument list.
pops_too_many:
        retf    6

; WORD CallBack(FARPROC fn, WORD x): calls fn(x, 0x1111) and returns its AX + 1; fn must keep
; DS, SI, DI and BP, which are loaded with marks first and checked after: a change gives 0xBAD.
call_back:
        push    bp
        mov     bp, sp
        push    si
        push    di
        push    ds
        mov     si, 0x5151
        mov     di, 0xD1D1
        mov     ax, ss
        mov     ds, ax
        push    word [bp+6]             ; x
        push    word 0x1111
        call    far [bp+8]
        mov     bx, ds
        mov     cx, ss
        cmp     bx, cx
        jne     .changed
        cmp     si, 0x5151
        jne     .changed
        cmp     di, 0xD1D1
        jne     .changed
        inc     ax
        jmp     .done
.changed:
        mov     ax, 0xBAD
.done:
        pop     ds
        pop     di
        pop     si
        mov     sp, bp
        pop     bp
        retf    6

; WORD Mix(WORD w, DWORD d, LPVOID p): AX = the word at p + w, DX = the high word of d
mix:
        push    bp
        mov     bp, sp
        push    es
        les     bx, [bp+6]
        mov     ax, [es:bx]
        add     ax, [bp+14]
        mov     dx, [bp+12]
        pop     es
        pop     bp
        retf    10

; WORD RectSum(LPRECT16 r, WORD a): the sum of r's four values and a; 0xFFFF for a null r
rect_sum:
        push    bp
        mov     bp, sp
        push    es
        mov     ax, 0xFFFF
        les     bx, [bp+8]
        mov     cx, es
        or      cx, bx
        jz      .done
        mov     ax, [bp+6]
        add     ax, [es:bx]
        add     ax, [es:bx+2]
        add     ax, [es:bx+4]
        add     ax, [es:bx+6]
.done:  pop     es
        pop     bp
        retf    6

; WORD JumpRealloc(FARPROC realloc, FARPROC far_return, WORD handle, DWORD size): enters
; GlobalReAlloc(handle, size, 2) by a far jump with `far_return` as its return address and its own
; resume point pushed above; AX = GlobalReAlloc's result, or 0xBAD when DS came back changed.
jump_realloc:
        push    bp
        mov     bp, sp
        push    ds
        push    si
        mov     ax, ss
        mov     ds, ax
        mov     si, ax
        push    cs
        push    word (.resume - routines16_start)
        push    word [bp+10]
        push    word [bp+8]
        push    word [bp+6]
        push    word 2
        push    word [bp+14]
        push    word [bp+12]
        jmp     far [bp+16]
.resume:
        mov     bx, ds
        cmp     bx, si
        je      .same
        mov     ax, 0xBAD
.same:  pop     si
        pop     ds
        pop     bp
        retf    14

; Loads ES with an empty LDT slot: a fault in 16-bit code, on the 16-bit stack.
load_bad_selector:
        mov     ax, 0x2F
        mov     es, ax
        retf

; A lone far return.
far_return:
        retf

; Each gives back one of the registers that a far procedure must keep changed.
spoils_bp:
        inc     bp
        retf
spoils_si:
        inc     si
        retf
spoils_di:
        inc     di
        retf
spoils_ds:
        push    cs
        pop     ds
        retf

; WORD DirectionFlag(void): AX = the direction flag (0x400) as the procedure was entered with it.
direction_flag:
        pushf
        pop     ax
        and     ax, 0x400
        cld
        retf

routines16_end:

        section .rodata
        align   4
routines16_size dd routines16_end - routines16_start
routines16_offsets:
        dd      add_words - routines16_start
        dd      swap_halves - routines16_start
        dd      pops_too_few - routines16_start
        dd      pops_too_many - routines16_start
        dd      call_back - routines16_start
        dd      mix - routines16_start
        dd      rect_sum - routines16_start
        dd      jump_realloc - routines16_start
        dd      far_return - routines16_start
        dd      load_bad_selector - routines16_start
        dd      spoils_bp - routines16_start
        dd      spoils_si - routines16_start
        dd      spoils_di - routines16_start
        dd      spoils_ds - routines16_start
        dd      direction_flag - routines16_start

        section .note.GNU-stack noalloc noexec nowrite progbits

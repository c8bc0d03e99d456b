; Crossings between the machine's flat 32-bit code and 16-bit code.
;
; sim16_enter copies an argument list onto the 16-bit stack, switches SS:SP to it and far-returns
; into the 16-bit target with the return stub's address as the target's return address. The stub
; (16-bit code made at run time) far-jumps to sim16_leave, which switches back to the flat stack.
;
; A 16-bit entry stub pushes its number and far-jumps to sim16_relay, which saves the 16-bit
; caller's DS, ES, BP, SI and DI, runs sim16_relay_dispatch on the flat stack below the frame
; of the sim16_enter that entered 16-bit code, and returns to the caller with DX:AX set and the
; caller's arguments popped.
        bits 32

        global  sim16_enter, sim16_leave, sim16_relay
        global  sim16_host_ds, sim16_host_ss, sim16_stack_sel, sim16_stack_base
        global  sim16_top, sim16_flat_esp, sim16_ret_ptr
        extern  sim16_relay_dispatch, sim_host_gs, sim_tib_fs

        section .data
sim16_host_ds   dd 0
sim16_host_ss   dd 0
sim16_stack_sel dd 0
sim16_stack_base dd 0
sim16_top       dd 0            ; 16-bit SP below which a new frame goes
sim16_flat_esp  dd 0            ; flat ESP of the innermost sim16_enter
sim16_ret_ptr   dd 0            ; 16:16 address of the return stub

        section .text

; uint32_t sim16_enter(uint32_t target, const void* args, uint32_t nbytes, uint32_t* end_sp)
sim16_enter:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    esi
        push    edi
        push    dword [sim16_flat_esp]
        push    dword [sim16_top]
        mov     [sim16_flat_esp], esp
        mov     ecx, [ebp+16]
        mov     ebx, [sim16_top]
        sub     ebx, ecx                ; the callee's SP: its arguments pushed
        mov     edi, ebx
        add     edi, [sim16_stack_base]
        mov     esi, [ebp+12]
        cld
        rep movsb
        mov     edx, [ebp+8]
        mov     eax, [sim16_ret_ptr]
        mov     cx, [sim16_stack_sel]
        mov     ss, cx
        mov     esp, ebx
        mov     ds, cx                  ; a valid 16-bit DS; the callee sets its own
        mov     es, cx
        push    eax                     ; far return address: offset, then selector above it
        push    edx                     ; the target, popped by the 16-bit far return
        o16 retf

sim16_leave:
        mov     cx, [cs:sim16_host_ds]
        mov     ds, cx
        mov     es, cx
        movzx   ecx, sp                 ; where the callee left SP
        mov     bx, [sim16_host_ss]
        mov     ss, bx
        mov     esp, [sim16_flat_esp]
        pop     dword [sim16_top]
        pop     dword [sim16_flat_esp]
        mov     bx, [sim_host_gs]
        mov     gs, bx
        mov     bx, [sim_tib_fs]
        mov     fs, bx
        mov     ebx, [esp+32]           ; end_sp
        mov     [ebx], ecx
        movzx   eax, ax
        shl     edx, 16
        or      eax, edx
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret

; Entered by far jump from an entry stub: SS:SP holds the stub's number, the caller's far return
; address and the caller's arguments.
sim16_relay:
        movzx   esp, sp
        push    ds
        push    es
        push    ebp
        push    esi
        push    edi                     ; frame: edi esi ebp es ds number ip cs arguments
        mov     ax, [cs:sim16_host_ds]
        mov     ds, ax
        mov     es, ax
        xor     ebx, ebx                ; the caller may have left anything in the upper half
        mov     bx, ss
        mov     ecx, esp
        mov     esi, [sim16_top]
        mov     [sim16_top], ecx        ; a nested call to 16-bit code goes below this frame
        mov     ax, [sim16_host_ss]
        mov     ss, ax
        mov     esp, [sim16_flat_esp]
        push    esi
        push    ebx
        push    ecx
        mov     ax, [sim_host_gs]
        mov     gs, ax
        mov     ax, [sim_tib_fs]
        mov     fs, ax
        push    ebx
        push    ecx
        cld
        call    sim16_relay_dispatch    ; eax: DX:AX, edx: bytes of arguments to pop
        add     esp, 8
        pop     ecx
        pop     ebx
        pop     esi
        mov     [sim16_top], esi
        mov     ss, bx
        mov     esp, ecx
        mov     ecx, edx
        mov     edx, eax
        shr     edx, 16
        pop     edi
        pop     esi
        pop     ebp
        pop     es
        pop     ds
        mov     ebx, [esp+2]            ; the caller's IP and CS, moved above its arguments
        mov     [esp+ecx+2], ebx
        lea     esp, [esp+ecx+2]
        o16 retf

        section .note.GNU-stack noalloc noexec nowrite progbits

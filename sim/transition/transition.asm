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
        global  sim16_top, sim16_flat_esp, sim16_ret_ptr, sim16_enter_std
        extern  sim16_relay_dispatch, sim_host_gs, sim_tib_fs

; The values a 16-bit procedure is entered with in BP, SI and DI (transition.h, kMark*).
MARK_BP equ 0x7EB0B0B0
MARK_SI equ 0x7E515151
MARK_DI equ 0x7ED1D1D1
; Left16 (transition.cpp): where a 16-bit procedure left SP, SS, DS, BP, SI and DI.
LEFT_SP equ 0
LEFT_SS equ 4
LEFT_DS equ 6
LEFT_BP equ 8
LEFT_SI equ 10
LEFT_DI equ 12

        section .data
sim16_host_ds   dd 0
sim16_host_ss   dd 0
sim16_stack_sel dd 0
sim16_stack_base dd 0
sim16_top       dd 0            ; 16-bit SP below which a new frame goes
sim16_flat_esp  dd 0            ; flat ESP of the innermost sim16_enter
sim16_ret_ptr   dd 0            ; 16:16 address of the return stub
sim16_enter_std db 0            ; non-zero: 16-bit procedures are entered with DF set

        section .text

; uint32_t sim16_enter(uint32_t target, const void* args, uint32_t nbytes, Left16* left)
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
        cmp     byte [sim16_enter_std], 0
        je      .flags
        std                             ; the convention does not promise a clear direction flag
.flags: mov     ebp, MARK_BP            ; marks that the callee must give back
        mov     esi, MARK_SI
        mov     edi, MARK_DI
        mov     cx, [sim16_stack_sel]
        mov     ss, cx
        mov     esp, ebx
        mov     ds, cx                  ; a valid 16-bit DS; the callee sets its own
        mov     es, cx
        push    eax                     ; far return address: offset, then selector above it
        push    edx                     ; the target, popped by the 16-bit far return
        o16 retf

; What the callee left in SS:SP, DS, BP, SI and DI goes to the caller's Left16 record.
sim16_leave:
        mov     bx, ds
        shl     ebx, 16
        mov     bx, ss                  ; EBX: DS in the high half, SS in the low half
        movzx   ecx, sp
        mov     ds, word [cs:sim16_host_ds]
        mov     es, word [sim16_host_ds]
        mov     ss, word [sim16_host_ss]
        mov     esp, [sim16_flat_esp]
        pop     dword [sim16_top]
        pop     dword [sim16_flat_esp]
        mov     gs, word [sim_host_gs]
        mov     fs, word [sim_tib_fs]
        cld
        push    eax
        mov     eax, [esp+36]           ; left
        mov     [eax+LEFT_SP], ecx
        mov     [eax+LEFT_SS], ebx
        mov     [eax+LEFT_BP], bp
        mov     [eax+LEFT_SI], si
        mov     [eax+LEFT_DI], di
        pop     eax
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

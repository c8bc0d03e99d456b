; KERNEL32's 32-to-16 thunk services for direct calls: QT_Thunk, SMapLS and SUnMapLS, and the
; frame-slot variants SMapLS_IP_EBP_N / SUnMapLS_IP_EBP_N. They keep exactly the register
; contract that callers may rely on and spoil everything else, so that a call site relying on
; more fails.
        bits 32

JUNK_EAX_HIGH   equ 0xDEAD0000
JUNK_EDX_HIGH   equ 0xBEEF0000
JUNK_EBX        equ 0x0BADF00D
JUNK_ECX        equ 0xC0FFEE00
JUNK_ESI        equ 0x5EED5EED
JUNK_EDI        equ 0xD15EA5ED

        extern  sim_qt_thunk_body, sim_map_slot, sim_unmap_slot, sim_map_flat, sim_unmap_token
        extern  sim_ft_thunk_body, sim_ft_exit_check

; The flat-thunk frame's 64-byte area below EBP, as FT_Prolog lays it out.
FT_TARGET       equ -4
FT_EBX          equ -8
FT_ESI          equ -12
FT_EDI          equ -16
FT_MASK         equ -20                 ; the translation mask, the caller's to set
FT_ARGBYTES     equ -24                 ; CH at FT_Prolog
FT_MARK         equ -28
FT_MARK_VALUE   equ 0x46545046          ; "FPTF": a frame that FT_Prolog opened
FT_AREA         equ 64
FT_FREE_DWORDS  equ 9                   ; EBP-64 .. EBP-29: unused, filled to catch writes
FT_FREE_VALUE   equ 0x45455246          ; "FREE"

        section .text

; QT_Thunk: EDX = the 16-bit target; the argument list lies between ESP (above the return
; address) and the caller's saved registers below its 60-byte area. Returns DX:AX with the
; arguments removed and EBP kept.
        global  QT_Thunk
QT_Thunk:
        mov     eax, esp
        push    eax
        push    ebp
        push    edx
        cld
        call    sim_qt_thunk_body       ; eax: DX:AX, edx: ESP once the arguments are removed
        add     esp, 12
        mov     ecx, [esp]              ; return address
        mov     esp, edx
        push    ecx
        mov     ebx, eax
        shr     ebx, 16
        and     eax, 0xFFFF
        or      eax, JUNK_EAX_HIGH
        mov     edx, JUNK_EDX_HIGH
        mov     dx, bx
        mov     ebx, JUNK_EBX
        mov     ecx, JUNK_ECX
        mov     esi, JUNK_ESI
        mov     edi, JUNK_EDI
        ret

; SMapLS_IP_EBP_N: maps the flat pointer in the caller's slot at EBP+N; the 16:16 pointer is
; returned in EAX and written over the slot.
%macro MAP_SLOT 1
        global  SMapLS_IP_EBP_%1
SMapLS_IP_EBP_%1:
        lea     eax, [ebp+%1]
        push    eax
        call    sim_map_slot
        add     esp, 4
        mov     ecx, JUNK_ECX
        mov     edx, JUNK_EDX_HIGH
        ret
%endmacro

; SUnMapLS_IP_EBP_N: releases the mapping made for the slot at EBP+N; EAX and EBX are kept.
%macro UNMAP_SLOT 1
        global  SUnMapLS_IP_EBP_%1
SUnMapLS_IP_EBP_%1:
        push    eax
        lea     eax, [ebp+%1]
        push    eax
        call    sim_unmap_slot
        add     esp, 4
        pop     eax
        mov     ecx, JUNK_ECX
        mov     edx, JUNK_EDX_HIGH
        ret
%endmacro

%assign n 8
%rep 6
        MAP_SLOT n
        UNMAP_SLOT n
%assign n n+4
%endrep
        MAP_SLOT 36
        UNMAP_SLOT 36
        MAP_SLOT 40
        UNMAP_SLOT 40

; SMapLS: EAX = a flat pointer; returns EAX = its 16:16 pointer, EDX = the release token.
        global  SMapLS
SMapLS:
        push    eax
        call    sim_map_flat            ; returns the pointer in eax, the token in edx
        add     esp, 4
        mov     ecx, JUNK_ECX
        ret

; SUnMapLS: ECX = a release token; keeps EBX.
        global  SUnMapLS
SUnMapLS:
        push    ecx
        call    sim_unmap_token
        add     esp, 4
        mov     eax, JUNK_EAX_HIGH
        mov     ecx, JUNK_ECX
        mov     edx, JUNK_EDX_HIGH
        ret

; FT_Prolog: EDX = the 16-bit target, CH = the byte size of the caller's arguments. Opens the
; frame: EBP, the 64-byte area with the mask cleared, ESP at EBP-64. The area's unused bytes
; are filled so that FT_Thunk and FT_Exit can tell that the caller wrote nothing there.
        global  FT_Prolog
FT_Prolog:
        pop     eax
        push    ebp
        mov     ebp, esp
        sub     esp, FT_AREA
        mov     [ebp+FT_TARGET], edx
        mov     [ebp+FT_EBX], ebx
        mov     [ebp+FT_ESI], esi
        mov     [ebp+FT_EDI], edi
        mov     dword [ebp+FT_MASK], 0
        movzx   ecx, ch
        mov     [ebp+FT_ARGBYTES], ecx
        mov     dword [ebp+FT_MARK], FT_MARK_VALUE
        mov     ecx, FT_FREE_DWORDS
.fill:  mov     dword [ebp-FT_AREA-4+4*ecx], FT_FREE_VALUE
        loop    .fill
        jmp     eax

; FT_Thunk: calls the frame's target with the bytes between ESP and the 64-byte area, each
; argument that the mask flags translated to a 16:16 pointer. Returns AX; ESP unchanged.
        global  FT_Thunk
FT_Thunk:
        mov     eax, esp
        push    eax
        push    ebp
        cld
        call    sim_ft_thunk_body
        add     esp, 8
        and     eax, 0xFFFF
        or      eax, JUNK_EAX_HIGH
        mov     ebx, JUNK_EBX
        mov     ecx, JUNK_ECX
        mov     edx, JUNK_EDX_HIGH
        mov     esi, JUNK_ESI
        mov     edi, JUNK_EDI
        ret

; FT_ExitNN: jumped to with EBX = the result. Closes the frame, gives back the caller's EBX, ESI
; and EDI, and returns removing NN bytes of arguments.
%macro FT_EXIT 1
        global  FT_Exit%1
FT_Exit%1:
        push    %1
        push    ebp
        call    sim_ft_exit_check
        add     esp, 8
        mov     eax, ebx
        mov     ebx, [ebp+FT_EBX]
        mov     esi, [ebp+FT_ESI]
        mov     edi, [ebp+FT_EDI]
        mov     dword [ebp+FT_MARK], 0
        mov     esp, ebp
        pop     ebp
        ret     %1
%endmacro
        FT_EXIT 12
        FT_EXIT 16
        FT_EXIT 20
        FT_EXIT 24
        FT_EXIT 36
        FT_EXIT 48

        section .note.GNU-stack noalloc noexec nowrite progbits

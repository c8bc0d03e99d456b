; The work block: a 32-byte header and the 16-bit routines that record the font manager's
; callbacks into the RecordBuffer. Assembled to a flat 540-byte image (nasm -f bin); the library
; fills the header and copies the image into 16-bit memory, where it runs through a code alias.
;
; Every address here is a header field or an offset within the block, so the image needs no
; relocation. The entry offsets and the resume offsets pushed by GrowRoutine are fixed; the
; assertions below stop the build if any of them moves. The header's layout is WorkBlockHeader's.
        bits 16
        org 0

%include "offsets.inc"          ; WB_*: the header's fields, laid out by WorkBlockHeader (access16.h)
DATA_SEL        equ WB_DataSel
LOCK_ENTRY      equ WB_LockEntry
REALLOC_ENTRY   equ WB_ReallocEntry
CAPACITY        equ WB_Capacity
WRITE_OFFSET    equ WB_WriteOffset
BUFFER_SEL      equ WB_BufferSel
BUFFER_HANDLE   equ WB_BufferHandle
FAR_RETURN      equ WB_FarReturn
GROW_ENTRY      equ WB_GrowEntry
REFUSED         equ WB_Refused

ROOM            equ 0x400       ; bytes that GrowRoutine guarantees before each record
GROW_STEP       equ 0x8000
FLAGS_MOVABLE   equ 2

%macro AT 1                     ; pad with zeros up to offset %1; fails if the code ran past it
        times %1 - ($ - $$) db 0
%endmacro

%macro ASSERT_AT 2              ; label, offset
  %if %1 - $$ != %2
    %error %1 is not at %2
  %endif
%endmacro

header:                         ; zero in the image; the library fills it when it builds the block
        times WB_HeaderSize db 0

; GrowRoutine, entered by near call through GrowEntry (make_room, for every recorder). Makes sure
; ROOM bytes are free at WriteOffset, growing the buffer by GROW_STEP through KERNEL if not.
; Returns with DS = DataSel, carry clear when there is room, carry set and AX = 0 when the buffer
; cannot grow. KERNEL is entered by far jumps that return through the font manager's far-return
; byte, which then resumes this routine at the offset pushed beforehand.
grow_routine:
        mov     ds, [cs:DATA_SEL]
        mov     eax, [CAPACITY]
        sub     eax, [WRITE_OFFSET]
        cmp     eax, ROOM
        jae     .room
        mov     eax, [CAPACITY]
        add     eax, GROW_STEP
        push    eax                             ; the new capacity, popped once the growth worked
        push    cs
        push    word .reallocated
        push    word [BUFFER_HANDLE]            ; GlobalReAlloc(handle, size, flags)
        push    eax
        push    word FLAGS_MOVABLE
        push    dword [FAR_RETURN]
        jmp     far [REALLOC_ENTRY]
.reallocated:
        test    ax, ax
        jnz     .grown
        add     sp, 4
        stc
        ret
.grown:
        mov     [BUFFER_HANDLE], ax
        pop     dword [CAPACITY]
        push    cs
        push    word .locked
        push    ax                              ; GlobalLock(handle)
        push    dword [FAR_RETURN]
        jmp     far [LOCK_ENTRY]
.locked:
        mov     [BUFFER_SEL], dx
.room:
        clc
        ret
ASSERT_AT grow_routine, 0x20
ASSERT_AT grow_routine.reallocated, 0x57
ASSERT_AT grow_routine.locked, 0x76
ASSERT_AT grow_routine.room, 0x7A

; The recorder frame: BP, DS, SI and DI saved; room made; ES:EDI at the write position.
%macro RECORDER_ENTER 1         ; %1: where to go when the buffer cannot grow (AX = 0)
        push    bp
        mov     bp, sp
        push    ds
        push    si
        push    di
        call    make_room
        jc      %1
%endmacro

%macro WRITE_POSITION 0
        cld
        les     edi, [WRITE_OFFSET]             ; EDI = WriteOffset, ES = BufferSel
%endmacro

%macro RECORDER_LEAVE 2         ; %1: the label of the exit, %2: argument bytes to remove
        mov     [WRITE_OFFSET], edi
        mov     ax, 1
%1:
        pop     di
        pop     si
        pop     ds
        pop     bp
        retf    %2
%endmacro

%macro SOURCE 1                 ; DS:ESI = the far pointer argument at %1
        lds     si, [%1]
        movzx   esi, si
%endmacro

; EnumFontsRecorder(A, S, V, client): V, 50 bytes from A, the string S with its NUL.
        AT      0x80
enum_fonts_recorder:
        RECORDER_ENTER .exit
        WRITE_POSITION
        mov     ax, [bp+10]                     ; V
        a32 stosw
        push    ds
        SOURCE  bp+16                           ; A
        mov     ecx, 25
        a32 rep movsw
        SOURCE  bp+12                           ; S
        mov     cx, ROOM - 52
        call    copy_string
        pop     ds
        RECORDER_LEAVE .exit, 14
ASSERT_AT enum_fonts_recorder, 0x80

; EnumMMFontsRecorder(A, M): 320 bytes from A when M is 0; otherwise the word at A+4 and the
; string that the far pointer at A+0 addresses, with its NUL.
        AT      0xC8
enum_mm_fonts_recorder:
        RECORDER_ENTER .exit
        WRITE_POSITION
        push    ds
        SOURCE  bp+10                           ; A
        cmp     dword [bp+6], 0                 ; M
        jne     .name
        mov     ecx, 160
        a32 rep movsw
        jmp     .copied
.name:
        mov     ax, [si+4]
        a32 stosw
        lds     si, [si]
        movzx   esi, si
        mov     cx, ROOM - 2
        call    copy_string
.copied:
        pop     ds
        RECORDER_LEAVE .exit, 8
ASSERT_AT enum_mm_fonts_recorder, 0xC8

; OutlineRecorder1(client): the type 1.
        AT      0x118
outline_recorder1:
        RECORDER_ENTER .exit
        WRITE_POSITION
        mov     eax, 1
        a32 stosd
        RECORDER_LEAVE .exit, 4
ASSERT_AT outline_recorder1, 0x118

; OutlineRecorder2(P1, P2, P3, client): the type 2, then two dwords from each point in order.
        AT      0x148
outline_recorder2:
        RECORDER_ENTER .exit
        WRITE_POSITION
        mov     eax, 2
        a32 stosd
        push    ds
        SOURCE  bp+18                           ; P1
        a32 movsd
        a32 movsd
        SOURCE  bp+14                           ; P2
        a32 movsd
        a32 movsd
        SOURCE  bp+10                           ; P3
        a32 movsd
        a32 movsd
        pop     ds
        RECORDER_LEAVE .exit, 16
ASSERT_AT outline_recorder2, 0x148

; OutlineRecorder3(P, client) and OutlineRecorder4(P, client): the type (3 or 4, carried in DI
; across the growth, which keeps DI), then two dwords from P. The fourth shares the third's code.
        AT      0x1A0
outline_recorder3:
        push    bp
        mov     bp, sp
        push    ds
        push    si
        push    di
        mov     di, 3
one_point:
        call    make_room
        jc      .exit
        movzx   eax, di
        WRITE_POSITION
        a32 stosd
        push    ds
        SOURCE  bp+10                           ; P
        a32 movsd
        a32 movsd
        pop     ds
        RECORDER_LEAVE .exit, 8
ASSERT_AT outline_recorder3, 0x1A0

        AT      0x1E0
outline_recorder4:
        push    bp
        mov     bp, sp
        push    ds
        push    si
        push    di
        mov     di, 4
        jmp     one_point
ASSERT_AT outline_recorder4, 0x1E0

; Copies the string at DS:ESI to ES:EDI with its NUL, storing at most CX bytes (CX >= 1): a
; longer string is cut short and still ends with a NUL, so that a record never outgrows the
; ROOM that GrowRoutine made for it.
copy_string:
        a32 lodsb
        dec     cx
        jz      .last
        a32 stosb
        test    al, al
        jnz     copy_string
        ret
.last:
        mov     al, 0
        a32 stosb
        ret

; Room for a record, as every recorder asks for it: GrowRoutine through GrowEntry, returning as
; GrowRoutine does. A refusal (the buffer cannot grow) is also marked in the header, where it
; stays until the library allocates the next RecordBuffer: the font manager may go on after a
; refused record and still answer success, and the records would then be incomplete.
make_room:
        call    [cs:GROW_ENTRY]
        jnc     .room
        mov     word [REFUSED], 1               ; DS = DataSel; MOV keeps the carry set
.room:
        ret

        AT      540

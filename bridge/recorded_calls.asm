; The recording calls: ATM's enumerations and its outline, each handed the work block's recorders
; in place of the caller's callbacks. The operations test the entry point before calling.
        bits 32
%include "callsite.inc"

        section .text
;        name         result  unbound  arguments
ATM_CALL EnumFonts,   SX,     CODE,    W, D, D
ATM_CALL EnumMMFonts, SX,     CODE,    W, P, D, D
ATM_CALL GetOutline,  SX,     CODE,    W, W, P, D, D, D, D, D

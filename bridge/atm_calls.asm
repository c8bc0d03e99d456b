; The calls of ATM's entry points that font management makes, one line each: the 16-bit argument
; list first to last, the widening of ATM's result, and the result when the entry point is 0.
        bits 32
%include "callsite.inc"

        section .text
;        name             result  unbound  arguments
ATM_CALL IsUp,            SX,     ZERO
ATM_CALL AddFont,         SX,     CODE,    W, P, W, P, P, W
ATM_CALL RemoveFont,      SX,     CODE,    W, P, W
ATM_CALL BeginFontChange, SX,     CODE
ATM_CALL ForceFontChange, SX,     CODE
ATM_CALL EndFontChange,   SX,     CODE
ATM_CALL GetVersion,      ZX,     ZERO

; The font information queries, one line each: the widening of ATM's result, the result when
; the entry point is 0, and the 16-bit argument list first to last. Each removes its own
; arguments. ATMSelectObject hands back a 16-bit value through an output variable, so it goes
; through the flat thunk; the variable reaches the caller zero-extended.
        bits 32
%include "flat_thunk.inc"

        section .text
;         name               result  unbound  arguments
ATM_QUERY FontSelected,      SX,     ZERO,    W
ATM_QUERY GetFontBBox,       SX,     CODE,    W, P
ATM_QUERY GetFontPaths,      SX,     CODE,    W, P, P
ATM_QUERY GetMenuName,       SX,     CODE,    W, P, P
ATM_QUERY GetPostScriptName, SX,     CODE,    W, P, P

;         name               unbound  arguments
FLAT_CALL SelectObject,      CODE,    W, W, W, OUTZX

; The flat-thunk calls of ATM's text output and font availability, one line each: the result
; when the entry point is 0, then the 16-bit argument list first to last.
        bits 32
%include "flat_thunk.inc"

        section .text
;         name                 unbound  arguments
FLAT_CALL BBoxBaseXYShowText,  ZERO,    W, W, W, W, R, P, W, P, P, W, G, G
FLAT_CALL XYShowText,          ZERO,    W, W, W, W, R, P, W, P, P
FLAT_CALL FontAvailable,       ZERO,    P, W, W, W, W, OUTSX

; Call sites that exercise every argument kind and widening of the call-site macro; linked into
; the test-only DLL only. Their target is TestCallTarget.
        bits 32
%include "callsite.inc"

        section .bss
        global  _TestCallTarget
_TestCallTarget resd 1

        section .text
CALL_SITE TestCallSignExtended, [_TestCallTarget], SX,   W
CALL_SITE TestCallZeroExtended, [_TestCallTarget], ZX,   W
CALL_SITE TestCallJoined,       [_TestCallTarget], JOIN, D
CALL_SITE TestCallKept,         [_TestCallTarget], KEEP
CALL_SITE TestCallEverySlot,    [_TestCallTarget], SX,   P, P, P, P, P, P, W, P, P

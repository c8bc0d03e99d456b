; WorkBlockImage: the work block's 540-byte image, assembled from workblock16.asm, in the
; library's writable data (the library fills its header before each build).
        bits 32
        section .data
        global  _WorkBlockImage
_WorkBlockImage:
        incbin  "workblock16.bin"
%if $ - _WorkBlockImage != 540
  %error "the work block image must be 540 bytes"
%endif

; First instructions of the fault handler. The faulting code may have left any selector in GS
; (the C library's thread pointer) and FS (the TIB), so both are reloaded before C++ runs; the
; interrupted values stay in the signal context and come back on return.
        bits 32
        global  sim_fault_entry
        extern  sim_fault_dispatch, sim_host_gs, sim_tib_fs

        section .text
sim_fault_entry:
        cld
        mov     ax, [sim_host_gs]
        mov     gs, ax
        mov     ax, [sim_tib_fs]
        mov     fs, ax
        jmp     sim_fault_dispatch

        section .note.GNU-stack noalloc noexec nowrite progbits

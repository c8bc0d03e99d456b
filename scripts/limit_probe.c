/* Does this host run the test machine natively? Exit 0 when it executes this i386 program and
 * the processor enforces segment limits: a read one byte past the limit of a 16-bit data segment
 * faults. Exit 1 when the read succeeds (an emulator that does not check limits), 2 when no LDT
 * descriptor can be made. A host that cannot execute i386 code never gets to run it. */
#include <asm/ldt.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static sigjmp_buf escape;

static void on_fault(int sig)
{
    (void)sig;
    siglongjmp(escape, 1);
}

int main(void)
{
    static unsigned char memory[4096]; /* the byte past the limit is mapped memory */
    struct user_desc d;
    memset(&d, 0, sizeof d);
    d.entry_number = 1;
    d.base_addr = (unsigned)(unsigned long)memory;
    d.limit = 0xFF;
    d.useable = 1;
    if (syscall(SYS_modify_ldt, 0x11, &d, sizeof d) != 0) return 2;
    signal(SIGSEGV, on_fault);
    signal(SIGBUS, on_fault);
    unsigned short selector = 1 << 3 | 7;
    if (sigsetjmp(escape, 1) != 0) return 0;
    unsigned char byte;
    __asm__ volatile("push %%es\n\tmov %w1, %%es\n\tmovb %%es:0x100, %0\n\tpop %%es"
                     : "=q"(byte) : "r"(selector) : "memory");
    (void)byte;
    return 1;
}

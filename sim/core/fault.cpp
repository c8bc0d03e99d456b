#include "fault.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <cstring>

#include "ldt.h"

extern "C" {
void sim_fault_entry(int, siginfo_t*, void*);
void sim_fault_dispatch(int, siginfo_t*, void*);
uint16_t sim_host_gs;
uint16_t sim_tib_fs;
}

namespace sim {
namespace {

win32::Tib* tib;
sigjmp_buf copy_escape;
volatile bool copy_active;
uint32_t repeat_eip;
unsigned repeat_count;
constexpr unsigned kRepeatLimit = 1000;

const char* CodeName(win32::DWORD code)
{
    switch (code) {
    case win32::kAccessViolation: return "access violation";
    case win32::kIllegalInstruction: return "illegal instruction";
    case win32::kIntegerDivideByZero: return "integer divide by zero";
    }
    return "exception";
}

[[noreturn]] void Fatal(const win32::ExceptionRecord& rec, const win32::Context& ctx, const char* why)
{
    char line[256];
    int n = std::snprintf(line, sizeof line,
                          "sim: %s: exception 0x%08X (%s) at %04X:%08X, fault address 0x%08X\n",
                          why, rec.ExceptionCode, CodeName(rec.ExceptionCode), ctx.SegCs, ctx.Eip,
                          rec.NumberParameters >= 2 ? rec.ExceptionInformation[1] : 0u);
    if (write(2, line, n) < 0) {}
    _exit(kUnhandledFaultExit);
}

void ToContext(const mcontext_t& m, win32::Context& c)
{
    c.ContextFlags = 0x10007;  // control, integer, segments
    c.SegGs = m.gregs[REG_GS] & 0xFFFF;
    c.SegFs = m.gregs[REG_FS] & 0xFFFF;
    c.SegEs = m.gregs[REG_ES] & 0xFFFF;
    c.SegDs = m.gregs[REG_DS] & 0xFFFF;
    c.Edi = m.gregs[REG_EDI];
    c.Esi = m.gregs[REG_ESI];
    c.Ebx = m.gregs[REG_EBX];
    c.Edx = m.gregs[REG_EDX];
    c.Ecx = m.gregs[REG_ECX];
    c.Eax = m.gregs[REG_EAX];
    c.Ebp = m.gregs[REG_EBP];
    c.Eip = m.gregs[REG_EIP];
    c.SegCs = m.gregs[REG_CS] & 0xFFFF;
    c.EFlags = m.gregs[REG_EFL];
    c.Esp = m.gregs[REG_ESP];
    c.SegSs = m.gregs[REG_SS] & 0xFFFF;
}

void FromContext(const win32::Context& c, mcontext_t& m)
{
    m.gregs[REG_GS] = c.SegGs & 0xFFFF;
    m.gregs[REG_FS] = c.SegFs & 0xFFFF;
    m.gregs[REG_ES] = c.SegEs & 0xFFFF;
    m.gregs[REG_DS] = c.SegDs & 0xFFFF;
    m.gregs[REG_EDI] = c.Edi;
    m.gregs[REG_ESI] = c.Esi;
    m.gregs[REG_EBX] = c.Ebx;
    m.gregs[REG_EDX] = c.Edx;
    m.gregs[REG_ECX] = c.Ecx;
    m.gregs[REG_EAX] = c.Eax;
    m.gregs[REG_EBP] = c.Ebp;
    m.gregs[REG_EIP] = c.Eip;
    m.gregs[REG_CS] = c.SegCs & 0xFFFF;
    m.gregs[REG_EFL] = c.EFlags;
    m.gregs[REG_ESP] = c.Esp;
    m.gregs[REG_SS] = c.SegSs & 0xFFFF;
}

void ToRecord(int sig, const siginfo_t* si, const mcontext_t& m, win32::ExceptionRecord& rec)
{
    rec.ExceptionAddress = m.gregs[REG_EIP];
    if (sig == SIGILL) {
        rec.ExceptionCode = win32::kIllegalInstruction;
    } else if (sig == SIGFPE) {
        rec.ExceptionCode = win32::kIntegerDivideByZero;
    } else {
        // A page fault reports its address; a protection fault (a bad selector, a gate) has
        // none, and Windows gives 0xFFFFFFFF then.
        rec.ExceptionCode = win32::kAccessViolation;
        rec.NumberParameters = 2;
        bool page_fault = si->si_code == SEGV_MAPERR || si->si_code == SEGV_ACCERR;
        rec.ExceptionInformation[0] = page_fault ? (m.gregs[REG_ERR] >> 1 & 1) : 0;
        rec.ExceptionInformation[1] = page_fault ? (uint32_t)(uintptr_t)si->si_addr : 0xFFFFFFFFu;
    }
}

}  // namespace

win32::Tib* CurrentTib() { return tib; }
uint16_t TibSelector() { return sim_tib_fs; }
uint16_t HostGs() { return sim_host_gs; }

bool CopyGuarded(void* dst, const void* src, size_t n)
{
    if (sigsetjmp(copy_escape, 1) != 0) {
        copy_active = false;
        return false;
    }
    copy_active = true;
    volatile uint8_t* d = (volatile uint8_t*)dst;
    const volatile uint8_t* s = (const volatile uint8_t*)src;
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    copy_active = false;
    return true;
}

void InstallFaultHandling()
{
    if (tib != nullptr) return;
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    tib = (win32::Tib*)page;
    tib->ExceptionList = win32::kChainEnd;
    tib->Self = (uint32_t)(uintptr_t)tib;
    SegmentSpec spec;
    spec.base = tib->Self;
    spec.limit = 0xFFF;
    spec.bits32 = true;
    sim_tib_fs = AllocSelector(spec);
    __asm__ volatile("mov %%gs, %0" : "=r"(sim_host_gs));
    __asm__ volatile("mov %0, %%fs" ::"r"((uint32_t)sim_tib_fs));

    static uint8_t alt_stack[256 * 1024];
    stack_t ss;
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    ss.ss_flags = 0;
    sigaltstack(&ss, nullptr);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = sim_fault_entry;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(sig, &sa, nullptr);
}

}  // namespace sim

using namespace sim;

extern "C" void sim_fault_dispatch(int sig, siginfo_t* si, void* ucv)
{
    if (copy_active) siglongjmp(copy_escape, 1);
    mcontext_t& m = ((ucontext_t*)ucv)->uc_mcontext;
    win32::ExceptionRecord rec;
    win32::Context ctx;
    std::memset(&rec, 0, sizeof rec);
    std::memset(&ctx, 0, sizeof ctx);
    ToRecord(sig, si, m, rec);
    ToContext(m, ctx);
    uint32_t fault_eip = ctx.Eip;

    for (uint32_t link = tib->ExceptionList; link != win32::kChainEnd && link != 0;) {
        auto* reg = (win32::ExceptionRegistration*)(uintptr_t)link;
        win32::Context trial = ctx;
        win32::DWORD verdict = reg->Handler(&rec, reg, &trial, nullptr);
        if (verdict == win32::kExceptionContinueExecution) {
            // A handler that resumes the faulting instruction without curing it would spin for
            // ever; past a generous limit the run ends instead.
            repeat_count = (trial.Eip == fault_eip && repeat_eip == fault_eip) ? repeat_count + 1 : 0;
            repeat_eip = trial.Eip;
            if (repeat_count > kRepeatLimit) Fatal(rec, ctx, "the handler resumes the same fault again and again");
            FromContext(trial, m);
            return;
        }
        if (verdict != win32::kExceptionContinueSearch) Fatal(rec, ctx, "a handler gave an invalid disposition");
        link = (uint32_t)(uintptr_t)reg->Next;
    }
    Fatal(rec, ctx, "unhandled fault");
}

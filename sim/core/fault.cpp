#include "fault.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <string>

#include "ldt.h"

extern "C" {
void sim_fault_entry(int, siginfo_t*, void*);
void sim_fault_dispatch(int, siginfo_t*, void*);
uint16_t sim_host_gs;
uint16_t sim_tib_fs;
uint16_t sim_host_cs, sim_host_ds;
extern void* __libc_stack_end;
}

namespace sim {
namespace {

using win32::Context;
using win32::DWORD;
using win32::ExceptionRecord;

constexpr DWORD kTrapFlag = 0x100, kOverflowFlag = 0x800;
constexpr uint32_t kBreakpointBreak = 0;  // ExceptionInformation[0] of an int3

win32::Tib* tib;
sigjmp_buf copy_escape;
volatile bool copy_active;
// The last exception that a handler resumed, and how many times in a row it came back the same.
struct Resumed {
    DWORD code, address;
    Context ctx;
} last_resumed;
unsigned repeat_count;
constexpr unsigned kRepeatLimit = 1000;

// The dispatcher's stack; guest code runs on it only as a handler that the dispatcher called.
uint8_t alt_stack[256 * 1024];

// The dispatch under way, for the report when its handler faults.
struct Dispatch {
    ExceptionRecord rec;
    Context ctx;
    uint32_t record;
    uint32_t handler;
    bool in_handler;
} current;

const char* CodeName(DWORD code)
{
    switch (code) {
    case win32::kAccessViolation: return "access violation";
    case win32::kIllegalInstruction: return "illegal instruction";
    case win32::kPrivilegedInstruction: return "privileged instruction";
    case win32::kIntegerDivideByZero: return "integer divide by zero";
    case win32::kIntegerOverflow: return "integer overflow";
    case win32::kArrayBoundsExceeded: return "array bounds exceeded";
    case win32::kBreakpoint: return "breakpoint";
    case win32::kSingleStep: return "single step";
    case win32::kFloatDenormalOperand: return "float denormal operand";
    case win32::kFloatDivideByZero: return "float divide by zero";
    case win32::kFloatInexactResult: return "float inexact result";
    case win32::kFloatInvalidOperation: return "float invalid operation";
    case win32::kFloatOverflow: return "float overflow";
    case win32::kFloatUnderflow: return "float underflow";
    }
    return "exception";
}

// Appends to a fixed line; signal handlers cannot allocate.
struct Line {
    char text[512];
    size_t size = 0;
    void Add(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text + size, sizeof text - size, format, args);
        va_end(args);
        if (n > 0) size = std::min(sizeof text - 1, size + (size_t)n);
    }
    void Exception(const ExceptionRecord& rec, const Context& ctx)
    {
        Add("exception 0x%08X (%s) at %04X:%08X", rec.ExceptionCode, CodeName(rec.ExceptionCode), ctx.SegCs & 0xFFFF,
            rec.ExceptionAddress);
        if (rec.ExceptionCode == win32::kAccessViolation && rec.NumberParameters >= 2)
            Add(", fault address 0x%08X", rec.ExceptionInformation[1]);
    }
    [[noreturn]] void End(int code)
    {
        Add("\n");
        if (write(2, text, size) < 0) {}
        _exit(code);
    }
};

[[noreturn]] void Fatal(const ExceptionRecord& rec, const Context& ctx, const char* why)
{
    Line line;
    line.Add("sim: %s: ", why);
    line.Exception(rec, ctx);
    line.End(kUnhandledFaultExit);
}

void ToContext(const mcontext_t& m, Context& c)
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

void FromContext(const Context& c, mcontext_t& m)
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

// --- The faulting instruction ------------------------------------------------------------------
// Linux reports a general-protection fault, a privileged instruction, into and bound alike (a
// SIGSEGV without an address), and a divide error whatever its cause; Windows tells them apart
// by the instruction, and so does the machine.

struct Segment {
    uint32_t base = 0;
    bool bits32 = true;
};

// GDT selectors are the host's flat segments; LDT ones are read from the table.
Segment SegmentOf(uint32_t selector)
{
    Segment s;
    win32::LdtEntry e;
    if ((selector & 4) && ReadDescriptor((uint16_t)selector, &e)) {
        s.base = DescriptorBase(e);
        s.bits32 = (e.Flags2 & 0x40) != 0;
    }
    return s;
}

// The readable bytes of the instruction at CS:eip, after its prefixes.
struct Instruction {
    uint8_t bytes[15];
    unsigned size = 0;     // bytes that could be read
    unsigned opcode = 0;   // index of the first byte after the prefixes
    bool operand16 = false, address16 = false;
    int segment = -1;      // segment override: 0 ES, 1 CS, 2 SS, 3 DS, 4 FS, 5 GS

    uint8_t At(unsigned i) const { return opcode + i < size ? bytes[opcode + i] : 0; }
    bool Has(unsigned n) const { return opcode + n <= size; }
};

Instruction ReadInstruction(const Context& c, uint32_t eip)
{
    Instruction in;
    Segment cs = SegmentOf(c.SegCs);
    in.operand16 = in.address16 = !cs.bits32;
    const uint8_t* code = (const uint8_t*)(uintptr_t)(cs.base + eip);
    if (CopyGuarded(in.bytes, code, sizeof in.bytes)) in.size = sizeof in.bytes;
    else  // the instruction ends near the end of what can be read
        while (in.size < sizeof in.bytes && CopyGuarded(&in.bytes[in.size], code + in.size, 1)) ++in.size;
    static const uint8_t kSegmentPrefix[6] = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65};
    for (; in.opcode < in.size; ++in.opcode) {
        uint8_t b = in.bytes[in.opcode];
        if (b == 0x66) in.operand16 = cs.bits32;
        else if (b == 0x67) in.address16 = cs.bits32;
        else if (b == 0xF0 || b == 0xF2 || b == 0xF3) continue;
        else if (const void* p = std::memchr(kSegmentPrefix, b, 6)) in.segment = (int)((const uint8_t*)p - kSegmentPrefix);
        else break;
    }
    return in;
}

// Instructions that fault in user mode because they need privilege level 0 or I/O privilege.
bool IsPrivileged(const Instruction& in)
{
    if (!in.Has(1)) return false;
    switch (in.At(0)) {
    case 0xF4: case 0xFA: case 0xFB:                       // hlt, cli, sti
    case 0x6C: case 0x6D: case 0x6E: case 0x6F:            // ins, outs
    case 0xE4: case 0xE5: case 0xE6: case 0xE7:            // in, out to a port number
    case 0xEC: case 0xED: case 0xEE: case 0xEF:            // in, out through DX
        return true;
    case 0x0F:
        break;
    default:
        return false;
    }
    unsigned reg = in.Has(3) ? in.At(2) >> 3 & 7 : 8;
    switch (in.At(1)) {
    case 0x06: case 0x08: case 0x09:                       // clts, invd, wbinvd
    case 0x20: case 0x21: case 0x22: case 0x23:            // mov to and from CRn, DRn
    case 0x24: case 0x26:                                  // mov to and from TRn
    case 0x30: case 0x32:                                  // wrmsr, rdmsr
        return in.Has(2);
    case 0x00: return reg == 2 || reg == 3;                // lldt, ltr
    case 0x01: return reg == 2 || reg == 3 || reg == 6 || reg == 7;  // lgdt, lidt, lmsw, invlpg
    }
    return false;
}

uint32_t Register(const Context& c, unsigned n)
{
    const DWORD regs[8] = {c.Eax, c.Ecx, c.Edx, c.Ebx, c.Esp, c.Ebp, c.Esi, c.Edi};
    return regs[n & 7];
}

uint32_t SegmentSelector(const Context& c, int segment)
{
    const DWORD selectors[6] = {c.SegEs, c.SegCs, c.SegSs, c.SegDs, c.SegFs, c.SegGs};
    return selectors[segment];
}

// Reads the r/m operand of `width` bytes whose ModRM byte is at index `modrm` of the opcode.
bool ReadOperand(const Context& c, const Instruction& in, unsigned modrm, unsigned width, uint32_t* value)
{
    if (!in.Has(modrm + 1)) return false;
    const unsigned mod = in.At(modrm) >> 6, rm = in.At(modrm) & 7;
    if (mod == 3) {
        uint32_t r = Register(c, width == 1 ? rm & 3 : rm);
        *value = width == 1 ? (rm < 4 ? r : r >> 8) & 0xFF : width == 2 ? r & 0xFFFF : r;
        return true;
    }
    unsigned next = modrm + 1;
    auto take = [&](unsigned bytes, uint32_t* v) {
        if (!in.Has(next + bytes)) return false;
        *v = 0;
        for (unsigned i = 0; i < bytes; ++i) *v |= (uint32_t)in.At(next + i) << 8 * i;
        next += bytes;
        return true;
    };
    uint32_t offset = 0, disp = 0;
    bool stack = false;
    if (in.address16) {
        static const int8_t kBase[8] = {3, 3, 5, 5, -1, -1, 5, 3}, kIndex[8] = {6, 7, 6, 7, 6, 7, -1, -1};
        if (mod == 0 && rm == 6) {
            if (!take(2, &offset)) return false;
        } else {
            if (kBase[rm] >= 0) offset += Register(c, kBase[rm]);
            if (kIndex[rm] >= 0) offset += Register(c, kIndex[rm]);
            stack = kBase[rm] == 5;
        }
        if (mod == 1 && take(1, &disp)) offset += (uint32_t)(int8_t)disp;
        else if (mod == 2 && take(2, &disp)) offset += disp;
        else if (mod != 0) return false;
        offset &= 0xFFFF;
    } else {
        unsigned base = rm;
        if (rm == 4) {
            uint32_t sib;
            if (!take(1, &sib)) return false;
            base = sib & 7;
            unsigned index = sib >> 3 & 7;
            if (index != 4) offset += Register(c, index) << (sib >> 6);
        }
        if (mod == 0 && base == 5) {
            if (!take(4, &disp)) return false;
            offset += disp;
        } else {
            offset += Register(c, base);
            stack = base == 4 || base == 5;
        }
        if (mod == 1 && take(1, &disp)) offset += (uint32_t)(int8_t)disp;
        else if (mod == 2 && take(4, &disp)) offset += disp;
        else if (mod != 0) return false;
    }
    int segment = in.segment >= 0 ? in.segment : stack ? 2 : 3;
    uint32_t linear = SegmentOf(SegmentSelector(c, segment)).base + offset;
    *value = 0;
    return CopyGuarded(value, (const void*)(uintptr_t)linear, width);
}

// A divide error is a division by zero or a quotient too large for its register; Windows tells
// them apart by the divisor (EXCEPTION_INT_DIVIDE_BY_ZERO or EXCEPTION_INT_OVERFLOW). A divisor
// that cannot be read counts as zero, as there.
DWORD DivideErrorCode(const Context& c)
{
    Instruction in = ReadInstruction(c, c.Eip);
    uint8_t op = in.At(0);
    unsigned reg = in.At(1) >> 3 & 7;
    if ((op != 0xF6 && op != 0xF7) || (reg != 6 && reg != 7)) return win32::kIntegerDivideByZero;
    uint32_t divisor;
    unsigned width = op == 0xF6 ? 1 : in.operand16 ? 2 : 4;
    if (!ReadOperand(c, in, 1, width, &divisor) || divisor == 0) return win32::kIntegerDivideByZero;
    return win32::kIntegerOverflow;
}

void AccessViolation(ExceptionRecord& rec, uint32_t write, uint32_t address)
{
    rec.ExceptionCode = win32::kAccessViolation;
    rec.NumberParameters = 2;
    rec.ExceptionInformation[0] = write;
    rec.ExceptionInformation[1] = address;
}

// A SIGSEGV without an address: a general-protection fault, or one of the instructions that
// Linux reports the same way.
void ProtectionFault(Context& ctx, ExceptionRecord& rec)
{
    Instruction in = ReadInstruction(ctx, ctx.Eip);
    uint8_t before = 0;
    if (IsPrivileged(in)) {
        rec.ExceptionCode = win32::kPrivilegedInstruction;
    } else if (in.At(0) == 0x62 && in.Has(2) && in.At(1) >> 6 != 3) {
        rec.ExceptionCode = win32::kArrayBoundsExceeded;  // bound faults at the instruction
    } else if ((ctx.EFlags & kOverflowFlag) && ctx.Eip != 0 &&
               CopyGuarded(&before, (const void*)(uintptr_t)(SegmentOf(ctx.SegCs).base + ctx.Eip - 1), 1) &&
               before == 0xCE) {
        // into traps past itself; Windows reports it at the into and resumes after it.
        rec.ExceptionCode = win32::kIntegerOverflow;
        rec.ExceptionAddress = ctx.Eip - 1;
    } else {
        // A bad selector, a gate, an interrupt the program may not raise: Windows gives no
        // address then, 0xFFFFFFFF.
        AccessViolation(rec, 0, 0xFFFFFFFFu);
    }
}

DWORD FloatCode(int si_code)
{
    switch (si_code) {
    case FPE_FLTDIV: return win32::kFloatDivideByZero;
    case FPE_FLTOVF: return win32::kFloatOverflow;
    case FPE_FLTUND: return win32::kFloatUnderflow;
    case FPE_FLTRES: return win32::kFloatInexactResult;
    case FPE_FLTSUB: return win32::kArrayBoundsExceeded;
    }
    return win32::kFloatInvalidOperation;
}

// The EXCEPTION_RECORD and CONTEXT that Windows gives its handlers for the event that raised
// this signal.
void Translate(int sig, const siginfo_t* si, const mcontext_t& m, ExceptionRecord& rec, Context& ctx)
{
    ToContext(m, ctx);
    rec.ExceptionAddress = ctx.Eip;
    switch (sig) {
    case SIGTRAP:
        if (si->si_code == SI_KERNEL) {
            // int3 traps past itself. Windows reports the breakpoint at the int3 and moves the
            // CONTEXT's Eip back onto it as well (x86 Windows NT, as Wine's conformance tests
            // measure it), so a handler that resumes without moving Eip on runs the int3 again;
            // handlers skip it with Eip += 1.
            rec.ExceptionCode = win32::kBreakpoint;
            rec.ExceptionAddress = ctx.Eip = ctx.Eip - 1;
            rec.NumberParameters = 1;
            rec.ExceptionInformation[0] = kBreakpointBreak;
        } else {
            // The trap flag: Eip is the next instruction, and Windows clears TF in the CONTEXT; a
            // handler sets it again to go on stepping.
            rec.ExceptionCode = win32::kSingleStep;
            ctx.EFlags &= ~kTrapFlag;
        }
        break;
    case SIGILL: {
        // icebp is a debug trap on the processor (qemu reports it as illegal): single step,
        // after the instruction.
        Instruction in = ReadInstruction(ctx, ctx.Eip);
        if (in.opcode == 0 && in.At(0) == 0xF1) {
            rec.ExceptionCode = win32::kSingleStep;
            rec.ExceptionAddress = ctx.Eip = ctx.Eip + 1;
        } else {
            rec.ExceptionCode = win32::kIllegalInstruction;
        }
        break;
    }
    case SIGFPE:
        if (si->si_code == FPE_INTDIV) rec.ExceptionCode = DivideErrorCode(ctx);
        else if (si->si_code == FPE_INTOVF) rec.ExceptionCode = win32::kIntegerOverflow;
        else rec.ExceptionCode = FloatCode(si->si_code);
        break;
    case SIGSEGV:
        if (si->si_code == SEGV_MAPERR || si->si_code == SEGV_ACCERR) {
            AccessViolation(rec, m.gregs[REG_ERR] >> 1 & 1, (uint32_t)(uintptr_t)si->si_addr);
            break;
        }
        ProtectionFault(ctx, rec);
        break;
    default:  // SIGBUS: a segment not present, a stack-segment fault
        AccessViolation(rec, 0, 0xFFFFFFFFu);
        break;
    }
}

// The segment register of a CONTEXT that a handler resumes with whose selector the processor
// would refuse to load, if any. The machine cannot resume with such a CONTEXT (the signal return
// would fail), so it ends the run.
const char* UnusableSegment(const Context& c, uint32_t* selector)
{
    struct Register {
        const char* name;
        uint32_t value;
        bool code, stack;
    } const regs[] = {{"CS", c.SegCs, true, false}, {"SS", c.SegSs, false, true}, {"DS", c.SegDs, false, false},
                      {"ES", c.SegEs, false, false}, {"FS", c.SegFs, false, false}, {"GS", c.SegGs, false, false}};
    for (const Register& r : regs) {
        *selector = r.value & 0xFFFF;  // the upper half of a segment field is not used
        if ((r.value & 0xFFFC) == 0) {  // the null selector: data registers only
            if (r.code || r.stack) return r.name;
            continue;
        }
        const uint32_t sel = *selector;
        if ((sel & 3) != 3) return r.name;
        if ((sel & 4) == 0) {  // the host's own GDT selectors
            bool known = r.code ? sel == sim_host_cs
                                : r.stack ? sel == sim_host_ds
                                          : sel == sim_host_ds || sel == sim_host_cs || sel == sim_host_gs;
            if (!known) return r.name;
            continue;
        }
        win32::LdtEntry e;
        if (!ReadDescriptor((uint16_t)sel, &e)) return r.name;
        const unsigned access = e.Flags1;
        const bool present = access & 0x80, user = (access & 0x60) == 0x60, segment = access & 0x10;
        const bool code = access & 0x08, readable_or_writable = access & 0x02;
        bool fits = r.code ? code : r.stack ? !code && readable_or_writable : !code || readable_or_writable;
        if (!present || !user || !segment || !fits) return r.name;
    }
    return nullptr;
}

// Why the registration record at `link` cannot be used, or null. Windows takes a record only
// when it lies on the thread's stack, aligned, above the record before it; a chain that breaks
// this ends in the unhandled-exception path.
const char* InvalidRecord(uint32_t link, uint32_t previous, win32::ExceptionRegistration* out)
{
    if (link & 3) return "is not aligned";
    if (link < tib->StackLimit || link > tib->StackBase - sizeof *out) return "is not on the stack";
    if (previous != 0 && link <= previous) return "is not above the record before it";
    if (!CopyGuarded(out, (const void*)(uintptr_t)link, sizeof *out)) return "cannot be read";
    return nullptr;
}

[[noreturn]] void InvalidChain(const ExceptionRecord& rec, const Context& ctx, uint32_t link, const char* why)
{
    Line line;
    line.Add("sim: unhandled fault: the exception chain is invalid (its record at 0x%08X %s): ", link, why);
    line.Exception(rec, ctx);
    line.End(kUnhandledFaultExit);
}

// A fault while the dispatcher or a handler that it called ran. Windows would raise it inside the
// dispatch; here it ends the run, naming both exceptions.
[[noreturn]] void DispatchFault(const ExceptionRecord& rec, const Context& ctx)
{
    Line line;
    line.Add("sim: fault during exception dispatch: ");
    line.Exception(rec, ctx);
    if (current.in_handler)
        line.Add(", in the handler at 0x%08X of the record at 0x%08X", current.handler, current.record);
    else
        line.Add(", in the machine's dispatcher");
    line.Add(", while it dispatched ");
    line.Exception(current.rec, current.ctx);
    line.End(kDispatchFaultExit);
}

[[noreturn]] void MachineFailed()
{
    std::string what = "an exception that nothing caught";
    try {
        if (std::exception_ptr e = std::current_exception()) std::rethrow_exception(e);
    } catch (const std::exception& e) {
        what = std::string("uncaught exception: ") + e.what();
    } catch (...) {
    }
    Line line;
    line.Add("sim: the machine failed: %s", what.c_str());
    line.End(kMachineFailureExit);
}

void Aborted(int)
{
    Line line;
    line.Add("sim: the machine failed: it aborted");
    line.End(kMachineFailureExit);
}

bool OnAltStack(uint32_t esp)
{
    return esp >= (uint32_t)(uintptr_t)alt_stack && esp < (uint32_t)(uintptr_t)alt_stack + sizeof alt_stack;
}

// The main thread's stack as the TIB reports it: from the top of the first frame down to the
// stack's size limit.
void SetStackLimits(win32::Tib* t)
{
    uint32_t base = ((uint32_t)(uintptr_t)__libc_stack_end + 0xFFF) & ~0xFFFu;
    rlimit limit;
    uint32_t size = 64u << 20;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < size)
        size = (uint32_t)limit.rlim_cur;
    t->StackBase = base;
    t->StackLimit = base > size ? base - size : 0;
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
    SetStackLimits(tib);
    SegmentSpec spec;
    spec.base = tib->Self;
    spec.limit = 0xFFF;
    spec.bits32 = true;
    sim_tib_fs = AllocSelector(spec);
    __asm__ volatile("mov %%gs, %0" : "=r"(sim_host_gs));
    __asm__ volatile("mov %%cs, %0" : "=r"(sim_host_cs));
    __asm__ volatile("mov %%ds, %0" : "=r"(sim_host_ds));
    __asm__ volatile("mov %0, %%fs" ::"r"((uint32_t)sim_tib_fs));

    stack_t ss;
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    ss.ss_flags = 0;
    sigaltstack(&ss, nullptr);
    // SA_NODEFER: a fault inside the dispatch (a guarded read, a handler) must reach it again.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = sim_fault_entry;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) sigaction(sig, &sa, nullptr);

    std::set_terminate(MachineFailed);
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = Aborted;
    sigaction(SIGABRT, &sa, nullptr);
}

}  // namespace sim

using namespace sim;

extern "C" void sim_fault_dispatch(int sig, siginfo_t* si, void* ucv)
{
    if (copy_active) siglongjmp(copy_escape, 1);
    mcontext_t& m = ((ucontext_t*)ucv)->uc_mcontext;
    ExceptionRecord rec;
    Context ctx;
    std::memset(&rec, 0, sizeof rec);
    std::memset(&ctx, 0, sizeof ctx);
    Translate(sig, si, m, rec, ctx);
    if ((m.gregs[REG_SS] & 4) == 0 && OnAltStack(m.gregs[REG_ESP])) DispatchFault(rec, ctx);
    current.rec = rec;
    current.ctx = ctx;
    current.in_handler = false;

    // Every handler sees the same CONTEXT, with what the handlers before it changed.
    uint32_t previous = 0;
    for (uint32_t link = tib->ExceptionList; link != win32::kChainEnd;) {
        win32::ExceptionRegistration reg;
        if (const char* why = InvalidRecord(link, previous, &reg)) InvalidChain(current.rec, current.ctx, link, why);
        current.record = link;
        current.handler = (uint32_t)(uintptr_t)reg.Handler;
        current.in_handler = true;
        DWORD verdict = reg.Handler(&rec, (void*)(uintptr_t)link, &ctx, nullptr);
        current.in_handler = false;
        if (verdict == win32::kExceptionContinueExecution) {
            // A handler that resumes into the same fault with the same registers each time (at the
            // faulting instruction, or at a resume address that leads back to it) spins for ever;
            // past a generous limit the run ends instead.
            bool same = last_resumed.code == current.rec.ExceptionCode &&
                        last_resumed.address == current.rec.ExceptionAddress &&
                        std::memcmp(&last_resumed.ctx, &ctx, sizeof ctx) == 0;
            repeat_count = same ? repeat_count + 1 : 0;
            last_resumed = {current.rec.ExceptionCode, current.rec.ExceptionAddress, ctx};
            if (repeat_count > kRepeatLimit)
                Fatal(current.rec, current.ctx, "the handler resumes the same fault again and again");
            uint32_t selector;
            if (const char* reg = UnusableSegment(ctx, &selector)) {
                Line line;
                line.Add("sim: a handler resumed with selector 0x%04X in %s, which cannot be loaded: ", selector, reg);
                line.Exception(current.rec, current.ctx);
                line.End(kUnhandledFaultExit);
            }
            FromContext(ctx, m);
            return;
        }
        if (verdict != win32::kExceptionContinueSearch)
            Fatal(current.rec, current.ctx, "a handler gave an invalid disposition");
        previous = link;
        link = (uint32_t)(uintptr_t)reg.Next;
    }
    Fatal(current.rec, current.ctx, "unhandled fault");
}

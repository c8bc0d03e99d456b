#include "transition.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <vector>

#include "../core/ldt.h"
#include "../core/machine.h"

// Where a 16-bit procedure left SP, SS, DS, BP, SI and DI (transition.asm, LEFT_*).
struct Left16 {
    uint32_t sp;
    uint16_t ss, ds, bp, si, di;
};
static_assert(offsetof(Left16, ss) == 4 && offsetof(Left16, ds) == 6 && offsetof(Left16, di) == 12, "Left16");

extern "C" {
uint32_t sim16_enter(uint32_t target, const void* args, uint32_t nbytes, Left16* left);
void sim16_leave();
void sim16_relay();
extern uint32_t sim16_host_ds, sim16_host_ss, sim16_stack_sel, sim16_stack_base;
extern uint32_t sim16_top, sim16_ret_ptr;
extern uint8_t sim16_enter_std;
uint64_t sim16_relay_dispatch(uint32_t sp16, uint32_t ss16);
}

namespace sim {
namespace {

constexpr uint32_t kStackTop = 0xFFF0;
constexpr unsigned kStubSize = 16;
constexpr unsigned kStubArea = 0x1000;
constexpr unsigned kFrameArgs = 26;  // saved EDI ESI EBP ES DS, the stub's number, IP, CS

struct Entry {
    Body16 body;
    unsigned arg_bytes;
    void* context;
};

GuardedBlock stack_block, stub_block;
uint16_t stub_selector;
std::vector<Entry> entries;
std::map<uint16_t, GuardedBlock> code_segments;
unsigned depth;

// jmp far sel32:offset32, from 16-bit code: 66 EA offset32 selector16
void EmitFarJump32(uint8_t* at, void (*target)())
{
    uint16_t cs;
    __asm__("mov %%cs, %0" : "=r"(cs));
    uint32_t offset = (uint32_t)(uintptr_t)target;
    at[0] = 0x66;
    at[1] = 0xEA;
    std::memcpy(at + 2, &offset, 4);
    std::memcpy(at + 6, &cs, 2);
}

}  // namespace

void InitTransitions()
{
    if (sim16_stack_sel != 0) return;
    uint16_t ds, ss;
    __asm__("mov %%ds, %0" : "=r"(ds));
    __asm__("mov %%ss, %0" : "=r"(ss));
    sim16_host_ds = ds;
    sim16_host_ss = ss;

    stack_block = AllocGuarded(0x10000);
    SegmentSpec stack;
    stack.base = (uint32_t)(uintptr_t)stack_block.data;
    stack.limit = 0xFFFF;
    sim16_stack_sel = AllocSelector(stack);
    sim16_stack_base = stack.base;
    sim16_top = kStackTop;

    stub_block = AllocGuarded(kStubArea, true);
    SegmentSpec code;
    code.base = (uint32_t)(uintptr_t)stub_block.data;
    code.limit = kStubArea - 1;
    code.kind = SegKind::Code;
    stub_selector = AllocSelector(code);
    EmitFarJump32(stub_block.data, sim16_leave);  // the return stub, at offset 0
    sim16_ret_ptr = MakeFar(stub_selector, 0);
}

uint32_t CallTo16Popping(FarPtr16 target, const void* args, unsigned nbytes, int* popped)
{
    InitTransitions();
    uint32_t top = sim16_top;
    if (nbytes > top - 0x100) {
        Violation("CallTo16: %u bytes of arguments do not fit on the 16-bit stack", nbytes);
        *popped = (int)nbytes;
        return 0;
    }
    Left16 left = {};
    sim16_enter_std = machine().enter16_direction_set;
    ++depth;
    uint32_t result = sim16_enter(target, args, nbytes, &left);
    --depth;
    // The callee pops its arguments and the 4-byte return address that sim16_enter pushed.
    *popped = (int)(left.sp - top + nbytes);
    // A far procedure of 16-bit Windows gives back its caller's SS, DS, BP, SI and DI.
    uint16_t stack = (uint16_t)sim16_stack_sel;
    if (left.ss != stack || left.ds != stack || left.bp != (uint16_t)kMarkBp || left.si != (uint16_t)kMarkSi ||
        left.di != (uint16_t)kMarkDi)
        Violation("the 16-bit procedure %04X:%04X did not keep its caller's registers: SS %04X DS %04X BP %04X "
                  "SI %04X DI %04X, not SS and DS %04X, BP %04X, SI %04X, DI %04X",
                  target >> 16, target & 0xFFFF, left.ss, left.ds, left.bp, left.si, left.di, stack,
                  (uint16_t)kMarkBp, (uint16_t)kMarkSi, (uint16_t)kMarkDi);
    return result;
}

uint32_t CallTo16(FarPtr16 target, const void* args, unsigned nbytes)
{
    int popped;
    uint32_t result = CallTo16Popping(target, args, nbytes, &popped);
    if (popped != (int)nbytes)
        Violation("the 16-bit procedure %04X:%04X popped %d bytes of arguments, not %u",
                  target >> 16, target & 0xFFFF, popped, nbytes);
    return result;
}

FarPtr16 MakeEntry16(Body16 body, unsigned arg_bytes, void* context)
{
    InitTransitions();
    unsigned number = (unsigned)entries.size();
    unsigned offset = kStubSize * (number + 1);
    if (offset + kStubSize > kStubArea) return 0;
    entries.push_back({body, arg_bytes, context});
    uint8_t* stub = stub_block.data + offset;
    stub[0] = 0x68;  // push imm16: the entry's number
    stub[1] = (uint8_t)number;
    stub[2] = (uint8_t)(number >> 8);
    EmitFarJump32(stub + 3, sim16_relay);
    return MakeFar(stub_selector, (uint16_t)offset);
}

void FreeEntries16() { entries.clear(); }

FarPtr16 LoadCode16(const void* code, unsigned size)
{
    GuardedBlock block = AllocGuarded(size, true);
    std::memcpy(block.data, code, size);
    SegmentSpec spec;
    spec.base = (uint32_t)(uintptr_t)block.data;
    spec.limit = size - 1;
    spec.kind = SegKind::Code;
    uint16_t selector = AllocSelector(spec);
    code_segments[selector] = block;
    return MakeFar(selector, 0);
}

void FreeCode16(FarPtr16 segment)
{
    uint16_t selector = segment >> 16;
    auto it = code_segments.find(selector);
    if (it == code_segments.end()) return;
    FreeGuarded(it->second);
    code_segments.erase(it);
    FreeSelector(selector);
}

uint16_t Stack16Selector() { return (uint16_t)sim16_stack_sel; }
unsigned CallDepth16() { return depth; }

}  // namespace sim

extern "C" uint64_t sim16_relay_dispatch(uint32_t sp16, uint32_t ss16)
{
    using namespace sim;
    if (ss16 != sim16_stack_sel) Violation("16-bit code entered the machine on a foreign stack %04X", ss16);
    const uint8_t* frame = (const uint8_t*)(uintptr_t)(sim16_stack_base + sp16);
    uint16_t number;
    std::memcpy(&number, frame + 20, 2);
    const Entry& e = entries.at(number);
    uint32_t result = e.body(frame + kFrameArgs, e.context);
    return (uint64_t)e.arg_bytes << 32 | result;
}

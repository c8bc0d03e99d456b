// Calls between the machine's C++ and 16-bit code.
//
// 16-bit code runs on the thread's 16-bit stack segment. CallTo16 calls a 16-bit far procedure
// from C++; MakeEntry16 makes a 16-bit far procedure whose body is C++. Both nest: a body may call
// 16-bit code again, which may call another body.
#pragma once
#include <cstdint>
#include <vector>

namespace sim {

typedef uint32_t FarPtr16;  // selector in the high half, offset in the low half

constexpr uint32_t kMarkBp = 0x7EB0B0B0, kMarkSi = 0x7E515151, kMarkDi = 0x7ED1D1D1;

inline FarPtr16 MakeFar(uint16_t selector, uint16_t offset) { return (uint32_t)selector << 16 | offset; }

// Calls `target` with the argument bytes exactly as they must lie on its stack (the last
// argument pushed at args[0]). Returns DX:AX. The callee is entered with DS = SS and with the
// marks below in EBP, ESI and EDI (and the direction flag set when the machine asks for it); a
// callee that does not pop exactly `nbytes`, or that does not give back SS, DS, BP, SI and DI, is
// a contract violation.
uint32_t CallTo16(FarPtr16 target, const void* args, unsigned nbytes);

// A Pascal argument list, built first to last: each argument lies below the ones before it.
struct Args16 {
    std::vector<uint8_t> bytes;
    Args16& W(uint16_t v) { return Push(v, 2); }
    Args16& D(uint32_t v) { return Push(v, 4); }
    Args16& Push(uint32_t v, unsigned n)
    {
        bytes.insert(bytes.begin(), (const uint8_t*)&v, (const uint8_t*)&v + n);
        return *this;
    }
};

inline uint32_t CallTo16(FarPtr16 target, const Args16& args)
{
    return CallTo16(target, args.bytes.data(), (unsigned)args.bytes.size());
}
// As CallTo16, for a caller that lays more than the callee's arguments on the 16-bit stack: the
// count of bytes that the callee popped goes to `popped` and is not checked.
uint32_t CallTo16Popping(FarPtr16 target, const void* args, unsigned nbytes, int* popped);

// A C++ body reached from 16-bit code. `args` points at the caller's arguments as they lie on the
// 16-bit stack; the body returns DX:AX. The entry pops `arg_bytes` bytes on return and keeps the
// caller's DS, BP, SI and DI.
typedef uint32_t (*Body16)(const uint8_t* args, void* context);
FarPtr16 MakeEntry16(Body16 body, unsigned arg_bytes, void* context);
void FreeEntries16();  // forgets every entry made so far

// Where 16-bit code is made to run: a code segment of the given bytes, freed with FreeCode16.
FarPtr16 LoadCode16(const void* code, unsigned size);
void FreeCode16(FarPtr16 segment);

uint16_t Stack16Selector();
unsigned CallDepth16();  // CallTo16 calls now running

void InitTransitions();

}  // namespace sim

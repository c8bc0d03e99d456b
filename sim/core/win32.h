// The Win32 records and constants that the test machine shares with the PE code it runs.
// Layouts are those of 32-bit Windows of the Windows 95 family.
#pragma once
#include <cstddef>
#include <cstdint>

#define WINAPI __attribute__((stdcall))

namespace win32 {

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef void* HANDLE;

// What the machine's BOOL functions answer for TRUE. A BOOL promises only non-zero; this value
// fails a caller that compares with 1, tests the low byte alone or takes a negative as false.
constexpr BOOL kTrue = (BOOL)0x80000100;

// Exception codes of the processor's exceptions.
constexpr DWORD kAccessViolation = 0xC0000005u;
constexpr DWORD kIllegalInstruction = 0xC000001Du;
constexpr DWORD kPrivilegedInstruction = 0xC0000096u;
constexpr DWORD kIntegerDivideByZero = 0xC0000094u;
constexpr DWORD kIntegerOverflow = 0xC0000095u;
constexpr DWORD kArrayBoundsExceeded = 0xC000008Cu;
constexpr DWORD kBreakpoint = 0x80000003u;
constexpr DWORD kSingleStep = 0x80000004u;
constexpr DWORD kFloatDenormalOperand = 0xC000008Du;
constexpr DWORD kFloatDivideByZero = 0xC000008Eu;
constexpr DWORD kFloatInexactResult = 0xC000008Fu;
constexpr DWORD kFloatInvalidOperation = 0xC0000090u;
constexpr DWORD kFloatOverflow = 0xC0000091u;
constexpr DWORD kFloatUnderflow = 0xC0000093u;

constexpr DWORD kExceptionContinueExecution = 0;
constexpr DWORD kExceptionContinueSearch = 1;

struct ExceptionRecord {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    ExceptionRecord* ExceptionRecordNext;
    DWORD ExceptionAddress;
    DWORD NumberParameters;
    DWORD ExceptionInformation[15];
};

struct Context {
    DWORD ContextFlags;
    DWORD Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    uint8_t FloatSave[112];
    DWORD SegGs, SegFs, SegEs, SegDs;
    DWORD Edi, Esi, Ebx, Edx, Ecx, Eax;
    DWORD Ebp, Eip, SegCs, EFlags, Esp, SegSs;
};
static_assert(sizeof(Context) == 0xCC, "CONTEXT of the Windows 95 family");
static_assert(offsetof(Context, SegGs) == 0x8C && offsetof(Context, Eip) == 0xB8, "CONTEXT layout");

// One link of the FS:[0] chain; the chain ends with 0xFFFFFFFF.
struct ExceptionRegistration {
    ExceptionRegistration* Next;
    DWORD (*Handler)(ExceptionRecord*, void* frame, Context*, void* dispatcher);
};
constexpr uint32_t kChainEnd = 0xFFFFFFFFu;

// The thread information block that FS addresses.
struct Tib {
    uint32_t ExceptionList;
    uint32_t StackBase;
    uint32_t StackLimit;
    uint32_t Reserved[3];
    uint32_t Self;
};
static_assert(offsetof(Tib, Self) == 0x18, "TIB layout");

// LDT_ENTRY is the processor's 8-byte descriptor.
struct LdtEntry {
    uint16_t LimitLow;
    uint16_t BaseLow;
    uint8_t BaseMid;
    uint8_t Flags1;
    uint8_t Flags2;
    uint8_t BaseHi;
};
static_assert(sizeof(LdtEntry) == 8, "LDT_ENTRY");

constexpr DWORD kFileTypeUnknown = 0, kFileTypeDisk = 1, kFileTypeChar = 2, kFileTypePipe = 3;
constexpr DWORD kStdInput = (DWORD)-10, kStdOutput = (DWORD)-11, kStdError = (DWORD)-12;
constexpr DWORD kDllProcessAttach = 1;
inline HANDLE InvalidHandle() { return (HANDLE)(intptr_t)-1; }
inline HANDLE CurrentProcess() { return (HANDLE)(intptr_t)-1; }
inline HANDLE CurrentThread() { return (HANDLE)(intptr_t)-2; }

}  // namespace win32

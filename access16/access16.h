// The bridge's 16-bit access layer: reading through selectors, finding 16-bit KERNEL and its
// entry points, and the table of KERNEL32 thunk services through which every crossing passes.
#pragma once
#include <stddef.h>
#include <stdint.h>

typedef uint32_t FarPtr16;  // selector in the high 16 bits, offset in the low 16 bits; 0: none

extern "C" {

// Copies `size` bytes from selector:offset; false when the selector has no descriptor, when the
// range does not lie below the segment's limit (as the processor reports it), or when the
// memory cannot be read. Never faults.
int ReadSelectorBytes(uint16_t selector, uint32_t offset, void* buffer, uint32_t size);
// True when the selector's segment is the module database of the module named by the length-
// prefixed name (at most 9 characters), compared exactly.
int IsModuleNamed(uint16_t selector, const uint8_t* name);
// The selector of the named module's database (0x10F first, then 0x2F to 0xFFF); 0 when none.
uint16_t FindModuleSelector(const char* name);
// The entry point of `ordinal` in the module database at `module_selector`; 0 when there is
// none or the walk faults. Reads through GS under a guard that restores it on every way out.
FarPtr16 GetOrdinalEntry(uint16_t module_selector, uint16_t ordinal);

}  // extern "C"

// The KERNEL32 thunk services, KERNEL's module database and eight of its entry points. Zero when
// the library is loaded, filled by BindThunkServices, never cleared.
struct ThunkServicesRecord {
    void* FT_Exit12;
    void* FT_Exit16;
    void* FT_Exit20;
    void* FT_Exit24;
    void* FT_Exit36;
    void* FT_Exit48;
    void* FT_Prolog;
    void* FT_Thunk;
    void* QT_Thunk;
    void* SMapLS;
    void* SMapLS_IP_EBP_8;
    void* SMapLS_IP_EBP_12;
    void* SMapLS_IP_EBP_16;
    void* SMapLS_IP_EBP_20;
    void* SMapLS_IP_EBP_24;
    void* SMapLS_IP_EBP_28;
    void* SMapLS_IP_EBP_36;
    void* SMapLS_IP_EBP_40;
    void* SUnMapLS;
    void* SUnMapLS_IP_EBP_8;
    void* SUnMapLS_IP_EBP_12;
    void* SUnMapLS_IP_EBP_16;
    void* SUnMapLS_IP_EBP_20;
    void* SUnMapLS_IP_EBP_24;
    void* SUnMapLS_IP_EBP_28;
    void* SUnMapLS_IP_EBP_36;
    void* SUnMapLS_IP_EBP_40;
    uint16_t KernelSelector;
    FarPtr16 KernelAllocDStoCSAlias;
    FarPtr16 KernelFreeSelector;
    FarPtr16 KernelGetModuleHandle;
    FarPtr16 KernelGetProcAddress;
    FarPtr16 KernelGlobalAlloc;
    FarPtr16 KernelGlobalFree;
    FarPtr16 KernelGlobalLock;
    FarPtr16 KernelGlobalReAlloc;
    uint32_t Bound;
};

extern "C" ThunkServicesRecord ThunkServices;

// Fills ThunkServices: 27 KERNEL32 exports by name, KERNEL's module database, eight ordinals.
// True at once after one complete success; a failure is not remembered.
extern "C" int BindThunkServices();

// The KERNEL primitives: 16-bit KERNEL's entry points of ThunkServices, called through QT_Thunk.
// They need a bound table and do not check for it.
extern "C" {
uint32_t K16GetModuleHandle(const char* name);                // module handle; 0: none
FarPtr16 K16GetProcAddress(uint32_t module, const char* name); // 0: no such entry point
uint32_t K16GlobalAlloc(uint32_t flags, uint32_t size);        // global handle; 0: failure
FarPtr16 K16GlobalLock(uint32_t handle);                       // the block's first byte
uint32_t K16GlobalFree(uint32_t handle);                       // EAX as KERNEL leaves it
uint32_t K16AllocDStoCSAlias(uint32_t selector);               // code selector; 0: failure
uint32_t K16FreeSelector(uint32_t selector);                   // EAX as KERNEL leaves it
}

// The work block (540 bytes of 16-bit memory holding the recorder routines) and its RecordBuffer.

// The block's 32-byte header, at the start of the block and of its image. The 16-bit routines
// take these offsets from offsets.inc, generated from this record.
struct WorkBlockHeader {
    uint16_t DataSel;       // the block's data selector
    uint16_t CodeSel;       // its code alias
    FarPtr16 LockEntry;     // KERNEL GlobalLock
    FarPtr16 ReallocEntry;  // KERNEL GlobalReAlloc
    uint32_t Capacity;      // size of the RecordBuffer
    uint32_t WriteOffset;   // bytes recorded so far
    uint16_t BufferSel;     // the RecordBuffer's selector, right after WriteOffset: one load takes both
    uint16_t BufferHandle;  // its global handle; 0: none
    FarPtr16 FarReturn;     // a byte 0xCB in the font manager's code
    uint16_t GrowEntry;     // near offset of GrowRoutine
    uint16_t Refused;       // non-zero once a recorder refused a record (the RecordBuffer could not grow)
};
static_assert(sizeof(WorkBlockHeader) == 0x20 && offsetof(WorkBlockHeader, Refused) == 0x1E &&
                  offsetof(WorkBlockHeader, BufferSel) == offsetof(WorkBlockHeader, WriteOffset) + 4,
              "the work block's header layout is fixed");

extern "C" {
// Builds the block once: allocates it, aliases it as code, finds a far-return byte at or after
// `code_address` in its segment and copies the image in. 1 when a built block exists; on failure
// nothing is held and AtmEntryTable.BlockHandle is 0.
int BuildWorkBlock(FarPtr16 code_address);
uint32_t WorkBlockCodeSel();   // the code alias of the last block built (kept after a finish)
uint32_t RecordBufferBusy();   // BufferHandle of the live block; non-zero: a recording is running
// A fresh locked buffer of 0x8000 bytes, with the refusal mark cleared; 0 when none could be had
// or the block's header could not be written (then nothing is held).
FarPtr16 AllocRecordBuffer();
void ReleaseRecordBuffer();
// Non-zero when a recorder refused a record since the RecordBuffer was allocated: records are
// missing whatever the font manager answered.
uint32_t RecordRefused();
// The bytes recorded so far (WriteOffset) and, in `buffer_selector`, the RecordBuffer's selector.
uint32_t RecordedBytes(uint16_t* buffer_selector);
// Copies `size` bytes from selector:offset (a 32-bit offset) into flat memory; 1 when every byte
// was copied, 0 when the selector could not be loaded or the copy faulted.
int ReadRecordBytes(uint16_t selector, uint32_t offset, void* destination, uint32_t size);
}

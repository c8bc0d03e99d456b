// The work block in 16-bit memory and the RecordBuffer that its recorders fill.
#include "access16.h"
#include "atm_entry_table.h"

extern "C" {
extern uint8_t WorkBlockImage[540];  // workblock_image.asm: the routines, with a header filled here
FarPtr16 FindFarReturn(FarPtr16 at);
int CopyTo16(FarPtr16 destination, const void* source, uint32_t size);
// block_access.asm: a word or a dword of the live block's header, under a guard. Peek16 answers 0
// and the pokes 0 when the access faulted; the pokes answer 1 when the value was stored.
uint32_t Peek16(uint16_t selector, uint16_t offset);
int Poke16(uint16_t selector, uint16_t offset, uint16_t value);
int Poke32(uint16_t selector, uint16_t offset, uint32_t value);
}

namespace {

#define HEADER(field) offsetof(WorkBlockHeader, field)
constexpr uint16_t kDataSel = HEADER(DataSel), kCodeSel = HEADER(CodeSel), kLockEntry = HEADER(LockEntry),
                   kReallocEntry = HEADER(ReallocEntry), kCapacity = HEADER(Capacity),
                   kWriteOffset = HEADER(WriteOffset), kBufferSel = HEADER(BufferSel),
                   kBufferHandle = HEADER(BufferHandle), kFarReturn = HEADER(FarReturn),
                   kGrowEntry = HEADER(GrowEntry), kRefused = HEADER(Refused);
#undef HEADER
constexpr uint16_t kGrowRoutine = 0x20;
constexpr uint32_t kBlockSize = 540, kBufferSize = 0x8000;
constexpr uint32_t kFixed = 0, kMovable = 2;

void ImagePut16(uint16_t at, uint16_t v)
{
    WorkBlockImage[at] = (uint8_t)v;
    WorkBlockImage[at + 1] = (uint8_t)(v >> 8);
}

void ImagePut32(uint16_t at, uint32_t v)
{
    ImagePut16(at, (uint16_t)v);
    ImagePut16(at + 2, (uint16_t)(v >> 16));
}

uint16_t ImageGet16(uint16_t at) { return (uint16_t)(WorkBlockImage[at] | WorkBlockImage[at + 1] << 8); }

uint16_t DataSel() { return ImageGet16(kDataSel); }

}  // namespace

extern "C" int BuildWorkBlock(FarPtr16 code_address)
{
    if (AtmEntryTable.BlockHandle != 0) return 1;
    uint32_t handle = K16GlobalAlloc(kFixed, kBlockSize);
    AtmEntryTable.BlockHandle = (uint16_t)handle;
    if (handle == 0) return 0;
    FarPtr16 block = K16GlobalLock(handle);
    uint32_t code = K16AllocDStoCSAlias(block >> 16);
    ImagePut16(kCodeSel, (uint16_t)code);
    if (code == 0) {
        K16GlobalFree(handle);
        AtmEntryTable.BlockHandle = 0;
        return 0;
    }
    ImagePut16(kDataSel, (uint16_t)(block >> 16));
    ImagePut32(kLockEntry, ThunkServices.KernelGlobalLock);
    ImagePut32(kReallocEntry, ThunkServices.KernelGlobalReAlloc);
    ImagePut32(kCapacity, 0);
    ImagePut32(kWriteOffset, 0);
    ImagePut16(kBufferSel, 0);
    ImagePut16(kBufferHandle, 0);
    ImagePut16(kGrowEntry, kGrowRoutine);
    FarPtr16 far_return = FindFarReturn(code_address);
    ImagePut32(kFarReturn, far_return);
    if (far_return == 0 || !CopyTo16(block, WorkBlockImage, kBlockSize)) {
        K16FreeSelector(code);
        K16GlobalFree(handle);
        AtmEntryTable.BlockHandle = 0;
        return 0;
    }
    return 1;
}

extern "C" uint32_t WorkBlockCodeSel() { return ImageGet16(kCodeSel); }

extern "C" uint32_t RecordBufferBusy() { return Peek16(DataSel(), kBufferHandle); }

extern "C" uint32_t RecordedBytes(uint16_t* buffer_selector)
{
    uint16_t data = DataSel();
    *buffer_selector = (uint16_t)Peek16(data, kBufferSel);
    return Peek16(data, kWriteOffset) | Peek16(data, kWriteOffset + 2) << 16;
}

extern "C" FarPtr16 AllocRecordBuffer()
{
    uint32_t handle = K16GlobalAlloc(kMovable, kBufferSize);
    if (handle == 0) return 0;
    FarPtr16 buffer = K16GlobalLock(handle);
    if (buffer == 0) {
        // Without an address the buffer is of no use; freeing it keeps the bridge from
        // staying busy for good.
        K16GlobalFree(handle);
        return 0;
    }
    // BufferHandle last: a header that cannot be written is left without the buffer, which is
    // freed, so that nothing stays held that no release can find.
    uint16_t data = DataSel();
    if (!Poke32(data, kCapacity, kBufferSize) || !Poke32(data, kWriteOffset, 0) ||
        !Poke16(data, kBufferSel, (uint16_t)(buffer >> 16)) || !Poke16(data, kRefused, 0) ||
        !Poke16(data, kBufferHandle, (uint16_t)handle)) {
        K16GlobalFree(handle);
        return 0;
    }
    return buffer;
}

extern "C" uint32_t RecordRefused() { return Peek16(DataSel(), kRefused); }

extern "C" void ReleaseRecordBuffer()
{
    uint16_t data = DataSel();
    K16GlobalFree(Peek16(data, kBufferHandle));
    Poke16(data, kBufferHandle, 0);
}

// The recorded-callback operations: ATM's enumerations and outlines, recorded in 16-bit memory by
// the work block's recorders while ATM runs, then replayed to the caller's 32-bit callbacks.
#include <stddef.h>

#include "access16.h"
#include "bridge.h"

namespace {

// The recorders' entry offsets in the work block.
constexpr uint16_t kEnumFontsRecorder = 0x80, kEnumMMFontsRecorder = 0xC8, kOutlineRecorder1 = 0x118,
                   kOutlineRecorder2 = 0x148, kOutlineRecorder3 = 0x1A0, kOutlineRecorder4 = 0x1E0;

// ATM's answer when a recorder refused a record because the RecordBuffer could not grow.
constexpr int32_t kAtmOutOfMemory = -8;

// The recorders leave at least this much room before each record, and no record is longer.
constexpr uint32_t kRecordRoom = 0x400;

// Records and the chunk of each that the replay copies before delivering it.
constexpr uint32_t kFontBlock = 2, kFontName = 52, kFontChunk = 116;
constexpr uint32_t kMMRecord = 320, kMMName = 2, kMMChunk = 320;
constexpr uint32_t kOutlineChunk = 28;

// One replay: where the records lie, the record being delivered and its local copy. A long name
// is read on into the copy after the chunk, so it holds a whole record.
struct Replay {
    uint16_t BufferSel;
    uint32_t Total;  // WriteOffset: bytes recorded
    uint32_t At;     // the record being delivered
    uint8_t Record[kRecordRoom];
};

struct ReplayCallbacks {
    void* Callback[4];
    uint32_t User;
    void* MMPointer;
};

// Delivers the record in replay.Record; the record's size, or a result code (negative) that ends
// the replay.
typedef int32_t (*DeliverRecord)(Replay& replay, const ReplayCallbacks& callbacks);

uint16_t Get16(const uint8_t* at) { return (uint16_t)(at[0] | at[1] << 8); }
uint32_t Get32(const uint8_t* at) { return (uint32_t)Get16(at) | (uint32_t)Get16(at + 2) << 16; }

FarPtr16 Recorder(uint16_t entry) { return WorkBlockCodeSel() << 16 | entry; }

// Steps shared by the three operations before ATM is called: the entry point bound, no recording
// running, a fresh RecordBuffer. QF_OK when the RecordBuffer is held.
int32_t BeginRecording(AtmEntryIndex entry)
{
    if (AtmEntryTable.Entries[entry] == 0) return AtmEntryTable.Loaded ? QF_NOT_AVAILABLE : QF_NOT_LOADED;
    if (RecordBufferBusy() != 0) return QF_BUSY;
    if (AllocRecordBuffer() == 0) return QF_NO_MEMORY;
    return QF_OK;
}

// ATM's -8 means that a recorder could not grow the RecordBuffer. ATM may also answer 0 after a
// refused record, whether it stopped there or went on; the recorder's mark in the work block
// tells, and the incomplete records are not replayed. Runs while the RecordBuffer is held.
int32_t RecordingResult(int32_t atm)
{
    if (atm == kAtmOutOfMemory || (atm == 0 && RecordRefused() != 0)) return QF_NO_MEMORY;
    return atm;
}

// Reads the records one by one into the local copy, chunk bytes each, and delivers them. A chunk
// may reach past the recorded bytes, never past the RecordBuffer: each record began with
// kRecordRoom bytes free.
int32_t ReplayRecords(uint32_t chunk, DeliverRecord deliver, const ReplayCallbacks& callbacks)
{
    Replay replay;
    replay.Total = RecordedBytes(&replay.BufferSel);
    for (replay.At = 0; replay.At < replay.Total;) {
        if (!ReadRecordBytes(replay.BufferSel, replay.At, replay.Record, chunk)) return QF_NO_MEMORY;
        int32_t size = deliver(replay, callbacks);
        if (size < 0) return size;
        replay.At += (uint32_t)size;
    }
    return QF_OK;
}

// True when `size` bytes of the current record lie within the recorded bytes.
bool Recorded(const Replay& replay, uint32_t size) { return size <= replay.Total - replay.At; }

// The length of the NUL-terminated name at `name` in the current record, measured only in the
// record's recorded bytes. A name that runs past the chunk is read on from the RecordBuffer into
// the local copy, so it is delivered whole. QF_BAD_ARGUMENT when no NUL ends it within the
// recorded bytes and the room of a record.
int32_t NameLength(Replay& replay, uint32_t name, uint32_t chunk)
{
    uint32_t left = replay.Total - replay.At;
    uint32_t end = left < kRecordRoom ? left : kRecordRoom;
    uint32_t i = name;
    for (; i < end && i < chunk; ++i)
        if (replay.Record[i] == 0) return (int32_t)(i - name);
    if (i >= end) return QF_BAD_ARGUMENT;
    if (!ReadRecordBytes(replay.BufferSel, replay.At + chunk, replay.Record + chunk, end - chunk))
        return QF_NO_MEMORY;
    for (; i < end; ++i)
        if (replay.Record[i] == 0) return (int32_t)(i - name);
    return QF_BAD_ARGUMENT;
}

// The 16-bit font block (five 16-bit signed fields, eight bytes, a 32-byte face name) in its
// 32-bit form, the fields sign-extended.
static_assert(sizeof(LogFontA) == 60 && offsetof(LogFontA, Italic) == 20 && offsetof(LogFontA, FaceName) == 28,
              "LogFontA is the platform's 60-byte record");

void ConvertFontBlock(const uint8_t* block, LogFontA& font)
{
    int32_t* fields[] = {&font.Height, &font.Width, &font.Escapement, &font.Orientation, &font.Weight};
    for (int i = 0; i < 5; ++i) *fields[i] = (int16_t)Get16(block + 2 * i);
    uint8_t* bytes = (uint8_t*)&font;
    for (uint32_t i = 10; i < 50; ++i) bytes[i + 10] = block[i];  // the eight bytes and the face name
}

int32_t DeliverFont(Replay& replay, const ReplayCallbacks& callbacks)
{
    int32_t length = NameLength(replay, kFontName, kFontChunk);
    if (length < 0) return length;
    LogFontA font;
    ConvertFontBlock(replay.Record + kFontBlock, font);
    EnumFontsCallback callback = (EnumFontsCallback)callbacks.Callback[0];
    if (callback(&font, (const char*)replay.Record + kFontName, Get16(replay.Record), callbacks.User) == 0)
        return QF_ABORTED;
    return (int32_t)kFontName + length + 1;
}

int32_t DeliverMMFont(Replay& replay, const ReplayCallbacks& callbacks)
{
    EnumMMFontsCallback callback = (EnumMMFontsCallback)callbacks.Callback[0];
    if (callbacks.MMPointer == nullptr) {
        if (!Recorded(replay, kMMRecord)) return QF_BAD_ARGUMENT;
        if (callback(replay.Record, callbacks.User) == 0) return QF_ABORTED;
        return (int32_t)kMMRecord;
    }
    int32_t length = NameLength(replay, kMMName, kMMChunk);
    if (length < 0) return length;
    MMFontName name;
    name.Name = (const char*)replay.Record + kMMName;
    name.Value = Get16(replay.Record);
    if (callback(&name, callbacks.User) == 0) return QF_ABORTED;
    return (int32_t)kMMName + length + 1;
}

// Outline records by their type: 1 closes a path, 2 is a curve, 3 a line, 4 a move.
int32_t DeliverOutline(Replay& replay, const ReplayCallbacks& callbacks)
{
    static const uint32_t kSizes[] = {0, 4, 28, 12, 12};
    uint32_t type = Get32(replay.Record);
    if (type < 1 || type > 4 || !Recorded(replay, kSizes[type])) return QF_BAD_ARGUMENT;
    const OutlinePoint* points = (const OutlinePoint*)(replay.Record + 4);
    uint32_t user = callbacks.User;
    int32_t more;
    switch (type) {
    case 1: more = ((OutlineCloseCallback)callbacks.Callback[3])(user); break;
    case 2: more = ((OutlineCurveCallback)callbacks.Callback[2])(points, points + 1, points + 2, user); break;
    case 3: more = ((OutlinePointCallback)callbacks.Callback[1])(points, user); break;
    default: more = ((OutlinePointCallback)callbacks.Callback[0])(points, user); break;
    }
    return more == 0 ? QF_ABORTED : (int32_t)kSizes[type];
}

int32_t ReplayEnumFonts(EnumFontsCallback callback, uint32_t user)
{
    if (callback == nullptr) return QF_BAD_ARGUMENT;
    ReplayCallbacks callbacks = {{(void*)callback, nullptr, nullptr, nullptr}, user, nullptr};
    return ReplayRecords(kFontChunk, DeliverFont, callbacks);
}

int32_t ReplayEnumMMFonts(void* p, EnumMMFontsCallback callback, uint32_t user)
{
    if (callback == nullptr) return QF_BAD_ARGUMENT;
    ReplayCallbacks callbacks = {{(void*)callback, nullptr, nullptr, nullptr}, user, p};
    return ReplayRecords(kMMChunk, DeliverMMFont, callbacks);
}

int32_t ReplayOutline(OutlinePointCallback move_to, OutlinePointCallback line_to, OutlineCurveCallback curve_to,
                      OutlineCloseCallback close_path, uint32_t user)
{
    if (move_to == nullptr || line_to == nullptr || curve_to == nullptr || close_path == nullptr)
        return QF_BAD_ARGUMENT;
    ReplayCallbacks callbacks = {{(void*)move_to, (void*)line_to, (void*)curve_to, (void*)close_path}, user, nullptr};
    return ReplayRecords(kOutlineChunk, DeliverOutline, callbacks);
}

}  // namespace

extern "C" int32_t RecordedEnumFonts(uint32_t value, EnumFontsCallback callback, uint32_t user)
{
    int32_t result = BeginRecording(kATMEnumFonts);
    if (result != QF_OK) return result;
    result = RecordingResult(AtmCallEnumFonts(value, Recorder(kEnumFontsRecorder), 0));
    if (result == 0) result = ReplayEnumFonts(callback, user);
    ReleaseRecordBuffer();
    return result;
}

// ATM hands the client value back to the recorder as its mode: p itself, so that the recorder
// writes whole 320-byte records exactly when p is null.
extern "C" int32_t RecordedEnumMMFonts(uint32_t value, void* p, EnumMMFontsCallback callback, uint32_t user)
{
    int32_t result = BeginRecording(kATMEnumMMFonts);
    if (result != QF_OK) return result;
    result = RecordingResult(AtmCallEnumMMFonts(value, p, Recorder(kEnumMMFontsRecorder), (uint32_t)p));
    if (result == 0) result = ReplayEnumMMFonts(p, callback, user);
    ReleaseRecordBuffer();
    return result;
}

extern "C" int32_t RecordedGetOutline(uint32_t a, uint32_t b, void* pointer, OutlinePointCallback move_to,
                                      OutlinePointCallback line_to, OutlineCurveCallback curve_to,
                                      OutlineCloseCallback close_path, uint32_t user)
{
    int32_t result = BeginRecording(kATMGetOutline);
    if (result != QF_OK) return result;
    result = RecordingResult(AtmCallGetOutline(a, b, pointer, Recorder(kOutlineRecorder4), Recorder(kOutlineRecorder3),
                                               Recorder(kOutlineRecorder2), Recorder(kOutlineRecorder1), 0));
    if (result == 0) result = ReplayOutline(move_to, line_to, curve_to, close_path, user);
    ReleaseRecordBuffer();
    return result;
}

// The font-path query in one record layout whatever ATM's version: ATM before the version
// whose low four bits reach 4 fills the record with fields of 48 bytes; callers get fields of
// 260 bytes.
#include "bridge.h"

namespace {

constexpr uint32_t kOldField = 48;
constexpr uint32_t kNewField = 260;
constexpr uint16_t kWideLayoutVersion = 4;  // low four bits of the version value

// Moves field `field` of the 48-byte layout to its place in the 260-byte layout: its bytes up
// to and including the first zero, at most the 48 bytes the old field holds. A field with no
// zero in it is ended with one after its 48 bytes, so no copy runs beyond its field.
void MoveField(uint8_t* record, uint32_t field)
{
    const uint8_t* from = record + field * kOldField;
    uint8_t* to = record + field * kNewField;
    for (uint32_t i = 0; i < kOldField; ++i) {
        to[i] = from[i];
        if (from[i] == 0) return;
    }
    to[kOldField] = 0;
}

}  // namespace

extern "C" int32_t __stdcall GetFontPathsUniform(uint32_t value, void* pointer, void* record)
{
    int32_t result = AtmCallGetFontPaths(value, pointer, record);
    if (result != 0) return result;
    uint16_t version = AtmEntryTable.AtmVersion;
    if (version == 0) version = (uint16_t)AtmCallGetVersion();
    AtmEntryTable.AtmVersion = version;
    if ((version & 0xF) >= kWideLayoutVersion) return 0;
    uint8_t* fields = static_cast<uint8_t*>(record);
    MoveField(fields, 3);
    MoveField(fields, 2);
    MoveField(fields, 1);
    return 0;
}

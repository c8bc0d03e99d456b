// The bridge's state record: the work block's handle, ATM's cached version, the load flag and
// ATM's nineteen entry points.
#pragma once
#include <stdint.h>

typedef uint32_t FarPtr16;

struct AtmEntryTableRecord {
    uint16_t BlockHandle;   // the work block's global handle; non-zero exactly while it exists
    uint16_t AtmVersion;
    uint32_t Loaded;
    FarPtr16 Entries[19];
};

extern "C" AtmEntryTableRecord AtmEntryTable;

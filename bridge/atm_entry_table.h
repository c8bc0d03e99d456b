// The bridge's state record: the work block's handle, ATM's cached version, the load flag and
// ATM's nineteen entry points.
#pragma once
#include <stdint.h>

typedef uint32_t FarPtr16;

// ATM's entry points, in record order, which is also the order in which they are resolved.
#define ATM_ENTRY_POINTS(X)                                                                       \
    X(ATMIsUp) X(ATMAddFont) X(ATMBBoxBaseXYShowText) X(ATMBeginFontChange) X(ATMForceFontChange) \
    X(ATMEndFontChange) X(ATMEnumFonts) X(ATMEnumMMFonts) X(ATMFontAvailable) X(ATMFontSelected)  \
    X(ATMGetFontBBox) X(ATMGetFontPaths) X(ATMGetMenuName) X(ATMGetOutline)                       \
    X(ATMGetPostScriptName) X(ATMGetVersion) X(ATMRemoveFont) X(ATMSelectObject) X(ATMXYShowText)

enum AtmEntryIndex {
#define ATM_ENTRY_INDEX(name) k##name,
    ATM_ENTRY_POINTS(ATM_ENTRY_INDEX)
#undef ATM_ENTRY_INDEX
    kAtmEntryCount
};

struct AtmEntryTableRecord {
    uint16_t BlockHandle;   // the work block's global handle; non-zero exactly while it exists
    uint16_t AtmVersion;    // ATMGetVersion's answer as the font-path query cached it; 0: not yet
    uint32_t Loaded;        // 1 after a successful load
    FarPtr16 Entries[kAtmEntryCount];  // by AtmEntryIndex; 0: unbound
};

extern "C" AtmEntryTableRecord AtmEntryTable;


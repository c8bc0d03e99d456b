// The exported interface: load, the font operations, finish.
#include "access16.h"
#include "bridge.h"

extern "C" int32_t FinishBridge()
{
    if (AtmEntryTable.BlockHandle == 0) {
        ClearAtmEntries();
        AtmEntryTable.Loaded = 0;
        return QF_NOT_LOADED;
    }
    // A recording operation still holds its RecordBuffer: the block must stay.
    if (RecordBufferBusy() != 0) return QF_BUSY;
    uint32_t code = WorkBlockCodeSel();
    if (code != 0) K16FreeSelector(code);
    K16GlobalFree(AtmEntryTable.BlockHandle);
    AtmEntryTable.BlockHandle = 0;
    ClearAtmEntries();
    AtmEntryTable.Loaded = 0;
    return QF_OK;
}

extern "C" int QFProperlyLoaded()
{
    if (BindAtm() && AtmCallIsUp() != 0) {
        AtmEntryTable.Loaded = 1;
        return 1;
    }
    FinishBridge();
    return 0;
}

extern "C" int QFFinish() { return FinishBridge(); }

// The font exports; ATMAddFont and ATMRemoveFont take the leading value 4 from them, and
// ATMAddFont's final flag tells an add (0) from a status request (1).
constexpr uint32_t kLeadingValue = 4;

extern "C" int QFAddFont(void* font, unsigned int value, void* a, void* b)
{
    return AtmCallAddFont(kLeadingValue, font, value, a, b, 0);
}

extern "C" int QFFontStatus(void* font, unsigned int value, void* a, void* b)
{
    return AtmCallAddFont(kLeadingValue, font, value, a, b, 1);
}

extern "C" int QFRemoveFont(void* font, unsigned int value) { return AtmCallRemoveFont(kLeadingValue, font, value); }
extern "C" int QFBeginFontChange() { return AtmCallBeginFontChange(); }
extern "C" int QFEndFontChange() { return AtmCallEndFontChange(); }
extern "C" int QFGetVersion() { return (int)AtmCallGetVersion(); }

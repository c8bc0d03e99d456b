// The bridge's operations: the exports (qfatm.h), binding, and the calls of ATM's entry points.
#pragma once
#include <stdint.h>

#define QFATM_API
#include "qfatm.h"

#include "atm_entry_table.h"

extern "C" {

// Binding (binding.cpp).
int BindAtm();              // 1: thunk services bound, ATM found, work block built
uint32_t FindAtmModule();   // the first of "ATM", "ATM32", "ATM16" that is loaded; 0: none
void ClearAtmEntries();     // the nineteen entry points only

// The finish steps of QFFinish, also run by a failed load (lifecycle.cpp).
int32_t FinishBridge();

// Calls of ATM's entry points (atm_calls.asm). Each calls nothing when its entry point is 0 and
// then answers 0 (AtmCallIsUp, AtmCallGetVersion) or QF_NOT_AVAILABLE / QF_NOT_LOADED as
// Loaded is set or clear. Values are passed as their low 16 bits, pointers mapped for the call.
int32_t AtmCallIsUp();
int32_t AtmCallAddFont(uint32_t lead, void* font, uint32_t value, void* a, void* b, uint32_t flag);
int32_t AtmCallRemoveFont(uint32_t lead, void* font, uint32_t value);
int32_t AtmCallBeginFontChange();
int32_t AtmCallForceFontChange();
int32_t AtmCallEndFontChange();
uint32_t AtmCallGetVersion();  // ATM's 16-bit value, zero-extended

}  // extern "C"

// Font information queries (font_queries.asm, font_paths.cpp) and the flat-thunk calls
// (flat_calls.asm). Each removes its own arguments. Values are passed as their low 16 bits,
// pointers mapped for the call; ATM's result comes back sign-extended. An unbound entry point
// calls nothing and answers 0 (AtmCallFontSelected and the flat-thunk calls) or
// QF_NOT_AVAILABLE / QF_NOT_LOADED as Loaded is set or clear.
extern "C" {
int32_t __stdcall AtmCallFontSelected(uint32_t value);
int32_t __stdcall AtmCallGetFontBBox(uint32_t value, void* box);
int32_t __stdcall AtmCallGetFontPaths(uint32_t value, void* pointer, void* record);
int32_t __stdcall AtmCallGetMenuName(uint32_t value, void* a, void* b);
int32_t __stdcall AtmCallGetPostScriptName(uint32_t value, void* a, void* b);
// ATM stores a 16-bit value in the low half of *out, which comes back zero-extended.
int32_t __stdcall AtmCallSelectObject(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t* out);
// AtmCallGetFontPaths with the record (four fields, 260 bytes each) in the 260-byte layout
// whatever ATM's version; ATM's version value is asked once and kept in AtmVersion.
int32_t __stdcall GetFontPathsUniform(uint32_t value, void* pointer, void* record);

// `rect` points to four 32-bit values, passed to ATM as their low 16 bits; null passes null.
int32_t __stdcall AtmCallBBoxBaseXYShowText(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                            const int32_t* rect, void* p6, uint32_t a7, void* p8,
                                            void* p9, uint32_t a10, void* g11, void* g12);
int32_t __stdcall AtmCallXYShowText(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4,
                                    const int32_t* rect, void* p6, uint32_t a7, void* p8, void* p9);
// ATM stores a 16-bit value in the low half of *out, which comes back sign-extended.
int32_t __stdcall AtmCallFontAvailable(void* name, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5,
                                       int32_t* out);
}  // extern "C"

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

// CallChecked (call_checked.asm): calls a 32-bit function with its arguments and reports how
// many bytes of them it removed and whether it kept EBX, ESI and EDI.
#pragma once
#include <cstdint>

extern "C" {
struct CallEffects {
    uint32_t removed;         // bytes of arguments the callee removed
    uint32_t registers_kept;  // 1: EBX, ESI and EDI as they were
};
int32_t CallChecked(void* fn, const uint32_t* args, uint32_t count, CallEffects* effects);
}

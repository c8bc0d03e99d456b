// KERNEL32: the bodies of the 32-to-16 thunk services of thunk.asm, and their registration.
//
// QT_Thunk takes the argument list to be exactly the bytes between the stack pointer and the
// calling frame's saved EBX, ESI and EDI, below its 60-byte area, and checks that the 16-bit
// target pops exactly that many. The 60-byte area is QT_Thunk's: it is spoiled on every call.
// A pointer mapping is a 16-bit data selector whose base is the flat pointer.
#include "thunk.h"

#include <cstring>
#include <map>

#include "../core/exports.h"
#include "../core/ldt.h"
#include "../core/machine.h"
#include "../transition/transition.h"

using namespace sim;

namespace {

constexpr uint32_t kQtArea = 60;         // EBP-60 .. EBP-1
constexpr uint32_t kSavedRegisters = 12; // EBX, ESI, EDI below it
constexpr uint32_t kMaxArgBytes = 0x400;

std::map<uint32_t, uint32_t> slot_mappings;  // slot address -> the 16:16 pointer written there
std::map<uint16_t, uint32_t> live;           // selector -> flat pointer

uint32_t Map(uint32_t flat)
{
    ++machine().counters.mappings;
    if (flat == 0) return 0;
    SegmentSpec spec;
    spec.base = flat;
    spec.limit = 0xFFFF;
    uint16_t selector = AllocSelector(spec);
    if (selector == 0) {
        Violation("no selector left to map %08X", flat);
        return 0;
    }
    live[selector] = flat;
    return MakeFar(selector, 0);
}

bool Unmap(uint32_t far, const char* who)
{
    if (far == 0) return true;
    auto it = live.find((uint16_t)(far >> 16));
    if (it == live.end() || (far & 0xFFFF) != 0) {
        Violation("%s: %08X is not a live mapping", who, far);
        return false;
    }
    live.erase(it);
    FreeSelector((uint16_t)(far >> 16));
    return true;
}

}  // namespace

namespace sim {
unsigned LiveMappings() { return (unsigned)live.size(); }
}  // namespace sim

extern "C" {

uint64_t sim_qt_thunk_body(uint32_t target, uint32_t ebp, uint32_t esp)
{
    ++machine().counters.qt_thunk_calls;
    uint32_t args = esp + 4;
    uint32_t list_end = ebp - kQtArea - kSavedRegisters;
    if (ebp < args || list_end < args || list_end - args > kMaxArgBytes) {
        Violation("QT_Thunk: no call frame (EBP %08X, ESP %08X)", ebp, esp);
        return (uint64_t)args << 32;
    }
    uint32_t nbytes = list_end - args;
    std::memset((void*)(uintptr_t)(ebp - kQtArea), 0xCC, kQtArea);
    uint32_t result = CallTo16(target, (const void*)(uintptr_t)args, nbytes);
    return (uint64_t)(args + nbytes) << 32 | result;
}

uint32_t sim_map_slot(uint32_t* slot)
{
    uint32_t far = Map(*slot);
    if (slot_mappings.count((uint32_t)(uintptr_t)slot))
        Violation("SMapLS_IP_EBP: the slot at %p is mapped already", (void*)slot);
    slot_mappings[(uint32_t)(uintptr_t)slot] = far;
    *slot = far;  // as the platform does: the slot now holds the 16:16 pointer
    return far;
}

void sim_unmap_slot(uint32_t* slot)
{
    auto it = slot_mappings.find((uint32_t)(uintptr_t)slot);
    if (it == slot_mappings.end()) {
        Violation("SUnMapLS_IP_EBP: no mapping was made for the slot at %p", (void*)slot);
        return;
    }
    if (*slot != it->second)
        Violation("SUnMapLS_IP_EBP: the slot at %p was changed while mapped", (void*)slot);
    Unmap(it->second, "SUnMapLS_IP_EBP");
    slot_mappings.erase(it);
}

uint64_t sim_map_flat(uint32_t flat)
{
    uint32_t far = Map(flat);
    return (uint64_t)far << 32 | far;  // the token is the 16:16 pointer itself
}

void sim_unmap_token(uint32_t token) { Unmap(token, "SUnMapLS"); }

void QT_Thunk();
void SMapLS();
void SUnMapLS();
#define SLOT_SERVICES(n) void SMapLS_IP_EBP_##n(); void SUnMapLS_IP_EBP_##n();
SLOT_SERVICES(8) SLOT_SERVICES(12) SLOT_SERVICES(16) SLOT_SERVICES(20)
SLOT_SERVICES(24) SLOT_SERVICES(28) SLOT_SERVICES(36) SLOT_SERVICES(40)
}

SIM_EXPORT("KERNEL32", QT_Thunk);
SIM_EXPORT("KERNEL32", SMapLS);
SIM_EXPORT("KERNEL32", SUnMapLS);
#define EXPORT_SLOT_SERVICES(n) \
    SIM_EXPORT("KERNEL32", SMapLS_IP_EBP_##n); \
    SIM_EXPORT("KERNEL32", SUnMapLS_IP_EBP_##n)
EXPORT_SLOT_SERVICES(8);
EXPORT_SLOT_SERVICES(12);
EXPORT_SLOT_SERVICES(16);
EXPORT_SLOT_SERVICES(20);
EXPORT_SLOT_SERVICES(24);
EXPORT_SLOT_SERVICES(28);
EXPORT_SLOT_SERVICES(36);
EXPORT_SLOT_SERVICES(40);

// KERNEL32: the bodies of the 32-to-16 thunk services of thunk.asm, and their registration.
//
// FT_Thunk hands the target everything between the stack pointer and FT_Prolog's 64-byte area,
// with each argument that the translation mask flags (bit k: the dword 2k bytes above the lowest
// byte) mapped for the call; the target may pop fewer bytes than that, never more.
//
// QT_Thunk takes the argument list to be exactly the bytes between the stack pointer and the
// calling frame's saved EBX, ESI and EDI, below its 60-byte area, and checks that the 16-bit
// target pops exactly that many. The 60-byte area is QT_Thunk's: it is spoiled on every call.
// A pointer mapping is a 16-bit data selector whose base is the flat pointer. SMapLS's release
// token is a value of its own, never the 16:16 pointer, and a null pointer's mapping is held
// until released like any other, so a call site that releases with the wrong value or not at
// all is caught. Every release by the SMapLS family is logged with its flat pointer, in order.
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

struct Mapping {
    uint32_t far, flat;  // the 16:16 pointer handed out, the flat pointer it addresses
};
std::map<uint32_t, Mapping> slot_mappings;  // slot address -> what was mapped there
std::map<uint32_t, Mapping> tokens;         // SMapLS's release tokens
std::map<uint16_t, uint32_t> live;          // selector -> flat pointer
uint32_t token_serial;

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
unsigned LiveMappings()
{
    unsigned null_mappings = 0;
    for (auto& [token, mapping] : tokens) null_mappings += mapping.far == 0;
    return (unsigned)live.size() + null_mappings;
}
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
    slot_mappings[(uint32_t)(uintptr_t)slot] = {far, *slot};
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
    if (*slot != it->second.far)
        Violation("SUnMapLS_IP_EBP: the slot at %p was changed while mapped", (void*)slot);
    machine().releases.push_back(it->second.flat);
    Unmap(it->second.far, "SUnMapLS_IP_EBP");
    slot_mappings.erase(it);
}

uint64_t sim_map_flat(uint32_t flat)
{
    uint32_t far = Map(flat);
    // A token has a non-zero offset half, which no mapping's 16:16 pointer has.
    uint32_t token = ++token_serial << 16 | 0x70C5;
    tokens[token] = {far, flat};
    return (uint64_t)token << 32 | far;
}

void sim_unmap_token(uint32_t token)
{
    auto it = tokens.find(token);
    if (it == tokens.end()) {
        Violation("SUnMapLS: %08X is not the token of a live mapping", token);
        return;
    }
    machine().releases.push_back(it->second.flat);
    Unmap(it->second.far, "SUnMapLS");
    tokens.erase(it);
}

// The flat-thunk frame that FT_Prolog opens (thunk.asm).
struct FlatFrame {
    uint32_t mark;       // EBP-28
    uint32_t arg_bytes;  // EBP-24: CH at FT_Prolog
    uint32_t mask;       // EBP-20
    uint32_t saved[3];   // EDI, ESI, EBX
    uint32_t target;     // EBP-4
};
constexpr uint32_t kFlatMark = 0x46545046;
constexpr uint32_t kFlatArea = 64;
constexpr uint32_t kFreeDwords = 9;           // EBP-64 .. EBP-29, as FT_Prolog filled them
constexpr uint32_t kFreeValue = 0x45455246;

const FlatFrame* OpenFlatFrame(uint32_t ebp, const char* who)
{
    const auto* f = (const FlatFrame*)(uintptr_t)(ebp - 28);
    if (f->mark != kFlatMark) {
        Violation("%s: EBP %08X is not a frame that FT_Prolog opened", who, ebp);
        return nullptr;
    }
    const auto* area = (const uint32_t*)(uintptr_t)(ebp - kFlatArea);
    for (uint32_t i = 0; i < kFreeDwords; ++i)
        if (area[i] != kFreeValue) {
            Violation("%s: the caller wrote into FT_Prolog's area at EBP-%u", who, kFlatArea - 4 * i);
            break;
        }
    return f;
}

uint32_t sim_ft_thunk_body(uint32_t ebp, uint32_t esp)
{
    const FlatFrame* f = OpenFlatFrame(ebp, "FT_Thunk");
    uint32_t args = esp + 4, area = ebp - kFlatArea;
    if (f == nullptr || area < args || area - args > kMaxArgBytes) {
        if (f) Violation("FT_Thunk: no argument list below the frame (EBP %08X, ESP %08X)", ebp, esp);
        return 0;
    }
    uint32_t nbytes = area - args;
    uint8_t list[kMaxArgBytes];
    std::memcpy(list, (const void*)(uintptr_t)args, nbytes);
    uint32_t mapped[32];
    unsigned count = 0;
    for (unsigned k = 0; k < 32; ++k) {
        if (!(f->mask >> k & 1)) continue;
        if (2 * k + 4 > nbytes) {
            Violation("FT_Thunk: mask bit %u lies beyond the %u bytes of arguments", k, nbytes);
            continue;
        }
        uint32_t flat;
        std::memcpy(&flat, list + 2 * k, 4);
        mapped[count] = Map(flat);
        std::memcpy(list + 2 * k, &mapped[count], 4);
        ++count;
    }
    int popped;
    uint32_t result = CallTo16Popping(f->target, list, nbytes, &popped);
    if (popped < 0 || popped > (int)nbytes)
        Violation("FT_Thunk: the 16-bit procedure %04X:%04X popped %d of %u bytes",
                  f->target >> 16, f->target & 0xFFFF, popped, nbytes);
    for (unsigned i = 0; i < count; ++i) Unmap(mapped[i], "FT_Thunk");
    return result & 0xFFFF;
}

void sim_ft_exit_check(uint32_t ebp, uint32_t removed)
{
    const FlatFrame* f = OpenFlatFrame(ebp, "FT_Exit");
    if (f && f->arg_bytes != removed)
        Violation("FT_Exit%u closes a frame whose arguments FT_Prolog was told are %u bytes", removed, f->arg_bytes);
}

void QT_Thunk();
void FT_Prolog();
void FT_Thunk();
void FT_Exit12();
void FT_Exit16();
void FT_Exit20();
void FT_Exit24();
void FT_Exit36();
void FT_Exit48();
void SMapLS();
void SUnMapLS();
#define SLOT_SERVICES(n) void SMapLS_IP_EBP_##n(); void SUnMapLS_IP_EBP_##n();
SLOT_SERVICES(8) SLOT_SERVICES(12) SLOT_SERVICES(16) SLOT_SERVICES(20)
SLOT_SERVICES(24) SLOT_SERVICES(28) SLOT_SERVICES(36) SLOT_SERVICES(40)
}

SIM_EXPORT("KERNEL32", QT_Thunk);
SIM_EXPORT("KERNEL32", FT_Prolog);
SIM_EXPORT("KERNEL32", FT_Thunk);
SIM_EXPORT("KERNEL32", FT_Exit12);
SIM_EXPORT("KERNEL32", FT_Exit16);
SIM_EXPORT("KERNEL32", FT_Exit20);
SIM_EXPORT("KERNEL32", FT_Exit24);
SIM_EXPORT("KERNEL32", FT_Exit36);
SIM_EXPORT("KERNEL32", FT_Exit48);
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

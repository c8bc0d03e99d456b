#include "fontmgr.h"

#include <algorithm>
#include <cstring>

#include "../core/fault.h"
#include "../core/ldt.h"
#include "../core/machine.h"
#include "../kernel16/kernel16.h"

namespace sim {

const AtmFunction kAtmFunctions[19] = {
    {"ATMIsUp", ""},
    {"ATMAddFont", "WPWPPW"},
    {"ATMBBoxBaseXYShowText", "WWWWRPWPPWGG"},
    {"ATMBeginFontChange", ""},
    {"ATMForceFontChange", ""},
    {"ATMEndFontChange", ""},
    {"ATMEnumFonts", "WDD"},
    {"ATMEnumMMFonts", "WPDD"},
    {"ATMFontAvailable", "PWWWWG"},
    {"ATMFontSelected", "W"},
    {"ATMGetFontBBox", "WP"},
    {"ATMGetFontPaths", "WPP"},
    {"ATMGetMenuName", "WPP"},
    {"ATMGetOutline", "WWPDDDDD"},
    {"ATMGetPostScriptName", "WPP"},
    {"ATMGetVersion", ""},
    {"ATMRemoveFont", "WPW"},
    {"ATMSelectObject", "WWWG"},
    {"ATMXYShowText", "WWWWRPWPP"},
};

unsigned ArgBytesOf(const char* kinds)
{
    unsigned n = 0;
    for (const char* k = kinds; *k; ++k) n += *k == 'W' ? 2 : 4;
    return n;
}

AtmCall DecodeCall(const char* name, const char* kinds, const uint8_t* args)
{
    unsigned total = ArgBytesOf(kinds);
    AtmCall call;
    call.name = name;
    call.args.assign(args, args + total);
    // Arguments lie first at the highest address; values by their offset from the lowest.
    unsigned offset = total;
    for (const char* k = kinds; *k; ++k) {
        unsigned size = *k == 'W' ? 2 : 4;
        offset -= size;
        uint32_t value = 0;
        std::memcpy(&value, args + offset, size);
        call.values.push_back(value);
        if (*k != 'P' && *k != 'R' && *k != 'G') continue;
        call.pointers.push_back(value);
        std::vector<uint8_t> bytes;
        const uint8_t* at = (const uint8_t*)(uintptr_t)Linear16(value);
        uint8_t b;
        while (value != 0 && at && bytes.size() < kPointeeBytes && CopyGuarded(&b, at + bytes.size(), 1))
            bytes.push_back(b);
        call.pointees.push_back(bytes);
    }
    return call;
}

unsigned FontManager::CallsOf(const std::string& name) const
{
    unsigned n = 0;
    for (const AtmCall& c : calls) n += c.name == name;
    return n;
}

const AtmCall* FontManager::LastCall(const std::string& name) const
{
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->name == name) return &*it;
    return nullptr;
}

namespace {

constexpr uint16_t kIsUpOffset = 0x10;
constexpr uint32_t kScratchSize = 0x1000;

FontManagerSetup setup;
FontManager state;
GuardedBlock code_block, scratch_block;
std::vector<std::string> installed_modules;  // registered with 16-bit KERNEL until removed
uint16_t scratch_selector;

// Places bytes in the font manager's 16-bit scratch segment; their 16:16 address.
uint32_t Place(uint16_t offset, const void* bytes, size_t n)
{
    std::memcpy(scratch_block.data + offset, bytes, n);
    return MakeFar(scratch_selector, offset);
}

uint16_t CallProcedure(uint32_t procedure, const Args16& args)
{
    uint16_t ax = (uint16_t)CallTo16(procedure, args);
    state.callback_results.push_back(ax);
    return ax;
}

// Calls an enumeration procedure with one font: its 50-byte block, its name, a value, the client.
uint16_t CallEnumProcedure(uint32_t procedure, std::string block, const std::string& name, uint16_t value,
                           uint32_t client)
{
    block.resize(50, '\0');
    uint32_t a = Place(0, block.data(), 50);
    uint32_t s = Place(0x40, name.c_str(), name.size() + 1);
    return CallProcedure(procedure, Args16().D(a).D(s).W(value).D(client));
}

void EnumFonts(uint32_t procedure, uint32_t client)
{
    for (const EnumFont& f : setup.fonts)
        if (CallEnumProcedure(procedure, f.block, f.name, f.value, client) == 0 && setup.stop_on_zero) return;
}

void EnumMMFonts(uint32_t procedure, uint32_t client)
{
    for (std::string block : setup.mm_blocks) {
        block.resize(320, '\0');
        uint32_t a = Place(0, block.data(), 320);
        if (CallProcedure(procedure, Args16().D(a).D(client)) == 0 && setup.stop_on_zero) return;
    }
}

void GetOutline(const uint32_t procedures[4], uint32_t client)
{
    for (const OutlineStep& step : setup.outline) {
        Args16 args;
        for (size_t i = 0; i < step.points.size(); ++i)
            args.D(Place((uint16_t)(8 * i), &step.points[i], 8));
        if (CallProcedure(procedures[step.procedure - 1], args.D(client)) == 0 && setup.stop_on_zero) return;
    }
}

uint16_t DefaultResult(const std::string& name)
{
    if (name == "ATMIsUp") return 1;
    if (name == "ATMGetVersion") return 0x0105;
    return 0;
}

// The working font manager: its answer to a call, after the call has been recorded.
uint16_t Work(const std::string& name, const AtmCall& call, const std::vector<uint32_t>& dwords)
{
    auto font = [&]() { return ReadString16(call.pointers.at(0)); };
    auto find = [&](const std::string& f) { return std::find(state.fonts.begin(), state.fonts.end(), f); };
    if (name == "ATMAddFont") {
        uint16_t request;
        std::memcpy(&request, call.args.data(), 2);  // the last argument lies lowest
        bool present = find(font()) != state.fonts.end();
        if (request == 1) return present ? kFontInstalled : 0;
        if (present) return (uint16_t)kFontAlreadyInstalled;
        state.fonts.push_back(font());
        return kFontAdded;
    }
    if (name == "ATMRemoveFont") {
        auto it = find(font());
        if (it == state.fonts.end()) return (uint16_t)kFontNotInstalled;
        state.fonts.erase(it);
        return 0;
    }
    if (name == "ATMEnumFonts") {
        for (size_t i = 0; i < state.fonts.size(); ++i)
            if (CallEnumProcedure(dwords[0], state.fonts[i].substr(0, 49), state.fonts[i], (uint16_t)i, dwords[1]) == 0)
                return (uint16_t)-8;
        return 0;
    }
    if (name == "ATMGetOutline") {
        // A unit square: move to its first corner, lines to the others, close.
        static const uint64_t kCorners[] = {0, 1000, 1000ull << 32 | 1000, 1000ull << 32};
        for (int i = 0; i < 4; ++i) {
            uint32_t p = Place(0, &kCorners[i], 8);
            if (CallProcedure(dwords[i == 0 ? 0 : 1], Args16().D(p).D(dwords[4])) == 0) return (uint16_t)-8;
        }
        if (CallProcedure(dwords[3], Args16().D(dwords[4])) == 0) return (uint16_t)-8;
        return 0;
    }
    if (name == "ATMGetVersion") return setup.version;
    return DefaultResult(name);
}

uint32_t AtmBody(const uint8_t* args, void* context)
{
    const AtmFunction& fn = *static_cast<const AtmFunction*>(context);
    AtmCall call = DecodeCall(fn.name, fn.kinds, args);
    std::vector<uint32_t> dwords;
    for (size_t i = 0; fn.kinds[i]; ++i)
        if (fn.kinds[i] == 'D') dwords.push_back(call.values[i]);
    state.calls.push_back(call);

    auto writes = setup.writes.find(fn.name);
    if (writes != setup.writes.end())
        for (auto& [index, bytes] : writes->second)
            if (index < call.pointers.size() && call.pointers[index] != 0)
                std::memcpy((void*)(uintptr_t)Linear16(call.pointers[index]), bytes.data(), bytes.size());

    std::string name = fn.name;
    if (setup.working) return Work(name, call, dwords);
    if (name == "ATMEnumFonts") EnumFonts(dwords[0], dwords[1]);
    if (name == "ATMEnumMMFonts") EnumMMFonts(dwords[0], dwords[1]);
    if (name == "ATMGetOutline") GetOutline(&dwords[0], dwords[4]);

    std::deque<uint16_t>& scripted = setup.results[name];
    if (scripted.empty()) return DefaultResult(name);
    uint16_t result = scripted.front();
    scripted.pop_front();
    return result;
}

uint16_t NewSegment(GuardedBlock& block, uint32_t size, SegKind kind)
{
    block = AllocGuarded(size, kind == SegKind::Code);
    std::memset(block.data, 0, size);
    SegmentSpec spec;
    spec.base = (uint32_t)(uintptr_t)block.data;
    spec.limit = size - 1;
    spec.kind = kind;
    return AllocSelector(spec);
}

}  // namespace

FontManager& InstallFontManager(const FontManagerSetup& s)
{
    RemoveFontManager();
    setup = s;
    state = FontManager();
    scratch_selector = NewSegment(scratch_block, kScratchSize, SegKind::Data);

    // ATMIsUp's code segment: a far jump at the entry to its relay, a byte 0xCB just before the
    // entry (never a valid answer) and one at the chosen place; every other byte is zero.
    uint32_t size = setup.code_size;
    state.code_selector = NewSegment(code_block, size, SegKind::Code);
    state.isup_offset = kIsUpOffset;

    std::vector<Export16> exports;
    for (unsigned i = 0; i < 19; ++i) {
        const AtmFunction& fn = kAtmFunctions[i];
        if (setup.absent.count(fn.name)) continue;
        uint32_t entry = MakeEntry16(AtmBody, ArgBytesOf(fn.kinds), const_cast<AtmFunction*>(&fn));
        if (i == 0) {
            uint8_t* at = code_block.data + kIsUpOffset;
            at[0] = 0xEA;  // jmp far selector:offset
            std::memcpy(at + 1, &entry, 4);
            entry = MakeFar(state.code_selector, kIsUpOffset);
        }
        exports.push_back({(uint16_t)(i + 1), fn.name, entry});
        state.entries[fn.name] = entry;
    }
    code_block.data[kIsUpOffset - 1] = 0xCB;
    if (setup.far_return_at >= 0 && kIsUpOffset + (uint32_t)setup.far_return_at < size)
        code_block.data[kIsUpOffset + setup.far_return_at] = 0xCB;
    for (const std::string& name : setup.modules) state.module_handles.push_back(RegisterModule16(name, exports));
    installed_modules = setup.modules;
    return state;
}

void RemoveFontManager()
{
    for (const std::string& name : installed_modules) UnregisterModule16(name);
    installed_modules.clear();
    if (code_block.mapping) {
        FreeSelector(state.code_selector);
        FreeGuarded(code_block);
    }
    if (scratch_block.mapping) {
        FreeSelector(scratch_selector);
        FreeGuarded(scratch_block);
    }
    state = FontManager();
}

}  // namespace sim

// 16-bit KERNEL: module databases, the module registry, and GetModuleHandle / GetProcAddress.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "../core/ldt.h"
#include "../core/machine.h"
#include "kernel16.h"
#include "relay16.h"

namespace sim {
namespace {

// Offsets in a module database (the loaded NE header and its tables).
constexpr uint16_t kEntryTableOffset = 0x04, kSegmentTableOffset = 0x22, kResidentNamesOffset = 0x26;
constexpr uint16_t kSegmentTable = 0x40;    // four 10-byte entries
constexpr uint16_t kResidentNames = 0x86;   // beyond the first 64 bytes, as in a real KERNEL
constexpr uint16_t kFirstBundle = 0x100;
constexpr unsigned kEntrySize = 5, kBundleHeader = 6;

struct Segment16 {
    uint16_t selector;
    GuardedBlock memory;
};
std::vector<Segment16> segments;  // module databases and plain segments
std::vector<uint16_t> phantoms;
std::vector<GuardedBlock> phantom_memory;

struct Module16 {
    uint16_t handle;
    std::vector<Export16> exports;
};
std::map<std::string, Module16> modules;
std::vector<std::string> module_requests;
FarPtr16 kernel_entries[sizeof kKernelOrdinals / sizeof kKernelOrdinals[0]];

std::string Upper(std::string s)
{
    for (char& c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}

void Put16(uint8_t* at, uint16_t v) { std::memcpy(at, &v, 2); }

// A data segment holding `bytes`. Its limit is normally the last byte, so that it ends at the
// no-access pages; a shorter `limit` leaves the bytes after it readable through the linear
// address alone (on qemu, a read through a segment register past this limit is not caught).
uint16_t NewSegment(uint16_t selector, const uint8_t* bytes, uint32_t size, uint32_t limit = 0xFFFFFFFF)
{
    GuardedBlock memory = AllocGuarded(size);
    std::memcpy(memory.data, bytes, size);
    SegmentSpec spec;
    spec.base = (uint32_t)(uintptr_t)memory.data;
    spec.limit = std::min(limit, size - 1);
    uint16_t got = AllocSelector(spec, selector);
    if (got == 0) {
        FreeGuarded(memory);
        Violation("the 16-bit machine cannot place a segment at selector %04X", selector);
        return 0;
    }
    segments.push_back({got, memory});
    return got;
}

// Entry bundles with the ordinals of `missing` cut out, so that each leaves a gap.
std::vector<Bundle> CutGaps(std::vector<Bundle> bundles, const std::set<uint16_t>& missing)
{
    for (uint16_t ordinal : missing) {
        std::vector<Bundle> cut;
        for (const Bundle& b : bundles) {
            if (ordinal < b.first || ordinal > b.last) {
                cut.push_back(b);
                continue;
            }
            if (ordinal > b.first) cut.push_back({b.first, (uint16_t)(ordinal - 1)});
            if (ordinal < b.last) cut.push_back({(uint16_t)(ordinal + 1), b.last});
        }
        bundles = cut;
    }
    return bundles;
}

uint32_t GetModuleHandle16(const uint8_t* args, void*)
{
    FarPtr16 name = Arg16D(args, 0);
    module_requests.push_back(ReadString16(name));
    auto it = modules.find(Upper(module_requests.back()));
    return it == modules.end() ? 0 : it->second.handle;
}

uint32_t GetProcAddress16(const uint8_t* args, void*)
{
    FarPtr16 name = Arg16D(args, 0);
    uint16_t handle = Arg16W(args, 4);
    for (auto& [module_name, module] : modules) {
        if (module.handle != handle) continue;
        bool by_ordinal = (name >> 16) == 0;
        std::string wanted = by_ordinal ? std::string() : ReadString16(name);
        for (const Export16& e : module.exports)
            if (by_ordinal ? e.ordinal == (name & 0xFFFF) : e.name == wanted) return e.address;
    }
    return 0;
}

// The bytes of a module database.
std::vector<uint8_t> DatabaseBytes(const std::string& name, const std::vector<Bundle>& bundles,
                                   const std::vector<Export16>& exports)
{
    std::vector<uint8_t> db(kFirstBundle, 0);
    db[0] = 'N';
    db[1] = 'E';
    Put16(&db[kSegmentTableOffset], kSegmentTable);
    Put16(&db[kResidentNamesOffset], kResidentNames);
    uint16_t code = exports.empty() ? 0 : (uint16_t)(exports[0].address >> 16);
    Put16(&db[kSegmentTable + 8], (uint16_t)(code - 1));    // segment 1: an even handle
    Put16(&db[kSegmentTable + 10 + 8], code);               // segment 2: odd, the selector itself
    db[kResidentNames] = (uint8_t)name.size();
    std::memcpy(&db[kResidentNames + 1], name.data(), std::min<size_t>(name.size(), 0x100 - kResidentNames - 4));

    Put16(&db[kEntryTableOffset], bundles.empty() ? 0 : kFirstBundle);
    for (size_t i = 0; i < bundles.size(); ++i) {
        const Bundle& b = bundles[i];
        size_t at = db.size();
        db.resize(at + kBundleHeader + kEntrySize * (b.last - b.first + 1), 0);
        Put16(&db[at], (uint16_t)(b.first - 1));
        Put16(&db[at + 2], b.last);
        if (i + 1 < bundles.size()) Put16(&db[at + 4], (uint16_t)db.size());
        for (const Export16& e : exports) {
            if (e.ordinal < b.first || e.ordinal > b.last) continue;
            uint8_t* entry = &db[at + kBundleHeader + kEntrySize * (e.ordinal - b.first)];
            entry[0] = 1;  // flags: exported
            entry[2] = (e.ordinal & 1) ? 1 : 2;
            Put16(entry + 3, (uint16_t)(e.address & 0xFFFF));
        }
    }
    return db;
}

void PutName(std::vector<uint8_t>& at, uint16_t offset, const std::string& name)
{
    if (at.size() < offset + name.size() + 3u) at.resize(offset + name.size() + 3u, 0);  // with its ordinal word
    at[offset] = (uint8_t)name.size();
    std::memcpy(&at[offset + 1], name.data(), name.size());
}

}  // namespace

const std::vector<std::string>& ModuleRequests16() { return module_requests; }

uint32_t Linear16(FarPtr16 address)
{
    win32::LdtEntry e;
    if (!ReadDescriptor((uint16_t)(address >> 16), &e)) return 0;
    return DescriptorBase(e) + (address & 0xFFFF);
}

std::string ReadString16(FarPtr16 address, unsigned max)
{
    uint32_t linear = Linear16(address);
    if (linear == 0) return std::string();
    const char* s = (const char*)(uintptr_t)linear;
    return std::string(s, strnlen(s, max));
}

uint16_t BuildModuleDatabase(uint16_t selector, const std::string& name, const std::vector<Bundle>& bundles,
                             const std::vector<Export16>& exports)
{
    std::vector<uint8_t> db = DatabaseBytes(name, bundles, exports);
    return NewSegment(selector, db.data(), (uint32_t)db.size());
}

uint16_t BuildPlainSegment(uint16_t selector, const std::string& contents)
{
    std::vector<uint8_t> bytes(contents.begin(), contents.end());
    bytes.resize(std::max<size_t>(bytes.size(), 64), 0);
    return NewSegment(selector, bytes.data(), (uint32_t)bytes.size());
}

void AddPhantomDescriptor(uint16_t selector, const std::string& contents)
{
    GuardedBlock memory = AllocGuarded((uint32_t)std::max<size_t>(contents.size(), 64));
    std::memcpy(memory.data, contents.data(), contents.size());
    uint32_t base = (uint32_t)(uintptr_t)memory.data;
    win32::LdtEntry e = {};
    e.LimitLow = 0xFFFF;
    e.BaseLow = (uint16_t)base;
    e.BaseMid = (uint8_t)(base >> 16);
    e.BaseHi = (uint8_t)(base >> 24);
    e.Flags1 = 0xF2;  // present, DPL 3, writable data
    SetPhantomDescriptor(selector, &e);
    phantoms.push_back(selector);
    phantom_memory.push_back(memory);
}

uint16_t BuildDecoy(uint16_t selector, Decoy decoy)
{
    std::vector<uint8_t> kernel = DatabaseBytes("KERNEL", {}, {});
    uint32_t limit = 0xFFFFFFFF;
    switch (decoy) {
    case Decoy::Phantom:
        AddPhantomDescriptor(selector, std::string(kernel.begin(), kernel.end()));
        return selector;
    case Decoy::Kernel32: return BuildModuleDatabase(selector, "KERNEL32", {}, {});
    case Decoy::LowerCase: return BuildModuleDatabase(selector, "kernel", {}, {});
    case Decoy::ShortName: return BuildModuleDatabase(selector, "KERN", {}, {});
    case Decoy::LastCharacter: return BuildModuleDatabase(selector, "KERNEX", {}, {});
    case Decoy::NoSignature: return BuildPlainSegment(selector, std::string("\x06KERNEL", 7));
    case Decoy::OnlyTheN: kernel[1] = 'X'; break;
    case Decoy::NameAtTheUsualPlace:
        Put16(&kernel[kResidentNamesOffset], 0xC0);
        PutName(kernel, 0xC0, "GDI");
        break;
    case Decoy::NameOffsetAbove255:
        Put16(&kernel[kResidentNamesOffset], 0x100 | kResidentNames);
        PutName(kernel, 0x100 | kResidentNames, "USER");
        break;
    case Decoy::NameBeyondTheLimit: limit = kResidentNames - 7; break;
    case Decoy::NameCutByTheLimit: limit = kResidentNames + 3; break;
    case Decoy::NameInNoAccessPages: kernel.resize(0x50); break;
    }
    return NewSegment(selector, kernel.data(), (uint32_t)kernel.size(), limit);
}

void FreeModuleDatabases()
{
    for (Segment16& s : segments) {
        FreeSelector(s.selector);
        FreeGuarded(s.memory);
    }
    segments.clear();
    for (uint16_t p : phantoms) SetPhantomDescriptor(p, nullptr);
    phantoms.clear();
    for (GuardedBlock& m : phantom_memory) FreeGuarded(m);
    phantom_memory.clear();
    modules.clear();
}

uint16_t RegisterModule16(const std::string& name, const std::vector<Export16>& exports)
{
    uint16_t handle = BuildModuleDatabase(0, name, {}, {});
    modules[Upper(name)] = {handle, exports};
    return handle;
}

void UnregisterModule16(const std::string& name) { modules.erase(Upper(name)); }

uint16_t InstallKernel16(const KernelSetup& setup)
{
    // Entry-table bundles as a real KERNEL has them, gaps included.
    static const std::vector<Bundle> kBundles = {{1, 152}, {153, 211}, {212, 237}, {261, 263}};
    static const Body16 kBodies[] = {GlobalAlloc16, GlobalReAlloc16, GlobalFree16, GlobalLock16,
                                     GetModuleHandle16, GetProcAddress16, AllocDStoCSAlias16, FreeSelector16};
    static const unsigned kArgBytes[] = {6, 8, 2, 2, 4, 6, 2, 2};
    static const char* const kNames[] = {"GLOBALALLOC", "GLOBALREALLOC", "GLOBALFREE", "GLOBALLOCK",
                                         "GETMODULEHANDLE", "GETPROCADDRESS", "ALLOCDSTOCSALIAS", "FREESELECTOR"};
    module_requests.clear();
    std::vector<Export16> exports;
    for (size_t i = 0; i < sizeof kKernelOrdinals / sizeof kKernelOrdinals[0]; ++i) {
        kernel_entries[i] = MakeEntry16(kBodies[i], kArgBytes[i], nullptr);
        exports.push_back({kKernelOrdinals[i], kNames[i], kernel_entries[i]});
    }
    modules["KERNEL"] = {0, exports};
    if (setup.selector == 0) return 0;
    uint16_t selector = BuildModuleDatabase(setup.selector, "KERNEL", CutGaps(kBundles, setup.missing), exports);
    modules["KERNEL"].handle = selector;
    return selector;
}

FarPtr16 Kernel16Entry(uint16_t ordinal)
{
    for (size_t i = 0; i < sizeof kKernelOrdinals / sizeof kKernelOrdinals[0]; ++i)
        if (kKernelOrdinals[i] == ordinal) return kernel_entries[i];
    return 0;
}

}  // namespace sim

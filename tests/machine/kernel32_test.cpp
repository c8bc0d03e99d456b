#include <cstring>

#include "machine_test.h"

namespace {

using win32::BOOL;
using win32::DWORD;
using win32::HANDLE;

typedef BOOL(WINAPI* ReadProcessMemoryFn)(HANDLE, const void*, void*, DWORD, DWORD*);
typedef HANDLE(WINAPI* GetStdHandleFn)(DWORD);
typedef DWORD(WINAPI* GetFileTypeFn)(HANDLE);
typedef BOOL(WINAPI* WriteFileFn)(HANDLE, const void*, DWORD, DWORD*, void*);
typedef uint32_t(WINAPI* GetModuleHandleFn)(const char*);
typedef void*(WINAPI* GetProcAddressFn)(uint32_t, const char*);
typedef uint32_t(WINAPI* ShellExecuteFn)(uint32_t, const char*, const char*, const char*, const char*, int);

class Kernel32Test : public MachineTest {};

struct MemoryRead {
    const char* name;
    int from;     // offset from the guarded block's first byte; the block has 64 bytes
    DWORD size;
    bool ok;
};

class ReadProcessMemoryTest : public Kernel32Test, public ::testing::WithParamInterface<MemoryRead> {};

TEST_P(ReadProcessMemoryTest, CopiesReadableBytesAndNeverFaults)
{
    sim::GuardedBlock block = sim::AllocGuarded(64);
    for (int i = 0; i < 64; ++i) block.data[i] = (uint8_t)i;
    uint8_t out[128];
    std::memset(out, 0xEE, sizeof out);
    DWORD got = 12345;
    auto read = Kernel32<ReadProcessMemoryFn>("ReadProcessMemory");
    BOOL ok = read(win32::CurrentProcess(), block.data + GetParam().from, out, GetParam().size, &got);
    EXPECT_EQ(ok != 0, GetParam().ok);
    if (GetParam().ok) {
        EXPECT_EQ(got, GetParam().size);
        EXPECT_EQ(std::memcmp(out, block.data + GetParam().from, GetParam().size), 0);
    } else {
        EXPECT_EQ(got, 0u);
    }
    EXPECT_EQ(sim::machine().counters.memory_reads, 1u);
    sim::FreeGuarded(block);
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadProcessMemoryTest, ::testing::Values(
    MemoryRead{"Whole", 0, 64, true},
    MemoryRead{"LastByte", 63, 1, true},
    MemoryRead{"StraddlingTheEnd", 60, 8, false},
    MemoryRead{"Unmapped", 64, 4, false},
    MemoryRead{"Empty", 0, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Kernel32Test, ReadProcessMemoryRejectsOtherProcessesAndNullPages)
{
    auto read = Kernel32<ReadProcessMemoryFn>("ReadProcessMemory");
    uint32_t out;
    EXPECT_FALSE(read(win32::CurrentProcess(), nullptr, &out, 4, nullptr));
    EXPECT_FALSE(read((HANDLE)0x44, &out, &out, 4, nullptr));
    ASSERT_EQ(sim::machine().violations.size(), 1u);
    sim::machine().violations.clear();
}

struct FileKind {
    const char* name;
    DWORD type;
};

class GetFileTypeTest : public Kernel32Test, public ::testing::WithParamInterface<FileKind> {};

TEST_P(GetFileTypeTest, ReportsTheKindOfTheStandardHandle)
{
    sim::Stream out;
    out.type = GetParam().type;
    sim::machine().std_handles[1] = &out;
    HANDLE h = Kernel32<GetStdHandleFn>("GetStdHandle")(win32::kStdOutput);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Kernel32<GetFileTypeFn>("GetFileType")(h), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(Kinds, GetFileTypeTest, ::testing::Values(
    FileKind{"CharacterDevice", win32::kFileTypeChar}, FileKind{"DiskFile", win32::kFileTypeDisk},
    FileKind{"Pipe", win32::kFileTypePipe}, FileKind{"Unknown", win32::kFileTypeUnknown}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Kernel32Test, StandardHandlesThatAreAbsentOrInvalid)
{
    auto get = Kernel32<GetStdHandleFn>("GetStdHandle");
    auto type = Kernel32<GetFileTypeFn>("GetFileType");
    EXPECT_EQ(get(win32::kStdOutput), nullptr);
    sim::machine().std_handle_invalid[1] = true;
    EXPECT_EQ(get(win32::kStdOutput), win32::InvalidHandle());
    EXPECT_EQ(type(win32::InvalidHandle()), win32::kFileTypeUnknown);
    EXPECT_EQ(type(nullptr), win32::kFileTypeUnknown);
}

TEST_F(Kernel32Test, WriteFileKeepsEachWriteAndRefusesAMissingCount)
{
    sim::Stream err;
    sim::machine().std_handles[2] = &err;
    auto write = Kernel32<WriteFileFn>("WriteFile");
    HANDLE h = Kernel32<GetStdHandleFn>("GetStdHandle")(win32::kStdError);
    DWORD n = 0;
    EXPECT_TRUE(write(h, "ab", 2, &n, nullptr));
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(write(h, "cde", 3, &n, nullptr));
    EXPECT_EQ(err.bytes, "abcde");
    EXPECT_EQ(err.writes, (std::vector<std::string>{"ab", "cde"}));
    EXPECT_FALSE(write(h, "x", 1, nullptr, nullptr));
    EXPECT_EQ(err.bytes, "abcde");
    ASSERT_EQ(sim::machine().violations.size(), 1u);
    sim::machine().violations.clear();
}

// A buffer that cannot be read is refused, whatever its length, and nothing is written.
TEST_F(Kernel32Test, WriteFileRefusesABufferThatCannotBeRead)
{
    sim::Stream err;
    sim::machine().std_handles[2] = &err;
    auto write = Kernel32<WriteFileFn>("WriteFile");
    HANDLE h = Kernel32<GetStdHandleFn>("GetStdHandle")(win32::kStdError);
    sim::GuardedBlock page = sim::AllocGuarded(0x1000);  // readable, then no-access pages
    const uint8_t* end = page.data + 0x1000;
    struct Case {
        const void* data;
        DWORD size;
    };
    for (const Case& c : {Case{end - 1, 2}, Case{end, 1}, Case{page.data, 0x80000000u}, Case{nullptr, 4}}) {
        DWORD n = 7;
        EXPECT_FALSE(write(h, c.data, c.size, &n, nullptr)) << c.size;
        EXPECT_EQ(n, 0u);
    }
    DWORD n = 0;
    EXPECT_TRUE(write(h, end - 1, 1, &n, nullptr)) << "the last readable byte";
    EXPECT_EQ(err.writes.size(), 1u);
    sim::FreeGuarded(page);
}

TEST_F(Kernel32Test, GetModuleHandleFindsKernel32InAnyLetterCase)
{
    auto get = Kernel32<GetModuleHandleFn>("GetModuleHandleA");
    uint32_t h = get("KERNEL32");
    EXPECT_EQ(h, 0xBFF70000u) << "in the shared arena, as on Windows 95";
    for (const char* name : {"kernel32", "Kernel32.DLL", "KERNEL32.dll"}) EXPECT_EQ(get(name), h) << name;
    EXPECT_EQ(get("KERNEL"), 0u);
    EXPECT_EQ(get("QF-ATM.dll"), 0u);
    EXPECT_EQ(sim::machine().counters.module_lookups, 6u);
}

TEST_F(Kernel32Test, GetProcAddressHonoursHiddenNames)
{
    uint32_t k32 = Kernel32<GetModuleHandleFn>("GetModuleHandleA")("KERNEL32");
    auto proc = Kernel32<GetProcAddressFn>("GetProcAddress");
    void* exit = proc(k32, "ExitProcess");
    EXPECT_EQ(exit, sim::FindMachineExport("KERNEL32", "ExitProcess"));
    EXPECT_GE((uint32_t)(uintptr_t)exit, 0x80000000u) << "export addresses have the top bit set";
    EXPECT_EQ(proc(k32, "exitprocess"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(proc(k32, "NoSuchFunction"), nullptr);
    sim::machine().hidden_exports.insert("ExitProcess");
    EXPECT_EQ(proc(k32, "ExitProcess"), nullptr);
    EXPECT_EQ(sim::machine().counters.proc_lookups, 4u);
}

TEST_F(Kernel32Test, GetProcAddressReachesLoadedDlls)
{
    sim::PeModule* m = Load("reloc.dll");
    uint32_t h = Kernel32<GetModuleHandleFn>("GetModuleHandleA")("RELOC");
    EXPECT_EQ(h, m->handle());
    auto proc = Kernel32<GetProcAddressFn>("GetProcAddress");
    EXPECT_EQ(proc(h, "BumpCounter"), sim::FindPeExport(m, "BumpCounter"));
    EXPECT_EQ(proc(h, (const char*)9), sim::FindPeExportByOrdinal(m, 9));
}

TEST_F(Kernel32Test, ShellExecuteRecordsTheRequestAndAnswersTheChosenResult)
{
    auto shell = reinterpret_cast<ShellExecuteFn>(sim::FindMachineExport("shell32.dll", "ShellExecuteA"));
    ASSERT_NE(shell, nullptr);
    sim::machine().shell_result = 31;
    EXPECT_EQ(shell(0, "install", "setup.inf", nullptr, nullptr, 1), 31u);
    ASSERT_EQ(sim::machine().shell_requests.size(), 1u);
    const sim::ShellRequest& r = sim::machine().shell_requests[0];
    EXPECT_EQ(r.owner, 0u);
    EXPECT_EQ(r.operation, "install");
    EXPECT_EQ(r.file, "setup.inf");
    EXPECT_FALSE(r.has_parameters);
    EXPECT_FALSE(r.has_directory);
    EXPECT_EQ(r.show, 1);
}

}  // namespace

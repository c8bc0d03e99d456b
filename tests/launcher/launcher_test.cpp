// The setup launcher, run on the test machine: its shell request, its one line of output and its
// exit code; and the structure of the built EXE.
#include <cstring>
#include <set>

#include "machine_test.h"

namespace {

constexpr char kSuccess[] = "Installation completed.\nYou may close this window now.\r\n";
constexpr char kFailure[] = "Installation failed.\r\n";

class LauncherTest : public MachineTest {
protected:
    // Runs launcher.exe with the shell answering `shell_result`; its exit code.
    uint32_t Run(uint32_t shell_result)
    {
        sim::machine().shell_result = (int)shell_result;
        std::string error;
        sim::PeModule* exe = sim::LoadPe(std::string(KIT_DIR) + "/dist/launcher.exe", &error);
        EXPECT_NE(exe, nullptr) << error;
        if (exe == nullptr) return 0xDEAD;
        uint32_t code = sim::RunProgram(exe);
        sim::UnloadPe(exe);
        return code;
    }
};

struct Answer {
    uint32_t shell_result;  // a handle-sized value: above 32 is success, the high half included
    bool accepted;
};

struct Output {
    const char* name;
    win32::DWORD type;
};

class LauncherOutputTest : public LauncherTest, public ::testing::WithParamInterface<std::tuple<Answer, Output>> {};

TEST_P(LauncherOutputTest, WritesOneLineInOneWriteAndExitsWithZero)
{
    const auto& [answer, output] = GetParam();
    sim::Stream out;
    out.type = output.type;
    sim::machine().std_handles[1] = &out;
    EXPECT_EQ(Run(answer.shell_result), 0u);
    const std::string expected = answer.accepted ? kSuccess : kFailure;
    EXPECT_EQ(out.bytes, expected);
    EXPECT_EQ(out.bytes.size(), answer.accepted ? 56u : 22u);
    EXPECT_EQ(out.writes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Results, LauncherOutputTest,
    ::testing::Combine(::testing::Values(Answer{33, true}, Answer{42, true}, Answer{0x10000000, true},
                                         Answer{0x80000000, true}, Answer{0xFFFFFFFF, true}, Answer{32, false},
                                         Answer{31, false}, Answer{2, false}, Answer{0, false}),
                       ::testing::Values(Output{"Console", win32::kFileTypeChar}, Output{"File", win32::kFileTypeDisk},
                                         Output{"Pipe", win32::kFileTypePipe})),
    [](const auto& info) {
        return std::string(std::get<1>(info.param).name) + "Result" + std::to_string(std::get<0>(info.param).shell_result);
    });

TEST_F(LauncherTest, AsksTheShellToInstallSetupInf)
{
    EXPECT_EQ(Run(42), 0u);
    ASSERT_EQ(sim::machine().shell_requests.size(), 1u);
    const sim::ShellRequest& r = sim::machine().shell_requests[0];
    EXPECT_EQ(r.owner, 0u);
    EXPECT_TRUE(r.has_operation);
    EXPECT_EQ(r.operation, "install");
    EXPECT_TRUE(r.has_file);
    EXPECT_EQ(r.file, "setup.inf");
    EXPECT_FALSE(r.has_parameters);
    EXPECT_FALSE(r.has_directory);
    EXPECT_EQ(r.show, 1);
}

TEST_F(LauncherTest, WithoutUsableStandardOutputItIsSilentAndStillExitsWithZero)
{
    EXPECT_EQ(Run(42), 0u) << "no handle";
    sim::machine().std_handle_invalid[1] = true;
    EXPECT_EQ(Run(0), 0u) << "INVALID_HANDLE_VALUE";
    sim::machine().std_handle_invalid[1] = false;
    sim::Stream unknown;
    unknown.type = win32::kFileTypeUnknown;
    sim::machine().std_handles[1] = &unknown;
    EXPECT_EQ(Run(42), 0u) << "GetFileType 0";
    EXPECT_TRUE(unknown.writes.empty());
}

// The resource directory: the names of the entries of one type.
std::set<std::string> ResourceNames(const sim::PeModule* m, uint32_t type)
{
    const pe::DataDirectory& dir = m->nt->Optional.Directories[pe::kResourceDir];
    std::set<std::string> names;
    if (dir.Size == 0) return names;
    const uint8_t* root = m->base + dir.VirtualAddress;
    auto entries = [&](uint32_t offset, auto&& each) {
        const uint8_t* d = root + offset;
        uint16_t named, ids;
        std::memcpy(&named, d + 12, 2);
        std::memcpy(&ids, d + 14, 2);
        for (unsigned i = 0; i < (unsigned)named + ids; ++i) {
            uint32_t name, data;
            std::memcpy(&name, d + 16 + 8 * i, 4);
            std::memcpy(&data, d + 20 + 8 * i, 4);
            each(name, data);
        }
    };
    entries(0, [&](uint32_t id, uint32_t sub) {
        if (id != type || !(sub & 0x80000000)) return;
        entries(sub & 0x7FFFFFFF, [&](uint32_t name, uint32_t) {
            if (!(name & 0x80000000)) return;
            const uint8_t* s = root + (name & 0x7FFFFFFF);
            uint16_t length;
            std::memcpy(&length, s, 2);
            std::string text;
            for (unsigned k = 0; k < length; ++k) text += (char)s[2 + 2 * k];
            names.insert(text);
        });
    });
    return names;
}

TEST_F(LauncherTest, IsAGuiProgramForWindows95ThatImportsOnlyWhatItUses)
{
    std::string error;
    sim::PeModule* exe = sim::LoadPe(std::string(KIT_DIR) + "/dist/launcher.exe", &error);
    ASSERT_NE(exe, nullptr) << error;
    EXPECT_EQ(exe->nt->File.Machine, pe::kMachineI386);
    EXPECT_EQ(exe->nt->Optional.Magic, pe::kOptionalMagicPe32);
    EXPECT_FALSE(exe->is_dll);
    EXPECT_EQ(exe->nt->Optional.Subsystem, 2) << "GUI";
    EXPECT_EQ(exe->nt->Optional.MajorSubsystemVersion, 4);
    EXPECT_EQ(exe->nt->Optional.MinorSubsystemVersion, 0);
    EXPECT_EQ(exe->nt->Optional.MajorOperatingSystemVersion, 4);
    std::set<std::string> imports;
    for (const sim::PeImport& i : exe->imports) imports.insert(sim::CanonicalDllName(i.dll.c_str()) + "!" + i.name);
    EXPECT_EQ(imports, (std::set<std::string>{"SHELL32!ShellExecuteA", "KERNEL32!ExitProcess", "KERNEL32!GetFileType",
                                              "KERNEL32!GetStdHandle", "KERNEL32!WriteFile"}));
    EXPECT_EQ(ResourceNames(exe, 14), std::set<std::string>{"MAINICON"}) << "RT_GROUP_ICON";
    sim::UnloadPe(exe);
}

}  // namespace

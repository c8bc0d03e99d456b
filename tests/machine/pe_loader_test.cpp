#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "machine_test.h"
#include "pe/pe_format.h"

namespace {

class PeLoaderTest : public MachineTest {};

TEST_F(PeLoaderTest, AppliesRelocationsAwayFromThePreferredBase)
{
    sim::PeModule* home = Load("reloc.dll");
    sim::PeModule* away = Load("reloc.dll", {.avoid_preferred_base = true});
    ASSERT_TRUE(home && away);
    EXPECT_EQ(home->handle(), home->preferred_base);
    EXPECT_NE(away->handle(), away->preferred_base);
    EXPECT_EQ(Export<int (*)()>(home, "SumThroughTable")(), 4321);
    EXPECT_EQ(Export<int (*)()>(away, "SumThroughTable")(), 4321);
}

TEST_F(PeLoaderTest, EachLoadStartsWithTheFilesData)
{
    for (int round = 0; round < 2; ++round) {
        sim::PeModule* m = Load("reloc.dll");
        auto bump = Export<int (*)()>(m, "BumpCounter");
        EXPECT_EQ(bump(), 501) << "round " << round;
        EXPECT_EQ(bump(), 502);
        Unload(m);
        EXPECT_EQ(sim::LivePeMappings(), 0u);
    }
}

TEST_F(PeLoaderTest, CallsDllMainWithProcessAttach)
{
    sim::PeModule* m = Load("reloc.dll");
    EXPECT_EQ(Export<uint32_t (*)()>(m, "AttachReason")(), 1u);
}

TEST_F(PeLoaderTest, FindsExportsByNameAndOrdinal)
{
    sim::PeModule* m = Load("reloc.dll");
    EXPECT_EQ(sim::FindPeExportByOrdinal(m, 1), sim::FindPeExport(m, "SumThroughTable"));
    auto by_ordinal = reinterpret_cast<int (*)()>(sim::FindPeExportByOrdinal(m, 9));
    ASSERT_NE(by_ordinal, nullptr);
    EXPECT_EQ(by_ordinal(), 0x0D0D);
    EXPECT_EQ(sim::FindPeExport(m, "OnlyByOrdinal"), nullptr);
    EXPECT_EQ(sim::FindPeExportByOrdinal(m, 4), nullptr);
    EXPECT_EQ(sim::FindPeExportByOrdinal(m, 0), nullptr);
}

TEST_F(PeLoaderTest, BindsImportsByOrdinalAndByName)
{
    sim::PeModule* m = Load("importer.dll");  // brings reloc.dll in from beside it
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Export<int (*)()>(m, "CallOrdinalImport")(), 0x0D0D);
    EXPECT_EQ(Export<void* (*)()>(m, "CallGetCurrentProcess")(), win32::CurrentProcess());
    EXPECT_EQ(sim::LivePeMappings(), 2u);
}

struct RefusedLoad {
    const char* file;
    const char* hidden;  // a KERNEL32 name to hide first, or null
    std::vector<const char*> message;
};

std::string Identifier(const char* file)
{
    std::string s(file);
    for (char& c : s) if (!isalnum((unsigned char)c)) c = '_';
    return s;
}

class RefusedLoadTest : public MachineTest, public ::testing::WithParamInterface<RefusedLoad> {};

TEST_P(RefusedLoadTest, NamesTheFileAndTheFault)
{
    const RefusedLoad& c = GetParam();
    if (c.hidden) sim::machine().hidden_exports.insert(c.hidden);
    std::string error;
    EXPECT_EQ(sim::LoadPe(Fixture(c.file), &error), nullptr);
    EXPECT_NE(error.find(c.file), std::string::npos) << error;
    for (const char* part : c.message) EXPECT_NE(error.find(part), std::string::npos) << error;
    EXPECT_EQ(sim::LivePeMappings(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Imports, RefusedLoadTest, ::testing::Values(
    RefusedLoad{"missing_dll.dll", nullptr, {"NOSUCH.dll", "Missing"}},
    RefusedLoad{"missing_function.dll", nullptr, {"KERNEL32.dll", "NoSuchFunction"}},
    RefusedLoad{"importer.dll", "GetCurrentProcess", {"KERNEL32.dll", "GetCurrentProcess"}},
    RefusedLoad{"refuse.dll", nullptr, {"DllMain refused"}},
    RefusedLoad{"absent.dll", nullptr, {"cannot open"}}),
    [](const auto& info) { return std::string(info.param.hidden ? "Hidden_" : "") + Identifier(info.param.file); });

// Malformed files, made from a good one by changing or cutting bytes.
struct Damage {
    const char* name;
    void (*apply)(std::vector<uint8_t>&);
    const char* message;
};

uint32_t NtOffset(const std::vector<uint8_t>& f) { return reinterpret_cast<const pe::DosHeader*>(f.data())->e_lfanew; }
pe::NtHeaders* Nt(std::vector<uint8_t>& f) { return reinterpret_cast<pe::NtHeaders*>(f.data() + NtOffset(f)); }
pe::SectionHeader* FirstSection(std::vector<uint8_t>& f)
{
    return reinterpret_cast<pe::SectionHeader*>(reinterpret_cast<uint8_t*>(&Nt(f)->Optional) +
                                                Nt(f)->File.SizeOfOptionalHeader);
}

const Damage kDamages[] = {
    {"BadMz", [](std::vector<uint8_t>& f) { f[0] = 'Z'; }, "bad MZ magic"},
    {"BadPe", [](std::vector<uint8_t>& f) { f[NtOffset(f)] = 'X'; }, "bad PE magic"},
    {"OtherMachine", [](std::vector<uint8_t>& f) { Nt(f)->File.Machine = 0x8664; }, "0x8664 is not i386"},
    {"TruncatedInDos", [](std::vector<uint8_t>& f) { f.resize(40); }, "truncated"},
    {"TruncatedInPe", [](std::vector<uint8_t>& f) { f.resize(NtOffset(f) + 10); }, "truncated"},
    {"TruncatedInSections", [](std::vector<uint8_t>& f) { f.resize((uint8_t*)FirstSection(f) - f.data() + 8); }, "truncated"},
    {"LfanewBeyondEnd", [](std::vector<uint8_t>& f) { reinterpret_cast<pe::DosHeader*>(f.data())->e_lfanew = 0xFFFFFFF0; }, "truncated"},
    {"SectionOutsideFile", [](std::vector<uint8_t>& f) { FirstSection(f)->PointerToRawData = (uint32_t)f.size(); }, "lies outside the file"},
    {"SectionRawSizeWraps", [](std::vector<uint8_t>& f) { FirstSection(f)->SizeOfRawData = 0xFFFFFF00; }, "lies outside the file"},
    {"SectionOutsideImage", [](std::vector<uint8_t>& f) { FirstSection(f)->VirtualAddress = 0x7FFF0000; }, "lies outside the image"},
};

class MalformedFileTest : public MachineTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(MalformedFileTest, IsRefusedWithItsFault)
{
    std::ifstream in(Fixture("reloc.dll"), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 1024u);
    GetParam().apply(bytes);
    std::string path = ::testing::TempDir() + "damaged_" + GetParam().name + ".dll";
    std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), (std::streamsize)bytes.size());
    std::string error;
    EXPECT_EQ(sim::LoadPe(path, &error), nullptr);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Headers, MalformedFileTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// The PE32 records that the loader reads (Microsoft PE/COFF format, i386).
#pragma once
#include <cstdint>

namespace pe {

constexpr uint16_t kMzMagic = 0x5A4D;
constexpr uint32_t kPeSignature = 0x00004550;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kSectionExecute = 0x20000000, kSectionRead = 0x40000000, kSectionWrite = 0x80000000;
constexpr uint32_t kOrdinalFlag = 0x80000000;
constexpr uint16_t kRelAbsolute = 0, kRelHighLow = 3;

enum Directory { kExportDir = 0, kImportDir = 1, kResourceDir = 2, kRelocDir = 5, kTlsDir = 9, kIatDir = 12 };

#pragma pack(push, 1)
struct DosHeader {
    uint16_t e_magic;
    uint8_t unused[58];
    uint32_t e_lfanew;
};

struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct OptionalHeader32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion, MinorLinkerVersion;
    uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint, BaseOfCode, BaseOfData, ImageBase;
    uint32_t SectionAlignment, FileAlignment;
    uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion;
    uint16_t MajorImageVersion, MinorImageVersion;
    uint16_t MajorSubsystemVersion, MinorSubsystemVersion;
    uint32_t Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    uint16_t Subsystem, DllCharacteristics;
    uint32_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    uint32_t LoaderFlags, NumberOfRvaAndSizes;
    DataDirectory Directories[16];
};

struct NtHeaders {
    uint32_t Signature;
    FileHeader File;
    OptionalHeader32 Optional;
};

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize, VirtualAddress, SizeOfRawData, PointerToRawData;
    uint32_t PointerToRelocations, PointerToLinenumbers;
    uint16_t NumberOfRelocations, NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct ImportDescriptor {
    uint32_t OriginalFirstThunk, TimeDateStamp, ForwarderChain, Name, FirstThunk;
};

struct ExportDirectory {
    uint32_t Characteristics, TimeDateStamp;
    uint16_t MajorVersion, MinorVersion;
    uint32_t Name, Base, NumberOfFunctions, NumberOfNames;
    uint32_t AddressOfFunctions, AddressOfNames, AddressOfNameOrdinals;
};

struct RelocBlock {
    uint32_t VirtualAddress, SizeOfBlock;
};
#pragma pack(pop)

}  // namespace pe

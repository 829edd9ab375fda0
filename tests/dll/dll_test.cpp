// The shipped DLL: its exports sit at their fixed ordinals, it exports nothing
// else, and it imports only Windows system DLLs.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>

#include "QorLeLib.h"

namespace {

const std::map<WORD, std::string> kOrdinals = {
    {1, "QorGattPairingDiscover"},    {2, "QorGattPairingRegister"},    {3, "QorGattPairingUnregister"},
    {4, "QorGattSetTraceFunction"},   {5, "QorGattAddCharacteristic"},  {6, "QorGattAddDescriptor"},
    {7, "QorGattAddIncludeService"},  {8, "QorGattCharValueChanged"},   {9, "QorGattConnect"},
    {10, "QorGattCreateService"},     {11, "QorGattDeleteService"},     {12, "QorGattDeregister"},
    {13, "QorGattEnumCharacteristic"}, {14, "QorGattEnumDescriptor"},   {15, "QorGattEnumService"},
    {16, "QorGattReadCharacteristic"}, {17, "QorGattReadDescriptor"},   {18, "QorGattRegister"},
    {19, "QorGattStartService"},      {20, "QorGattWriteCharacteristic"}, {21, "QorGattWriteDescriptor"},
};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

class Dll : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = GetModuleHandleA("QorLeLib.dll");
        ASSERT_NE(module_, nullptr) << "the import library binds the DLL at load";
        base_ = reinterpret_cast<const BYTE *>(module_);
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base_);
        nt_ = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base_ + dos->e_lfanew);
        ASSERT_EQ(nt_->Signature, IMAGE_NT_SIGNATURE);
        ASSERT_EQ(nt_->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    }
    template <typename T> const T *At(DWORD rva) const { return reinterpret_cast<const T *>(base_ + rva); }
    const IMAGE_DATA_DIRECTORY &Directory(int index) const { return nt_->OptionalHeader.DataDirectory[index]; }

    // Exported name -> ordinal, from the export directory.
    std::map<std::string, WORD> ExportedNames() const
    {
        std::map<std::string, WORD> names;
        auto dir = At<IMAGE_EXPORT_DIRECTORY>(Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
        auto name_rvas = At<DWORD>(dir->AddressOfNames);
        auto ordinals = At<WORD>(dir->AddressOfNameOrdinals);
        for (DWORD i = 0; i < dir->NumberOfNames; ++i)
            names[At<char>(name_rvas[i])] = static_cast<WORD>(ordinals[i] + dir->Base);
        return names;
    }

    HMODULE module_ = nullptr;
    const BYTE *base_ = nullptr;
    const IMAGE_NT_HEADERS64 *nt_ = nullptr;
};

TEST_F(Dll, EveryExportSitsAtItsFixedOrdinal)
{
    std::map<std::string, WORD> exported = ExportedNames();
    for (const char *name : {"QorGattConnect", "QorGattEnumCharacteristic", "QorGattEnumDescriptor",
                             "QorGattEnumService", "QorGattRegister", "QorGattPairingDiscover"})
        EXPECT_TRUE(exported.count(name)) << name << " is not exported";
    for (const auto &[name, ordinal] : exported) {
        auto fixed = std::find_if(kOrdinals.begin(), kOrdinals.end(), [&](const auto &e) { return e.second == name; });
        ASSERT_NE(fixed, kOrdinals.end()) << name << " is not one of the library's functions";
        EXPECT_EQ(ordinal, fixed->first) << name;
        FARPROC by_ordinal = GetProcAddress(module_, MAKEINTRESOURCEA(ordinal));
        FARPROC by_name = GetProcAddress(module_, name.c_str());
        EXPECT_NE(by_ordinal, nullptr) << name;
        EXPECT_EQ(by_ordinal, by_name) << name;
    }
    EXPECT_EQ(exported.size(), kOrdinals.size()) << "all 21 functions are exported";
    EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(22)), nullptr);
}

TEST_F(Dll, ImportsOnlyWindowsSystemDlls)
{
    const std::set<std::string> allowed = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll"};
    auto &imports = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    ASSERT_NE(imports.VirtualAddress, 0u);
    std::set<std::string> seen;
    for (auto d = At<IMAGE_IMPORT_DESCRIPTOR>(imports.VirtualAddress); d->Name; ++d)
        seen.insert(Lower(At<char>(d->Name)));
    for (const std::string &dll : seen)
        EXPECT_TRUE(allowed.count(dll)) << dll << " is not a Windows system DLL";
    EXPECT_TRUE(seen.count("kernel32.dll"));
}

TEST_F(Dll, TheTraceSetterWorksThroughTheImportLibrary)
{
    EXPECT_EQ(QorGattSetTraceFunction(nullptr), 0u);
    using Setter = DWORD(WINAPI *)(LeTraceSink);
    auto by_ordinal = reinterpret_cast<Setter>(reinterpret_cast<void *>(GetProcAddress(module_, MAKEINTRESOURCEA(4))));
    ASSERT_NE(by_ordinal, nullptr);
    EXPECT_EQ(by_ordinal(nullptr), 0u);
}

// The local-service exports answer through the import library: with nothing
// registered every one refuses its arguments or finds no service.
TEST_F(Dll, TheLocalServiceExportsWorkThroughTheImportLibrary)
{
    GUID g = {};
    USHORT h = 0;
    EXPECT_EQ(QorGattCreateService(nullptr, &g, 0, 1, 0, &h), 87u);
    EXPECT_EQ(QorGattAddIncludeService(0, 1), 87u);
    EXPECT_EQ(QorGattAddCharacteristic(1, &g, 0, 0, 0, &h), 6u);
    EXPECT_EQ(QorGattAddDescriptor(1, &g, 0, nullptr, &h), 87u);
    EXPECT_EQ(QorGattStartService(1), 87u);
    EXPECT_EQ(QorGattDeleteService(0), 87u);
}

} // namespace

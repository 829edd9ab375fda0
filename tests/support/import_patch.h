#pragma once
// Points one of this program's kernel32 imports elsewhere while a patch lives,
// so that a test can make a system call fail where nothing else can.

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace qortest {

// This program's import of a kernel32 function, pointed elsewhere while the
// patch lives.
class ImportPatch {
public:
    ImportPatch(const char *name, void *with)
    {
        auto *base = reinterpret_cast<uint8_t *>(GetModuleHandleW(nullptr));
        auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
        for (; dll->Name && !slot_; ++dll) {
            if (lstrcmpiA(reinterpret_cast<char *>(base + dll->Name), "kernel32.dll") != 0)
                continue;
            auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->OriginalFirstThunk);
            auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->FirstThunk);
            for (; names->u1.AddressOfData && !slot_; ++names, ++slots) {
                auto *by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
                if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) && std::strcmp(by_name->Name, name) == 0)
                    slot_ = &slots->u1.Function;
            }
        }
        if (slot_)
            original_ = Swap(reinterpret_cast<ULONGLONG>(with));
    }
    ~ImportPatch()
    {
        if (slot_)
            Swap(original_);
    }
    ImportPatch(const ImportPatch &) = delete;
    ImportPatch &operator=(const ImportPatch &) = delete;
    bool Patched() const { return slot_ != nullptr; }
    template <typename Fn> Fn Original() const { return reinterpret_cast<Fn>(original_); }

private:
    ULONGLONG Swap(ULONGLONG to)
    {
        DWORD was;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
        const ULONGLONG from = *slot_;
        *slot_ = to;
        VirtualProtect(slot_, sizeof *slot_, was, &was);
        return from;
    }
    ULONGLONG *slot_ = nullptr;
    ULONGLONG original_ = 0;
};

} // namespace qortest

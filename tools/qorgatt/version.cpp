// --version: the program's own version resource, so the text and the file
// properties never disagree.
#include <windows.h>

#include <string>
#include <vector>

#include "qorgatt.h"

namespace qorgatt {

std::string VersionText()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    DWORD size = n ? GetFileVersionInfoSizeW(path, &ignored) : 0;
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    if (!size || !GetFileVersionInfoW(path, 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &len) || len < sizeof *fixed)
        return "qorgatt (no version resource)";
    return "qorgatt " + std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." + std::to_string(HIWORD(fixed->dwFileVersionLS));
}

} // namespace qorgatt

#ifdef _WIN32

#include "script/TempDirectoryWindows.h"

namespace qor::format::engine::javascript {

std::filesystem::path temporaryDirectoryFrom(HMODULE exporter)
{
    using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);
    // Through void*: a cast between unrelated function pointer types draws a
    // warning from GCC.
    auto getTempPath2 =
        reinterpret_cast<GetTempPath2Function>(reinterpret_cast<void*>(GetProcAddress(exporter, "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length =
        getTempPath2 != nullptr ? getTempPath2(MAX_PATH + 1, buffer) : GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH)
        return {};
    return std::filesystem::path(buffer, buffer + length);
}

}  // namespace qor::format::engine::javascript

#endif  // _WIN32

#pragma once

#if defined(_WIN32)

#include <windows.h>

#include <filesystem>

namespace qor::format::engine::javascript {

// The temporary directory as the standard library finds it on Windows, but
// without its check that the directory exists: GetTempPath2W when `exporter`
// exports a function of that name (kernel32.dll does from Windows 11 on,
// looked up at each call), else GetTempPathW, into a buffer of MAX_PATH + 1
// characters. Keeps the trailing backslash that Windows returns; empty when
// Windows gives no temporary path or one longer than the buffer.
std::filesystem::path temporaryDirectoryFrom(HMODULE exporter);

}  // namespace qor::format::engine::javascript

#endif  // _WIN32

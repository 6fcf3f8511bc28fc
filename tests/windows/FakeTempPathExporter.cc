// A module that exports GetTempPath2W, standing in for a kernel32.dll that
// has it (Windows 11 on), so that the library's lookup takes that branch
// even where the real kernel32 lacks the function. The path it reports is
// set by the test. <windows.h> stays out, so that an SDK that declares
// GetTempPath2W for import does not clash with this definition.

#include <cwchar>

namespace {

const wchar_t* reportedPath = nullptr;

}  // namespace

// The path GetTempPath2W reports from now on; null makes it fail.
extern "C" __declspec(dllexport) void setFakeTemporaryPath(const wchar_t* path)
{
    reportedPath = path;
}

// As Windows does: the length without the terminating null when the path
// fits, else the size of the buffer it would need, and 0 on failure.
extern "C" __declspec(dllexport) unsigned long __stdcall GetTempPath2W(unsigned long bufferLength, wchar_t* buffer)
{
    if (reportedPath == nullptr)
        return 0;
    const unsigned long length = static_cast<unsigned long>(std::wcslen(reportedPath));
    if (length + 1 > bufferLength)
        return length + 1;
    std::wmemcpy(buffer, reportedPath, length + 1);
    return length;
}

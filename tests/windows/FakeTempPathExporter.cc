// A module that exports GetTempPath2W, standing in for a kernel32.dll that
// has it (Windows 11 on), so that the library's lookup takes that branch
// even where the real kernel32 lacks the function. The path it reports is
// set by the test. <windows.h> stays out, so that an SDK that declares
// GetTempPath2W for import does not clash with this definition.

#include <cwchar>

// The path GetTempPath2W reports; null makes it fail. Exported, so that the
// test sets it through the address GetProcAddress gives.
extern "C" __declspec(dllexport) const wchar_t* fakeTemporaryPath = nullptr;

// As Windows does: the length without the terminating null when the path
// fits, else the size of the buffer it would need, and 0 on failure.
extern "C" __declspec(dllexport) unsigned long __stdcall GetTempPath2W(unsigned long bufferLength, wchar_t* buffer)
{
    if (fakeTemporaryPath == nullptr)
        return 0;
    const unsigned long length = static_cast<unsigned long>(std::wcslen(fakeTemporaryPath));
    if (length + 1 > bufferLength)
        return length + 1;
    std::wmemcpy(buffer, fakeTemporaryPath, length + 1);
    return length;
}

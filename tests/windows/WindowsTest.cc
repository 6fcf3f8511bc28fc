// What only Windows does, run on Windows or under Wine: structured exceptions
// become V8Microsoft once the faulting frames are gone, the temporary
// directory comes from GetTempPath2W where kernel32 has it, script files are
// numbered 01 to 99 then 00 and keep their bytes, and Windows paths make valid
// file URLs. Built by scripts/check-windows without V8 (no Windows build of it
// here); the last line reads "N passed, N failed".

#include "error/StructuredExceptionGuard.h"
#include "script/FileUrl.h"
#include "script/TempDirectoryWindows.h"

#include <qor/javascript/Exception.h>
#include <qor/javascript/V8Engine.h>

#include <windows.h>

// __finally, to see when the guarded frames are unwound, is an extension of
// the same kind as the guard's own __try.
#if defined(__clang__)
#    pragma clang diagnostic ignored "-Wlanguage-extension-token"
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;

namespace {

int passed = 0;
int failed = 0;

void record(bool ok, const std::string& what, int line)
{
    ok ? ++passed : ++failed;
    if (!ok)
        std::printf("FAILED (line %d): %s\n", line, what.c_str());
}

// Macros for the line (clang 14 has no std::source_location with libstdc++).
#define check(ok, what) record((ok), (what), __LINE__)
#define checkEqual(actual, expected, what)                                                                      \
    do {                                                                                                        \
        const std::string actualText = (actual), expectedText = (expected);                                     \
        record(actualText == expectedText,                                                                      \
               std::string(what) + ": expected \"" + expectedText + "\", got \"" + actualText + "\"", __LINE__); \
    } while (false)

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kPrefix = "Microsoft Structured Exception Handling: ";

// What the guard throws for `callable`, or "nothing".
template <class Callable>
std::string guardedWhat(Callable callable)
{
    try {
        js::guardStructuredExceptions(callable);
    } catch (const js::V8Microsoft& exception) {
        return exception.what();
    } catch (const std::exception& exception) {
        return std::string("another exception: ") + exception.what();
    }
    return "nothing";
}

// Not inlined, so that the guard sees a fault inside a call it makes;
// volatile, so that the compiler cannot replace the fault by a trap of its own.
__declspec(noinline) void raiseAccessViolation()
{
    int* volatile address = nullptr;
    *address = 1;
}

void* faultingFrame = nullptr;
bool unwoundBeforeCatch = false;

__declspec(noinline) void faultUnderFinally()
{
    volatile int local = 0;
    faultingFrame = const_cast<int*>(&local);
    __try {
        raiseAccessViolation();
    } __finally {
        unwoundBeforeCatch = true;
    }
}

void guardTests()
{
    check(js::guardStructuredExceptions([] { return 42; }) == 42, "a result comes back");
    checkEqual(guardedWhat([] {}), "nothing", "a call that raises nothing throws nothing");

    // The code in unsigned decimal, whatever raised it.
    checkEqual(guardedWhat(raiseAccessViolation), kPrefix + "3221225477", "access violation (0xC0000005)");
    checkEqual(guardedWhat([] { RaiseException(0xE0514A53, 0, 0, nullptr); }), kPrefix + "3763423827",
               "RaiseException with a code of the test's own");
    const std::string crossing = guardedWhat([] { throw std::runtime_error("from the host"); });
    check(crossing.starts_with(kPrefix) && crossing.size() > kPrefix.size(),
          "a C++ exception crossing the guard arrives as V8Microsoft, got \"" + crossing + "\"");

    // Thrown only after the faulting frames are gone: their termination
    // handler has run, and a thousand faults leave the stack where it was.
    try {
        js::guardStructuredExceptions(faultUnderFinally);
        check(false, "the guard throws for a fault");
    } catch (const qor::exception& exception) {
        check(unwoundBeforeCatch, "the faulting frames are unwound before the exception is thrown");
        checkEqual(exception.what(), kPrefix + "3221225477", "caught as qor::exception");
    }
    void* firstFrame = nullptr;
    bool sameFrame = true;
    for (int i = 0; i < 1000; ++i) {
        unwoundBeforeCatch = false;
        const bool translated = guardedWhat(faultUnderFinally) == kPrefix + "3221225477";
        firstFrame = i == 0 ? faultingFrame : firstFrame;
        sameFrame = sameFrame && translated && faultingFrame == firstFrame && unwoundBeforeCatch;
    }
    check(sameFrame, "a thousand faults leave the stack where it was");
}

void temporaryDirectoryTests()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    checkEqual(js::temporaryDirectoryFrom(GetModuleHandleW(nullptr)).string(),
               fs::path(buffer, buffer + length).string(), "without GetTempPath2W, GetTempPathW answers");
    check(js::temporaryDirectoryFrom(GetModuleHandleW(L"kernel32.dll")).string().ends_with('\\'),
          "kernel32's directory keeps Windows' trailing backslash");

    // A stand-in module that exports GetTempPath2W, with a path set per row.
    const HMODULE fake = LoadLibraryW(L"qorjs_fake_temp_path.dll");
    check(fake != nullptr, "the module that exports GetTempPath2W loads");
    if (fake == nullptr)
        return;
    const auto setPath = reinterpret_cast<void (*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(fake, "setFakeTemporaryPath")));
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 4, L'y') + L"\\";
    const std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH, L'x') + L"\\";
    const struct {
        const wchar_t* reported;
        std::wstring expected;
        const char* what;
    } rows[] = {
        {L"C:\\From GetTempPath2W\\", L"C:\\From GetTempPath2W\\", "GetTempPath2W where exported"},
        {nullptr, L"", "no temporary path gives an empty directory"},
        {tooLong.c_str(), L"", "a path longer than the buffer gives an empty directory"},
        {longest.c_str(), longest, "a path of MAX_PATH characters fits"},
    };
    for (const auto& row : rows) {
        setPath(row.reported);
        check(js::temporaryDirectoryFrom(fake).native() == row.expected, row.what);
    }
    setPath(nullptr);
    FreeLibrary(fake);
}

// Runs first: the first call of a process takes number 1.
void temporaryFileTests()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const fs::path directory = fs::path(buffer, buffer + GetTempPathW(MAX_PATH + 1, buffer)) /
                               ("qorjs-windows-test-" + std::to_string(GetCurrentProcessId()) + "\\");
    fs::remove_all(directory);
    fs::create_directories(directory);
    // GetTempPathW reads TMP first.
    wchar_t originalTmp[32768] = {};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", originalTmp, 32768) != 0;
    SetEnvironmentVariableW(L"TMP", directory.c_str());

    const std::string script("first line\r\nsecond \xC3\xA9\0 after NUL\r\n", 33);
    const fs::path first = js::V8Engine::writeToTempFile(script);
    checkEqual(first.string(), directory.string() + "QorScript01.js", "the first file, one separator");
    check(readFile(first) == script, "CR LF, non-ASCII bytes and NUL are stored byte for byte");
    bool numbered = true;
    for (int call = 2; call <= 100; ++call) {
        char name[32];
        std::snprintf(name, sizeof name, "QorScript%02d.js", call % 100);
        numbered = numbered && js::V8Engine::writeToTempFile(call == 100 ? "" : "x") == directory / name;
    }
    check(numbered, "calls 2 to 99 take their numbers and the hundredth takes 00");
    check(fs::file_size(directory / "QorScript00.js") == 0, "an empty script gives an empty file");
    checkEqual(js::V8Engine::writeToTempFile("short").string(), first.string(), "then 01 again");
    checkEqual(readFile(first), "short", "the reused file is truncated and rewritten");

    // Files that cannot be written: a missing directory, a file locked by
    // another handle. Each failed call uses up its number.
    const fs::path missing = directory / "missing\\";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    try {
        js::V8Engine::writeToTempFile("lost");
        check(false, "a missing temporary directory throws");
    } catch (const fs::filesystem_error& error) {
        checkEqual(error.path1().string(), (missing / "QorScript02.js").string(), "the error names the path");
    }
    SetEnvironmentVariableW(L"TMP", directory.c_str());
    const fs::path locked = directory / "QorScript04.js";
    const HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    checkEqual(js::V8Engine::writeToTempFile("third").string(), (directory / "QorScript03.js").string(),
               "the failed call used up its number");
    try {
        js::V8Engine::writeToTempFile("blocked");
        check(false, "a file locked by another handle throws");
    } catch (const fs::filesystem_error& error) {
        checkEqual(error.path1().string(), locked.string(), "the error names the locked file");
    }
    CloseHandle(holder);

    SetEnvironmentVariableW(L"TMP", hadTmp ? originalTmp : nullptr);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

void fileUrlTests()
{
    const struct {
        const char* path;
        const char* url;
    } rows[] = {
        {R"(C:\My Scripts\main.js)", "file:///C:/My%20Scripts/main.js"},
        {"C:/dir/forward slashes.js", "file:///C:/dir/forward%20slashes.js"},
        {R"(\\server\share\dir\a.js)", "file://///server/share/dir/a.js"},
        {R"(scripts\relative.js)", "file:///scripts/relative.js"},
        {"/rooted/on/the/current/drive.js", "file:////rooted/on/the/current/drive.js"},
        {"", "file:///"},
        {R"(C:\a  b\100% #1?.js)", "file:///C:/a%20%20b/100%%20#1?.js"},
        {"C:\\d\xC3\xA9j\xC3\xA0\\x.js", "file:///C:/d\xC3\xA9j\xC3\xA0/x.js"},
    };
    for (const auto& row : rows)
        checkEqual(js::fileUrlFromPath(row.path), row.url, std::string("the URL of ") + row.path);
}

}  // namespace

int main()
{
    // A fault must not open the system's error dialog, which would wait for
    // someone to click.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    temporaryFileTests();
    guardTests();
    temporaryDirectoryTests();
    fileUrlTests();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

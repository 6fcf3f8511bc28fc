// The library's Windows-only code, run on Windows (or under Wine): the
// structured-exception guard, the temporary directory and the numbered script
// files, and the file URLs of Windows paths. Built from the library's own
// sources by scripts/check-windows, without V8, whose Windows build is not at
// hand. Plain checks: each failure is printed, and the last line reads
// "N passed, N failed".

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
#include <string_view>

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;

namespace {

int passed = 0;
int failed = 0;

void record(bool ok, const std::string& what, int line)
{
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAILED (line %d): %s\n", line, what.c_str());
}

void recordEqual(const std::string& actual, const std::string& expected, const std::string& what, int line)
{
    record(actual == expected, what + ": expected \"" + expected + "\", got \"" + actual + "\"", line);
}

// Macros for the line (clang 14 has no std::source_location with libstdc++).
#define check(ok, what) record((ok), (what), __LINE__)
#define checkEqual(actual, expected, what) recordEqual((actual), (expected), (what), __LINE__)

std::string narrow(const fs::path& path)
{
    return path.string();
}

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

// Not inlined: the guards see a fault inside a call they make.
__declspec(noinline) void raiseAccessViolation()
{
    // Volatile, so the compiler cannot see the null and replace the store
    // by a trap of its own.
    int* volatile address = nullptr;
    *address = 1;
}

__declspec(noinline) void divideByZero()
{
    // Neither operand known: the compiler turns 1 / x into a comparison.
    volatile int dividend = 7;
    volatile int zero = 0;
    volatile int quotient = dividend / zero;
    (void)quotient;
}

// Where the guarded frames were, and whether their termination handler ran
// before the caller saw the exception.
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
    // A call that raises nothing returns its result, of any type.
    check(js::guardStructuredExceptions([] { return 42; }) == 42, "an int result comes back");
    checkEqual(js::guardStructuredExceptions([] { return std::string("text result"); }), "text result",
               "a string result comes back");
    bool ran = false;
    js::guardStructuredExceptions([&] { ran = true; });
    check(ran, "a callable without result runs");
    checkEqual(guardedWhat([] {}), "nothing", "a call that raises nothing throws nothing");

    // Structured exceptions become V8Microsoft with the code in unsigned
    // decimal.
    checkEqual(guardedWhat(raiseAccessViolation), kPrefix + "3221225477", "access violation (0xC0000005)");
    checkEqual(guardedWhat(divideByZero), kPrefix + "3221225620", "integer divide by zero (0xC0000094)");
    checkEqual(guardedWhat([] { RaiseException(0xE0514A53, 0, 0, nullptr); }), kPrefix + "3763423827",
               "RaiseException with a code of the test's own (0xE0514A53)");
    checkEqual(guardedWhat([] { RaiseException(0xE06D7363, 0, 0, nullptr); }), kPrefix + "3765269347",
               "RaiseException with the code of a compiler's C++ throw (0xE06D7363)");
    checkEqual(guardedWhat([] { RaiseException(1, 0, 0, nullptr); }), kPrefix + "1", "RaiseException with code 1");

    // A C++ exception crossing the guarded frames is a structured exception
    // at that level too (its code depends on the compiler's runtime).
    const std::string crossing = guardedWhat([] { throw std::runtime_error("from the host"); });
    check(crossing.starts_with(kPrefix) && crossing.size() > kPrefix.size(),
          "a C++ exception crossing the guard arrives as V8Microsoft, got \"" + crossing + "\"");
    std::printf("a C++ exception crossing the guard: \"%s\"\n", crossing.c_str());

    // Caught as each of its bases, and thrown only after the faulting frames
    // are gone: their termination handler has run by the time the caller
    // catches, and the next guarded call finds its frame in the same place.
    try {
        js::guardStructuredExceptions(faultUnderFinally);
        check(false, "the guard throws for a fault");
    } catch (const qor::exception& exception) {
        check(unwoundBeforeCatch, "the faulting frames are unwound before the exception is thrown");
        checkEqual(exception.what(), kPrefix + "3221225477", "caught as qor::exception");
    }
    try {
        js::guardStructuredExceptions(raiseAccessViolation);
    } catch (const std::exception& exception) {
        checkEqual(exception.what(), kPrefix + "3221225477", "caught as std::exception");
    }
    void* firstFrame = nullptr;
    bool sameFrame = true;
    for (int i = 0; i < 1000; ++i) {
        unwoundBeforeCatch = false;
        const bool translated = guardedWhat(faultUnderFinally) == kPrefix + "3221225477";
        if (i == 0)
            firstFrame = faultingFrame;
        sameFrame = sameFrame && translated && faultingFrame == firstFrame && unwoundBeforeCatch;
    }
    check(sameFrame, "a thousand faults leave the stack where it was");
    check(js::guardStructuredExceptions([] { return 7; }) == 7, "the guard works after the faults");
}

using SetFakeTemporaryPath = void (*)(const wchar_t*);

void temporaryDirectoryTests()
{
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    using GetTempPath2Function = DWORD(WINAPI*)(DWORD, LPWSTR);
    const auto systemTempPath2 =
        reinterpret_cast<GetTempPath2Function>(reinterpret_cast<void*>(GetProcAddress(kernel32, "GetTempPath2W")));
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length =
        systemTempPath2 != nullptr ? systemTempPath2(MAX_PATH + 1, buffer) : GetTempPathW(MAX_PATH + 1, buffer);
    const fs::path expected(buffer, buffer + length);
    std::printf("kernel32 exports GetTempPath2W: %s; the temporary directory is %s\n",
                systemTempPath2 != nullptr ? "yes" : "no, GetTempPathW is used", narrow(expected).c_str());
    checkEqual(narrow(js::temporaryDirectoryFrom(kernel32)), narrow(expected), "the directory from kernel32");
    check(narrow(expected).ends_with('\\'), "the directory keeps Windows' trailing backslash");

    // A module without GetTempPath2W (this program): GetTempPathW.
    const DWORD legacyLength = GetTempPathW(MAX_PATH + 1, buffer);
    checkEqual(narrow(js::temporaryDirectoryFrom(GetModuleHandleW(nullptr))),
               narrow(fs::path(buffer, buffer + legacyLength)), "without GetTempPath2W, GetTempPathW answers");

    // A module that has it: GetTempPath2W, whatever GetTempPathW says.
    const HMODULE fake = LoadLibraryW(L"qorjs_fake_temp_path.dll");
    check(fake != nullptr, "the module that exports GetTempPath2W loads");
    if (fake == nullptr)
        return;
    const auto setPath =
        reinterpret_cast<SetFakeTemporaryPath>(reinterpret_cast<void*>(GetProcAddress(fake, "setFakeTemporaryPath")));
    setPath(L"C:\\From GetTempPath2W\\");
    checkEqual(narrow(js::temporaryDirectoryFrom(fake)), "C:\\From GetTempPath2W\\", "GetTempPath2W where exported");
    setPath(nullptr);
    checkEqual(narrow(js::temporaryDirectoryFrom(fake)), "", "no temporary path gives an empty directory");
    const std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH, L'x') + L"\\";
    setPath(tooLong.c_str());
    checkEqual(narrow(js::temporaryDirectoryFrom(fake)), "", "a path longer than the buffer gives an empty directory");
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 4, L'y') + L"\\";
    setPath(longest.c_str());
    check(js::temporaryDirectoryFrom(fake).native() == longest, "a path of MAX_PATH characters fits");
    setPath(nullptr);
    FreeLibrary(fake);
}

std::string scriptName(int number)
{
    char name[32];
    std::snprintf(name, sizeof name, "QorScript%02d.js", number);
    return name;
}

// Runs first among the temporary-file tests: the first call of a process
// takes number 1.
void temporaryFileTests()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    const fs::path systemTemp(buffer, buffer + length);
    const fs::path directory = systemTemp / ("qorjs-windows-test-" + std::to_string(GetCurrentProcessId()) + "\\");
    fs::remove_all(directory);
    fs::create_directories(directory);
    // GetTempPathW reads TMP first.
    wchar_t originalTmp[32768] = {};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", originalTmp, 32768) != 0;
    SetEnvironmentVariableW(L"TMP", directory.c_str());

    const std::string script("first line\r\nsecond \xC3\xA9\0 after NUL\r\n", 33);
    const fs::path first = js::V8Engine::writeToTempFile(script);
    checkEqual(narrow(first), narrow(directory) + "QorScript01.js",
               "the first file of the process, joined without a second separator");
    check(readFile(first) == script, "CR LF, non-ASCII bytes and NUL are stored byte for byte");

    bool numbered = true;
    fs::path path;
    for (int call = 2; call <= 100; ++call) {
        path = js::V8Engine::writeToTempFile(call == 100 ? "" : "x");
        numbered = numbered && path == directory / scriptName(call % 100);
    }
    check(numbered, "calls 2 to 99 take their numbers and the hundredth takes 00");
    checkEqual(narrow(path.filename()), "QorScript00.js", "the hundredth file");
    check(fs::exists(path) && fs::file_size(path) == 0, "an empty script gives an empty file");

    const fs::path again = js::V8Engine::writeToTempFile("short");
    checkEqual(narrow(again), narrow(first), "after the hundredth the numbers start again at 01");
    checkEqual(readFile(again), "short", "the reused file is truncated and rewritten");

    // A file that cannot be created: a temporary directory that does not
    // exist, and a file that another handle holds without sharing.
    const fs::path missing = directory / "missing\\";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    try {
        js::V8Engine::writeToTempFile("lost");
        check(false, "a missing temporary directory throws");
    } catch (const fs::filesystem_error& error) {
        checkEqual(narrow(error.path1()), narrow(missing / "QorScript02.js"), "the error names the whole path");
    }
    SetEnvironmentVariableW(L"TMP", directory.c_str());

    const fs::path locked = directory / "QorScript04.js";
    const HANDLE holder = CreateFileW(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    check(holder != INVALID_HANDLE_VALUE, "the file to lock is created");
    checkEqual(narrow(js::V8Engine::writeToTempFile("third")), narrow(directory / "QorScript03.js"),
               "the failed call used up its number");
    try {
        js::V8Engine::writeToTempFile("blocked");
        check(false, "a file locked by another handle throws");
    } catch (const fs::filesystem_error& error) {
        checkEqual(narrow(error.path1()), narrow(locked), "the error names the locked file");
    }
    CloseHandle(holder);
    check(fs::file_size(locked) == 0, "the locked file is left as its holder made it");

    // No temporary path from Windows at all cannot be arranged here; the
    // lookup's empty result is checked with the stand-in module above.
    SetEnvironmentVariableW(L"TMP", hadTmp ? originalTmp : nullptr);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

void fileUrlTests()
{
    struct Case {
        const char* path;
        const char* url;
    };
    const Case cases[] = {
        {R"(C:\dir\my file.js)", "file:///C:/dir/my%20file.js"},
        {R"(C:\My Scripts\main.js)", "file:///C:/My%20Scripts/main.js"},
        {"C:/dir/forward slashes.js", "file:///C:/dir/forward%20slashes.js"},
        {R"(\\server\share\dir\a.js)", "file://///server/share/dir/a.js"},
        {R"(scripts\relative.js)", "file:///scripts/relative.js"},
        {"relative.js", "file:///relative.js"},
        {"/rooted/on/the/current/drive.js", "file:////rooted/on/the/current/drive.js"},
        {"", "file:///"},
        {R"(C:\a  b\100% #1?.js)", "file:///C:/a%20%20b/100%%20#1?.js"},
        {"C:\\d\xC3\xA9j\xC3\xA0\\x.js", "file:///C:/d\xC3\xA9j\xC3\xA0/x.js"},
    };
    for (const Case& item : cases)
        checkEqual(js::fileUrlFromPath(item.path), item.url, std::string("the URL of ") + item.path);
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

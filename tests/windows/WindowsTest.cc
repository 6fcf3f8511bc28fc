// What only Windows does, run on Windows or under Wine: a structured exception
// becomes V8Microsoft with its code in unsigned decimal once the faulting
// frames are gone, again and again without moving the stack; the temporary
// directory comes from GetTempPath2W where the module exports it, else from
// GetTempPathW, into a buffer of MAX_PATH + 1; script files are numbered 01 to
// 99 then 00, keep their bytes, and a failed write uses up its number and names
// its path; Windows paths make file URLs, and file URLs paths. Built by
// scripts/check-windows without V8 (no Windows build of it here); the last
// line reads "N passed, N failed".

#include "error/StructuredExceptionGuard.h"
#include "script/TempDirectoryWindows.h"

#include <qor/javascript/ModuleSource.h>
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
#include <utility>

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;

int passed = 0;
int failed = 0;

void record(bool ok, const std::string& what, int line)
{
    ok ? ++passed : ++failed;
    if (!ok)
        std::printf("FAILED (line %d): %s\n", line, what.c_str());
}

// A macro for the line (clang 14 has no std::source_location with libstdc++).
#define check(ok, what) record((ok), (what), __LINE__)

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string kPrefix = "Microsoft Structured Exception Handling: ";

void* faultingFrame = nullptr;
bool unwound = false;

// Not inlined, so that the fault happens inside a call made under __try (clang
// sees only those); volatile, so that the compiler cannot replace the fault by
// a trap of its own.
__declspec(noinline) void raiseAccessViolation()
{
    int* volatile address = nullptr;
    *address = 1;
}

__declspec(noinline) void faultUnderFinally()
{
    volatile int local = 0;
    faultingFrame = const_cast<int*>(&local);
    unwound = false;
    __try {
        raiseAccessViolation();
    } __finally {
        unwound = true;
    }
}

void guardTests()
{
    check(js::guardStructuredExceptions([] { return 42; }) == 42, "a call that raises nothing returns its result");
    try {
        js::guardStructuredExceptions([] { throw std::runtime_error("from the host"); });
        check(false, "a C++ exception crossing the guard throws");
    } catch (const js::V8Microsoft& exception) {
        check(std::string(exception.what()).starts_with(kPrefix), "a C++ exception arrives as V8Microsoft");
    }

    // Caught as qor::exception after the termination handler of the faulting
    // frame has run, with the code 0xC0000005 in unsigned decimal, and the
    // thousandth fault happens in the frame where the first did.
    void* firstFrame = nullptr;
    int good = 0;
    for (int i = 0; i < 1000; ++i) {
        try {
            js::guardStructuredExceptions(faultUnderFinally);
        } catch (const qor::exception& exception) {
            firstFrame = i == 0 ? faultingFrame : firstFrame;
            good += unwound && exception.what() == kPrefix + "3221225477" && faultingFrame == firstFrame;
        }
    }
    check(good == 1000, std::to_string(good) + " of 1000 faults unwound first, translated, on the same stack");
}

void temporaryDirectoryTests()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    check(js::temporaryDirectoryFrom(GetModuleHandleW(nullptr)).native() == std::wstring(buffer, length),
          "without GetTempPath2W, GetTempPathW answers");

    // A stand-in module that exports GetTempPath2W, with the path it reports set per check.
    const HMODULE fake = LoadLibraryW(L"qorjs_fake_temp_path.dll");
    if (fake == nullptr)
        return record(false, "the module that exports GetTempPath2W does not load", __LINE__);
    const auto reportedPath =
        reinterpret_cast<const wchar_t**>(reinterpret_cast<void*>(GetProcAddress(fake, "fakeTemporaryPath")));
    const std::wstring longest = L"C:\\" + std::wstring(MAX_PATH - 4, L'y') + L"\\";
    const auto directoryFor = [&](const wchar_t* reported) {
        *reportedPath = reported;
        return js::temporaryDirectoryFrom(fake).native();
    };
    check(directoryFor(longest.c_str()) == longest, "GetTempPath2W's path of MAX_PATH characters");
    check(directoryFor((longest + L"z").c_str()).empty(), "a path one longer than MAX_PATH gives an empty directory");
    check(directoryFor(nullptr).empty(), "a failing GetTempPath2W gives an empty directory, not GetTempPathW's");
}

// Runs first: the first call of a process takes number 1.
void temporaryFileTests()
{
    const fs::path directory =
        fs::temp_directory_path() / ("qorjs-windows-test-" + std::to_string(GetCurrentProcessId()) + "\\");
    fs::create_directories(directory);
    // GetTempPathW reads TMP first.
    SetEnvironmentVariableW(L"TMP", directory.c_str());

    const std::string script("first line\r\nsecond \xC3\xA9\0 after NUL\r\n", 33);
    const fs::path first = js::V8Engine::writeToTempFile(script);
    check(first.string() == directory.string() + "QorScript01.js", "the first file, one separator: " + first.string());
    check(readFile(first) == script, "CR LF, non-ASCII bytes and NUL are stored byte for byte");
    bool numbered = true;
    for (int call = 2; call <= 101; ++call) {
        // call % 100 in two digits: 02 to 99, 00, 01.
        const std::string number = std::to_string(100 + call % 100).substr(1);
        numbered = numbered && js::V8Engine::writeToTempFile("x") == directory / ("QorScript" + number + ".js");
    }
    check(numbered && readFile(first) == "x",
          "calls 2 to 99 take their numbers, the hundredth 00, then 01 again, truncated and rewritten");

    // A file that cannot be created: the error names it, and its number is gone.
    const fs::path missing = directory / "missing\\";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    try {
        js::V8Engine::writeToTempFile("lost");
        check(false, "a missing temporary directory throws");
    } catch (const fs::filesystem_error& error) {
        check(error.path1() == missing / "QorScript02.js", "the error names the path: " + error.path1().string());
    }
    SetEnvironmentVariableW(L"TMP", directory.c_str());
    check(js::V8Engine::writeToTempFile("next") == directory / "QorScript03.js", "the failed call used up 02");

    fs::remove_all(directory);
}

// Backslashes become slashes and spaces %20, nothing else is escaped, and on
// Windows every path, a rooted one too, takes "file:///".
void fileUrlTests()
{
    const std::pair<const char*, const char*> rows[] = {
        {"", "file:///"},
        {R"(C:\My  Scripts\main.js)", "file:///C:/My%20%20Scripts/main.js"},
        {R"(\\server\share\a.js)", "file://///server/share/a.js"},
        {"/rooted/on/the/current/drive.js", "file:////rooted/on/the/current/drive.js"},
        {"C:\\d\xC3\xA9j\xC3\xA0\\100% #1?.js", "file:///C:/d\xC3\xA9j\xC3\xA0/100%%20#1?.js"},
    };
    for (const auto& [path, url] : rows)
        check(js::fileUrlFromPath(path) == url, std::string("the URL of ") + path);
    // and back, slashes for backslashes: the form a module loader opens.
    check(js::pathFromFileUrl("file:///C:/My%20%20Scripts/main.js") == "C:/My  Scripts/main.js", "the path of a URL");
    check(js::pathFromFileUrl("https://example.org/a.js").empty(), "no path for another scheme");
}

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

// qorjs --time-limit and --heap-limit, through the built binary
// (QORJS_BINARY): a limit ends the run with its record and exit status 1,
// never a signal.
#include <gmock/gmock.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace ::testing;

std::string shellQuoted(std::string_view text)
{
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

struct Case {
    std::vector<std::string> arguments;
    Matcher<std::string> out, err;
    int status;
};

TEST(QorjsLimits, LimitsEndTheRunWithTheirRecord)
{
    const fs::path dir = fs::temp_directory_path() / ("qorjs-limits-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "await.mjs") << "await null;\nfor (;;) {}\n";
    std::ofstream(dir / "app.js") << "var app = { spin() { for (;;) {} } };\n";
    const std::string time = "The script ran longer than its time limit of 300 ms";
    const std::string heap = "The script was stopped: the JavaScript heap reached its limit of 64 MB";
    const auto oneLine = MatchesRegex("qorjs: [^\n]+\n");

    const std::vector<Case> cases = {
        {{"--time-limit=300", "-e", "for (;;) {}"}, "", HasSubstr(time), 1},
        {{"--time-limit=300", "-e", "Promise.resolve().then(() => { for (;;) {} })"}, "", HasSubstr(time), 1},
        {{"--time-limit=300", (dir / "await.mjs").string()}, "", HasSubstr(time), 1},
        {{"--time-limit=300", "--call", "app.spin", (dir / "app.js").string()}, "", HasSubstr(time), 1},
        // Each timer callback is a step of its own; the timers behind a stopped one never run.
        {{"--time-limit=300", "-e", "setTimeout(() => { for (;;) {} }); setTimeout(() => print('late'), 600)"},
         "", HasSubstr(time), 1},
        {{"--time-limit=300", "-e", "queueMicrotask(() => { for (;;) {} })"}, "", HasSubstr(time), 1},
        {{"--heap-limit=64", "-e", "const a = []; for (;;) a.push(new Array(1e4).fill(1.5));"}, "", HasSubstr(heap), 1},
        {{"--heap-limit=64", "-e", "const k = []; for (;;) k.push(new ArrayBuffer(1 << 20));"}, "",
         HasSubstr("RangeError: Array buffer allocation failed"), 1},
        // Within the limits nothing changes.
        {{"--time-limit=300", "--heap-limit=64", "-p", "-e", "new Array(1e6).fill(1).length"}, "1000000\n", "", 0},
        {{"--help"}, AllOf(HasSubstr("--time-limit=MS"), HasSubstr("--heap-limit=MB")), "", 0},
        {{"--time-limit=0", "-e", "1"}, "", oneLine, 2},
        {{"--time-limit", "-e", "1"}, "", oneLine, 2},
        {{"--heap-limit=64MB", "-e", "1"}, "", oneLine, 2},
    };
    for (const Case& c : cases) {
        std::string command = shellQuoted(QORJS_BINARY);
        for (const auto& argument : c.arguments)
            command += " " + shellQuoted(argument);
        command += " </dev/null >" + shellQuoted((dir / "out").string()) + " 2>" + shellQuoted((dir / "err").string());
        const auto start = std::chrono::steady_clock::now();
        const int status = std::system(command.c_str());
        SCOPED_TRACE(command);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        std::ostringstream out, err;
        out << std::ifstream(dir / "out").rdbuf();
        err << std::ifstream(dir / "err").rdbuf();
        EXPECT_THAT(out.str(), c.out);
        EXPECT_THAT(err.str(), c.err);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
    }
    fs::remove_all(dir);
}

}  // namespace

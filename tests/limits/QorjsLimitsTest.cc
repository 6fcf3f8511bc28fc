// qorjs --time-limit and --heap-limit, through the built binary: a limit
// ends the run with its record and exit status 1, never a signal, whichever
// step of the run it stops.
#include "support/QorjsRun.h"

namespace qorjs::test {
namespace {

using namespace ::testing;

TEST(QorjsLimits, LimitsEndTheRunWithTheirRecord)
{
    ScratchDirectory dir;
    dir.write("await.mjs", "await null;\nfor (;;) {}\n");
    dir.write("app.js", "var app = { spin() { for (;;) {} } };\n");
    const std::string time = "The script ran longer than its time limit of 300 ms";
    const std::string heap = "The script was stopped: the JavaScript heap reached its limit of 64 MB";
    const auto oneLine = MatchesRegex("qorjs: [^\n]+\n");

    expectRuns(dir.path(), {
        {"", {"--time-limit=300", "-e", "for (;;) {}"}, "", "", HasSubstr(time), 1},
        {"", {"--time-limit=300", "-e", "Promise.resolve().then(() => { for (;;) {} })"}, "", "", HasSubstr(time), 1},
        {"", {"--time-limit=300", "await.mjs"}, "", "", HasSubstr(time), 1},
        {"", {"--time-limit=300", "--call", "app.spin", "app.js"}, "", "", HasSubstr(time), 1},
        // Each timer callback is a step of its own; the timers behind a stopped one never run.
        {"", {"--time-limit=300", "-e", "setTimeout(() => { for (;;) {} }); setTimeout(() => print('late'), 600)"}, "",
         "", HasSubstr(time), 1},
        {"", {"--time-limit=300", "-e", "queueMicrotask(() => { for (;;) {} })"}, "", "", HasSubstr(time), 1},
        {"", {"--heap-limit=64", "-e", "const a = []; for (;;) a.push(new Array(1e4).fill(1.5));"}, "", "", HasSubstr(heap), 1},
        {"", {"--heap-limit=64", "-e", "const k = []; for (;;) k.push(new ArrayBuffer(1 << 20));"}, "", "",
         HasSubstr("RangeError: Array buffer allocation failed"), 1},
        // Within the limits nothing changes.
        {"", {"--time-limit=300", "--heap-limit=64", "-p", "-e", "new Array(1e6).fill(1).length"}, "", "1000000\n", "", 0},
        {"", {"--help"}, "", AllOf(HasSubstr("--time-limit=MS"), HasSubstr("--heap-limit=MB")), "", 0},
        {"", {"--time-limit=0", "-e", "1"}, "", "", oneLine, 2},
        {"", {"--time-limit", "-e", "1"}, "", "", oneLine, 2},
        {"", {"--heap-limit=64MB", "-e", "1"}, "", "", oneLine, 2},
    });
}

}  // namespace
}  // namespace qorjs::test

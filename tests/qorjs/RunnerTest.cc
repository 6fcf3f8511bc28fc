// The qorjs runner as a user drives it: timers and the event loop, -p CODE
// and programs on standard input. Each case runs the built binary in a
// scratch directory with the given standard input.
#include "support/QorjsRun.h"

namespace qorjs::test {
namespace {

using namespace ::testing;

class Runner : public Test {
protected:
    void write(const std::string& name, const std::string& text) const { files.write(name, text); }
    void check(const std::vector<RunCase>& cases) const { expectRuns(files.path(), cases); }

    ScratchDirectory files;
    const std::filesystem::path& dir = files.path();
};

TEST_F(Runner, TimersRunInOrderWithPromiseJobsBetweenAndEndTheRun)
{
    write("wait.mjs", "print(await new Promise(resolve => setTimeout(resolve, 20, 'awaited')));");
    // The call happens although an interval keeps going; the call ends it.
    write("call.js", "const beat = setInterval(() => {}, 1);\n"
                     "function later(x) {\n"
                     "  return new Promise(resolve => setTimeout(() => { clearInterval(beat); resolve(x * 2); }, 10));\n"
                     "}");
    check({
        {"ordering",
         {"-e", "const log = [];\n"
                "setTimeout(() => log.push('b'), 40);\n"
                "setTimeout((x, y) => log.push('a' + x + y), 10, 1, 2);\n"
                "for (const n of [1, 2, 3])\n"
                "  setTimeout(() => { log.push('same' + n); Promise.resolve().then(() => log.push('job' + n)); }, 20);\n"
                "queueMicrotask(() => log.push('micro'));\n"
                "Promise.resolve().then(() => log.push('then'));\n"
                "setTimeout(() => print(log.join(' ')), 60);\n"
                "log.push('sync');"},
         "",
         "sync micro then a12 same1 job1 same2 job2 same3 job3 b\n",
         "",
         0},
        {"never sooner than asked",
         {"-e", "const t0 = Date.now(); let n = 0;\n"
                "setTimeout(() => print('timeout', Date.now() - t0 >= 50), 50);\n"
                "const i = setInterval(() => {\n"
                "  if (Date.now() - t0 < ++n * 15) print('early', n);\n"
                "  if (n === 4) clearInterval(i);\n"
                "}, 15);\n"
                "setTimeout(() => print('NaN and negative delays are 0'), NaN);\n"
                "setTimeout(() => print('-1'), -1);"},
         "",
         "NaN and negative delays are 0\n-1\ntimeout true\n",
         "",
         0},
        {"clearing",
         {"-e", "const a = setTimeout(() => print('cleared timeout ran'), 5); clearTimeout(a);\n"
                "clearTimeout(undefined); clearTimeout(12345); clearInterval('x'); clearTimeout({});\n"
                "const b = setInterval(() => print('cleared interval ran'), 50);\n"
                "setTimeout(() => clearTimeout(b), 1);\n"  // one list of ids for both kinds
                "let n = 0; const c = setInterval(() => { if (++n === 3) clearInterval(c); }, 1);\n"
                "const d = setTimeout(() => clearTimeout(d), 1);\n"  // clearing itself as it runs: harmless
                "setTimeout(() => print(n, typeof a, a > 0, new Set([a, b, c, d]).size), 80);"},
         "",
         "3 number true 4\n",
         "",
         0},
        {"top-level await of a timer", {"wait.mjs"}, "", "awaited\n", "", 0},
        {"--call waits for a timer", {"--call", "later", "call.js", "21"}, "", "42\n", "", 0},
        {"timers set from a timer", {"-e", "setTimeout(() => setTimeout(() => print('nested'), 5), 5)"}, "",
         "nested\n", "", 0},
    });
}

TEST_F(Runner, AFailingCallbackIsReportedAndFailsTheRun)
{
    const std::string eval = "file://" + (dir / "[eval]").string();
    check({
        {"throw in a timer",
         {"-e", "setTimeout(() => { throw new Error('in timer') }, 1);\nsetTimeout(() => print('later timer ran'), 30);"},
         "",
         "",
         AllOf(StartsWith(eval + ":1:20: Error: in timer\n"), HasSubstr("    at " + eval + ":1:26\n")),
         1},
        {"throw in an interval", {"-e", "let n = 0; setInterval(() => { if (++n === 2) null.x; }, 1)"}, "", "",
         HasSubstr("TypeError: Cannot read properties of null"), 1},
        {"throw in a queued microtask",
         {"-e", "queueMicrotask(() => { throw new RangeError('in microtask') }); setTimeout(() => print('ran'), 5)"}, "",
         "", StartsWith(eval + ":1:24: RangeError: in microtask\n"), 1},
        // Reported after the turn that left it, not after an interval that never ends.
        {"unhandled rejection", {"-e", "Promise.reject(new Error('lost')); setInterval(() => print('tick'), 1)"}, "",
         "", StartsWith("qorjs: a promise was rejected and nothing handled it:\n" + eval + ":1:16: Error: lost\n"), 1},
        {"not a function", {"-e", "setTimeout('print(1)', 1)"}, "", "",
         HasSubstr("TypeError: the first argument of setTimeout must be a function"), 1},
        {"a failed script's timers never run", {"-e", "setTimeout(() => print('ran'), 1); missing();"}, "", "",
         HasSubstr("ReferenceError: missing is not defined"), 1},
    });
}

TEST_F(Runner, PrintCodeAndProgramsOnStandardInput)
{
    const std::string here = "file://" + dir.string();
    check({
        {"-p CODE", {"-p", "1 + 2"}, "", "3\n", "", 0},
        {"--print CODE with arguments", {"--print", "[arguments.length, arguments[0]]", "a"}, "", "[1,\"a\"]\n", "", 0},
        {"-pe CODE", {"-pe", "'text'"}, "", "text\n", "", 0},
        {"-p then -e", {"-p", "-e", "6 * 7"}, "", "42\n", "", 0},
        {"-p prints after the script, before its timers", {"-p", "setTimeout(() => print('timer'), 1); 'value'"}, "",
         "value\ntimer\n", "", 0},
        {"-p takes code, not a file", {"-p", "app.js"}, "", "", HasSubstr("ReferenceError: app is not defined"), 1},
        {"-pe without code", {"-pe"}, "", "", MatchesRegex("qorjs: [^\n]+\n"), 2},
        {"no program: standard input", {}, "print('from', 'stdin'); setTimeout(() => print('timer'), 1)",
         "from stdin\ntimer\n", "", 0},
        {"- and the script's arguments", {"-", "a", "-e"}, "print(JSON.stringify(arguments))", "[\"a\",\"-e\"]\n", "",
         0},
        {"-p with standard input", {"-p"}, "40 + 2", "42\n", "", 0},
        {"-p -", {"-p", "-"}, "'piped'", "piped\n", "", 0},
        {"an empty standard input", {}, "", "", "", 0},
        {"an error names [stdin]", {}, "\nthrow new Error('piped')", "",
         StartsWith(here + "/[stdin]:2:1: Error: piped\n"), 1},
        {"a module on standard input", {"--module", "-"}, "export const x = 1; print(import.meta !== undefined)",
         "true\n", "", 0},
    });
}

}  // namespace
}  // namespace qorjs::test

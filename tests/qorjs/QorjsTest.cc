// The qorjs runner as a user drives it: what a program prints, how a failure
// is reported and which exit status it gets, usage errors, the event loop and
// the limits that stop it, --call, programs on standard input, the REPL.
#include "support/QorjsRun.h"

#include <qor/javascript/Version.h>

#include <v8-initialization.h>

namespace qorjs::test {
namespace {

using namespace ::testing;

const Matcher<std::string> kUsageError = MatchesRegex("qorjs: [^\n]+\n");

TEST(Qorjs, PrintsOutputAndReportsEachFailureWithItsPlaceAndExitStatus)
{
    const Scratch dir({{"args.js", "print(JSON.stringify(arguments));"}, {"fail.js", "function f() {\n\tif (f) missing();\n}\nf();\n"}});
    const std::string url = dir.url("fail.js"), eval = dir.url("[eval]");
    std::vector<Row> rows = {
        {{"-e", "print('p', 1); console.log({a: 1}, [2]); console.info('i'); console.warn('w'); console.debug('d'); "
                "console.error('e'); print(Symbol('s'), 1n)"}, "", "p 1\n{\"a\":1} [2]\ni\nd\nSymbol(s) 1\n", "w\ne\n", 0},
        {{"args.js", "a", "b c", "-e", "--help"}, "", "[\"a\",\"b c\",\"-e\",\"--help\"]\n", "", 0},
        {{"-e", "6 * 7"}, "", "", "", 0},
        {{"--help"}, "", AllOf(StartsWith("Usage: qorjs"), HasSubstr("--time-limit=MS"), HasSubstr("--heap-limit=MB")), "", 0},
        {{"--version"}, "", AllOf(HasSubstr(QORJAVASCRIPT_VERSION), HasSubstr(std::string("V8 ") + v8::V8::GetVersion())), "", 0},
        // URL:line:column: the message, the line, carets under the range, the stack's frames.
        {{"fail.js"}, "", "", url + ":2:9: ReferenceError: missing is not defined\n\tif (f) missing();\n\t       ^\n    at f (" +
                                  url + ":2:9)\n    at " + url + ":4:1\n", 1},
        {{"-e", "// first\nvar a = foo bar;"}, "", "", eval + ":2:13: SyntaxError: Unexpected identifier\nvar a = foo bar;\n            ^^^\n", 1},
        {{"-e", "throw 'plain';"}, "", "", eval + ":1:1: plain\nthrow 'plain';\n^\n", 1},
        {{"-e", "Promise.reject(new Error('lost'))"}, "", "",
         StartsWith("qorjs: a promise was rejected and nothing handled it:\n" + eval + ":1:16: Error: lost\n"), 1},
        {{"-e", "const p = Promise.reject(1); p.catch(() => print('handled'))"}, "", "handled\n", "", 0},
        {{"/nonexistent/none.js"}, "", "", AllOf(kUsageError, HasSubstr("/nonexistent/none.js")), 2},
        {{"/proc/self/mem"}, "", "", AllOf(kUsageError, HasSubstr("cannot read")), 2},  // a read that fails half-way
        // -p CODE prints its value (after the script, before its timers); -p alone prints the program's.
        {{"-p", "setTimeout(() => print('timer'), 1); 6 * 7"}, "", "42\ntimer\n", "", 0},
        {{"--print", "[arguments.length, arguments[0]]", "a"}, "", "[1,\"a\"]\n", "", 0},
        {{"-pe", "'text'"}, "", "text\n", "", 0},
        {{"-p", "app.js"}, "", "", HasSubstr("ReferenceError: app is not defined"), 1},
        // Without a program, standard input is the program.
        {{}, "print('from', 'stdin'); setTimeout(() => print('timer'), 1)", "from stdin\ntimer\n", "", 0},
        {{"-", "a", "-e"}, "print(JSON.stringify(arguments))", "[\"a\",\"-e\"]\n", "", 0},
        {{"-p"}, "40 + 2", "42\n", "", 0},
        {{}, "\nthrow new Error('piped')", "", StartsWith(dir.url("[stdin]:2:1: Error: piped\n")), 1},
        {{"--module", "-"}, "export const x = 1; print(import.meta !== undefined)", "true\n", "", 0},
    };
    for (const char* bad : {".", "--bogus", "-e", "-pe", "--call", "--inspect=port", "--inspect=65536", "--time-limit=0",
                            "--time-limit", "--heap-limit=64MB"})
        rows.push_back({{bad}, "", "", kUsageError, 2});
    expectRuns(dir, rows);
}

TEST(Qorjs, TimersRunInOrderWithPromiseJobsBetweenAndAFailingCallbackEndsTheRun)
{
    const Scratch dir({});
    const std::string eval = dir.url("[eval]");
    expectRuns(dir, {
        {{"-e", "const log = [];\nsetTimeout(() => log.push('b'), 40);\nsetTimeout((x, y) => log.push('a' + x + y), 10, 1, 2);\n"
                "for (const n of [1, 2, 3])\n"
                "  setTimeout(() => { log.push('same' + n); Promise.resolve().then(() => log.push('job' + n)); }, 20);\n"
                "queueMicrotask(() => log.push('micro'));\nPromise.resolve().then(() => log.push('then'));\n"
                "setTimeout(() => setTimeout(() => print(log.join(' ')), 5), 60);\nlog.push('sync');"},
         "", "sync micro then a12 same1 job1 same2 job2 same3 job3 b\n", "", 0},
        // Never sooner than asked; NaN and negative delays are 0.
        {{"-e", "const t0 = Date.now(); let n = 0;\nsetTimeout(() => print('timeout', Date.now() - t0 >= 50), 50);\n"
                "const i = setInterval(() => { if (Date.now() - t0 < ++n * 15) print('early', n); if (n === 4) clearInterval(i); }, 15);\n"
                "setTimeout(() => print('NaN'), NaN); setTimeout(() => print('-1'), -1);"},
         "", "NaN\n-1\ntimeout true\n", "", 0},
        // One list of ids for both kinds; an unknown one is harmless.
        {{"-e", "const a = setTimeout(() => print('ran'), 5); clearTimeout(a); clearTimeout(12345); clearInterval('x');\n"
                "const b = setInterval(() => print('ran'), 50); setTimeout(() => clearTimeout(b), 1);\n"
                "let n = 0; const c = setInterval(() => { if (++n === 3) clearInterval(c); }, 1); setTimeout(() => print(n), 80);"},
         "", "3\n", "", 0},
        {{"-m", "-"}, "print(await new Promise(resolve => setTimeout(resolve, 20, 'awaited')))", "awaited\n", "", 0},
        {{"-e", "setTimeout(() => { throw new Error('in timer') }, 1);\nsetTimeout(() => print('later timer ran'), 30);"}, "", "",
         AllOf(StartsWith(eval + ":1:20: Error: in timer\n"), HasSubstr("    at " + eval + ":1:26\n")), 1},
        {{"-e", "queueMicrotask(() => { throw new RangeError('in microtask') }); setTimeout(() => print('ran'), 5)"}, "", "",
         StartsWith(eval + ":1:24: RangeError: in microtask\n"), 1},
        // Reported after the turn that left it, not after an interval that never ends.
        {{"-e", "Promise.reject(new Error('lost')); setInterval(() => print('tick'), 1)"}, "", "",
         HasSubstr("nothing handled it:\n" + eval + ":1:16: Error: lost\n"), 1},
        {{"-e", "setTimeout('print(1)', 1)"}, "", "", HasSubstr("TypeError: the first argument of setTimeout must be a function"), 1},
        {{"-e", "setTimeout(() => print('ran'), 1); missing();"}, "", "", HasSubstr("ReferenceError: missing is not defined"), 1},
    });
}

TEST(Qorjs, LimitsStopEveryStepOfTheRunWithTheirRecord)
{
    const Scratch dir({});
    const auto time = HasSubstr("The script ran longer than its time limit of 300 ms");
    expectRuns(dir, {
        {{"--time-limit=300", "-e", "for (;;) {}"}, "", "", time, 1},
        {{"--time-limit=300", "-e", "Promise.resolve().then(() => { for (;;) {} })"}, "", "", time, 1},
        {{"--time-limit=300", "-m", "-"}, "await null;\nfor (;;) {}", "", time, 1},
        {{"--time-limit=300", "--call", "app.spin", "-"}, "var app = { spin() { for (;;) {} } };", "", time, 1},
        // Each timer callback is a step of its own; the timers behind a stopped one never run.
        {{"--time-limit=300", "-e", "setTimeout(() => { for (;;) {} }); setTimeout(() => print('late'), 600)"}, "", "", time, 1},
        {{"--heap-limit=64", "-e", "const a = []; for (;;) a.push(new Array(1e4).fill(1.5));"}, "", "",
         HasSubstr("The script was stopped: the JavaScript heap reached its limit of 64 MB"), 1},
        {{"--time-limit=300", "--heap-limit=64", "-p", "new Array(1e6).fill(1).length"}, "", "1000000\n", "", 0},
    });
}

TEST(Qorjs, CallPrintsTheResultOfAFunctionOrWhyThereIsNone)
{
    const Scratch dir({{"lib.js", "var math = { add(a, b) { return a + b; },\n  fail() { throw new Error('no way'); } };\n"
                                  "function describe(p) { return { name: p.name, tags: p.tags.length }; }\n"
                                  "function echo(v) { return v; }\nfunction nothing() {}\n"
                                  "function cycle() { const o = {}; o.self = o; return o; }\n"
                                  "async function refuse() { await null; throw new TypeError('refused'); }\n"},
                       {"api.mjs", "export function twice(x) { return x * 2; }\nexport function broken() {\n  throw new RangeError('out');\n}\n"}});
    const std::string api = "import * as api from './api.mjs'; globalThis.api = api;";
    std::vector<Row> rows = {
        {{"--call", "math.add", "lib.js", "1", "2"}, "", "3\n", "", 0},
        {{"--call", "describe", "lib.js", R"({"name":"Ada","tags":["x","y"]})"}, "", "{\"name\":\"Ada\",\"tags\":2}\n", "", 0},
        {{"--call", "echo", "lib.js", "\"text\""}, "", "\"text\"\n", "", 0},
        {{"--call", "nothing", "lib.js"}, "", "undefined\n", "", 0},  // the string form of what JSON cannot hold
        {{"--call", "cycle", "lib.js"}, "", "[object Object]\n", "", 0},
        // The call happens although an interval keeps going, and waits for the promise it returns.
        {{"--call", "later", "-", "21"}, "const beat = setInterval(() => {}, 1);\n"
                                         "function later(x) { return new Promise(r => setTimeout(() => { clearInterval(beat); r(x * 2); }, 10)); }",
         "42\n", "", 0},
        {{"--call", "refuse", "lib.js"}, "", "", HasSubstr("TypeError: refused"), 1},
        {{"--call", "math.fail", "lib.js"}, "", "", AllOf(HasSubstr(dir.url("lib.js:2:")), HasSubstr("Error: no way")), 1},
        {{"--call", "f", "-", "1", "Ada"}, "print('script ran'); function f() {}", "", AllOf(HasSubstr("argument 2"), HasSubstr("'Ada'")), 2},
        {{"--call", "api.twice", "-m", "-", "4"}, api, "8\n", "", 0},
        {{"--call", "api.broken", "-m", "-"}, api, "", HasSubstr(dir.url("api.mjs:3:")), 1},
    };
    for (const char* path : {"math.subtract", "nowhere.at.all", "math"})
        rows.push_back({{"--call", path, "lib.js"}, "", "", AllOf(HasSubstr(path), HasSubstr("no function")), 1});
    expectRuns(dir, rows);
}

TEST(Qorjs, TheReplPrintsEachValueContinuesUnfinishedInputAndKeepsItsHistory)
{
    const Scratch dir({{"answer.mjs", "export const answer = 42;\n"}});
    const std::string busy = "const t0 = Date.now(); while (Date.now() < t0 + 1000) {}\r";
    expectRuns(dir, {
        {{}, "1 + 2\r\nnope\r\nfunction twice(x) {\r\nreturn 2 * x;\r\n}\r\ntwice(50)\r\n`a\r\nb`.length\r\n"
             // Ctrl-C drops the line, also one typed while an input still runs.
             "print('drop' + 'ped')\x03\n" + busy + "print('drop' + 'ped')\x03\n'kept'\r\n"
             // import() resolves against the working directory; timers fire while the REPL waits.
             "import('./answer.mjs').then(m => print('got', m.answer))\r\nsetTimeout(() => print('tim' + 'er'), 20)\r\n"
             "Promise.reject(new Error('lost'))\r\n.exit\r\n",
         AllOf(HasSubstr("\r\n3\r\n> "), HasSubstr(dir.url("[repl]:1:1: ReferenceError: nope is not defined\r\n")),
               HasSubstr("... "), HasSubstr("\r\n100\r\n> "), HasSubstr("\r\n3\r\n> "), HasSubstr("^C\r\n> "),
               HasSubstr("\r\nkept\r\n> "), HasSubstr("got 42"), HasSubstr("timer"),
               HasSubstr("a promise was rejected and nothing handled it"), Not(HasSubstr("dropped"))),
         "", 0, true},
        // Up recalls the last session's line; Ctrl-D leaves, also typed while an input still runs.
        {{}, "[1, 2].join('+')\r\n\x04\n", HasSubstr("1+2\r\n> "), "", 0, true},
        {{}, "\x1b[A\r\n" + busy + "\x04\n", HasSubstr("1+2\r\n"), "", 0, true},
    });
    EXPECT_EQ(fs::status(dir.root / ".qorjs_history").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace qorjs::test

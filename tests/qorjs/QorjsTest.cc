// The qorjs runner as a user drives it, run as a program on pipes or on a
// pseudo-terminal: what a program prints, how a failure is reported and which
// exit status it gets, usage errors, the event loop and the limits that stop
// it, module imports and their failures, --call, and the REPL.
#include <gmock/gmock.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <array>
#include <fstream>
#include <regex>

#include <qor/javascript/Version.h>

#include <v8-initialization.h>

namespace qorjs::test {
namespace {

namespace fs = std::filesystem;
using namespace ::testing;

// One run. On a terminal, each '\n'-ended piece of `input` is typed once
// qorjs has gone quiet (at a prompt: 100 ms, still running: 700 ms), `out` is
// all the terminal showed and `err` is empty.
struct Row {
    std::vector<std::string> args;
    std::string input;
    Matcher<std::string> out, err;
    int status;
    bool terminal = false;
};

// A private directory holding `files`, removed at the end; canonical, so that
// paths compare with what qorjs prints. It is the runs' working and home directory.
struct Scratch {
    explicit Scratch(std::initializer_list<std::pair<std::string, std::string>> files)
    {
        fs::create_directories(root);
        for (const auto& [name, text] : files) {
            fs::create_directories((root / name).parent_path());
            std::ofstream(root / name, std::ios::binary) << text;
        }
    }
    ~Scratch() { fs::remove_all(root); }
    std::string url(const std::string& name) const { return std::string("file://") + (root / name).string(); }

    const fs::path root = fs::canonical(fs::temp_directory_path()) / ("qorjs-run-" + std::to_string(::getpid()));
};

void expectRuns(const Scratch& dir, const std::vector<Row>& rows)
{
    using namespace std::chrono;
    for (const Row& row : rows) {
        SCOPED_TRACE(PrintToString(row.args) + (row.terminal ? " on a terminal" : ""));
        // The shell gives qorjs its directory, its home and, on pipes, its standard streams.
        std::string command = "cd '" + dir.root.string() + "' && HOME=\"$PWD\" TERM=dumb exec '" QORJS_BINARY "'";
        for (const std::string& arg : row.args)
            command += " '" + std::regex_replace(arg, std::regex("'"), R"('\'')") + "'";
        std::ofstream(dir.root / ".in", std::ios::binary) << row.input;
        int master = -1;
        const pid_t child = row.terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
        if (child == 0) {
            ::execl("/bin/sh", "sh", "-c", (command + (row.terminal ? "" : " <.in >.out 2>.err")).c_str(), nullptr);
            ::_exit(127);
        }
        std::string printed[2];  // standard output (or the terminal), standard error
        std::string_view typing = row.input;
        char block[4096];
        pollfd readable{master, POLLIN, 0};
        for (auto quiet = steady_clock::now(), end = quiet + 20s; row.terminal && steady_clock::now() < end;) {
            if (::poll(&readable, 1, 20) > 0) {
                const ssize_t count = ::read(master, block, sizeof block);
                if (count <= 0)
                    break;  // qorjs has gone
                printed[0].append(block, static_cast<std::size_t>(count));
                quiet = steady_clock::now();
            } else if (!typing.empty() && printed[0].find("> ") != std::string::npos &&
                       steady_clock::now() - quiet > (printed[0].ends_with("> ") ? 100ms : 700ms)) {
                const std::size_t piece = typing.find('\n');
                if (::write(master, typing.data(), piece) < 0)
                    break;
                typing.remove_prefix(piece + 1);
            }
        }
        if (row.terminal) {
            ::kill(child, SIGKILL);  // if it never ended
            ::close(master);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        for (int i = 0; i < 2 && !row.terminal; ++i)
            std::getline(std::ifstream(dir.root / (i == 0 ? ".out" : ".err")), printed[i], '\0');
        EXPECT_THAT(printed[0], row.out);
        EXPECT_THAT(printed[1], row.err);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status);
    }
}

TEST(Qorjs, PrintsOutputAndReportsEachFailureWithItsPlaceAndExitStatus)
{
    const Scratch dir({{"fail.js", "function f() {\n\tif (f) missing();\n}\nf(setTimeout(print, 1, 'timer'));\n"}});
    const std::string url = dir.url("fail.js"), eval = dir.url("[eval]");
    std::vector<Row> rows = {
        {{"-e", R"js(print('p', 1, Symbol('s'), 1n);
console.log({a: 1}, [2]);
for (const name of ['info', 'warn', 'debug', 'error']) console[name](name);)js"},
            "", "p 1 Symbol(s) 1\n{ a: 1 } [ 2 ]\ninfo\ndebug\n", "warn\nerror\n", 0},
        {{"--help"}, "", StartsWith("Usage: qorjs [options] FILE [ARG...]\n"), "", 0},
        {{"--version"}, "", HasSubstr(std::string(QORJAVASCRIPT_VERSION ", V8 ") + v8::V8::GetVersion() + ")"), "", 0},
        // URL:line:column: the message, the line, carets under the range, the stack's frames. The timers
        // of a script that failed never run.
        {{"fail.js"}, "", "", url + ":2:9: ReferenceError: missing is not defined\n\tif (f) missing();\n\t       ^\n"
            + "    at f (" + url + ":2:9)\n    at " + url + ":4:1\n", 1},
        {{"-e", "// first\nvar a = foo bar;"}, "", "",
            eval + ":2:13: SyntaxError: Unexpected identifier\nvar a = foo bar;\n            ^^^\n", 1},
        {{"-e", "throw 'plain';"}, "", "", eval + ":1:1: plain\nthrow 'plain';\n^\n", 1},
        {{"-e", "const p = Promise.reject(1); p.catch(() => print('handled'))"}, "", "handled\n", "", 0},
        {{"/proc/self/mem"}, "", "", MatchesRegex("qorjs: cannot read [^\n]+\n"), 2},  // a read that fails half-way
        // -p CODE prints its value (after the script, before its timers); -p alone prints the program's.
        {{"-p", "setTimeout(() => print('timer'), 1); 6 * 7"}, "", "42\ntimer\n", "", 0},
        {{"-pe", "'text'"}, "", "text\n", "", 0},
        // "-" or no program at all: standard input is the program. What follows the program is its own.
        {{"-p", "-", "a", "--help"}, "print(JSON.stringify(arguments));\n40 + 2", "[\"a\",\"--help\"]\n42\n", "", 0},
        {{}, "\nthrow new Error('piped')", "", StartsWith(dir.url("[stdin]:2:1: Error: piped\n")), 1},
    };
    for (const char* bad : {"/nonexistent/none.js", ".", "--bogus", "-e", "-pe", "--call", "--inspect=port",
             "--inspect=65536", "--time-limit=0", "--time-limit", "--heap-limit=64MB"})
        rows.push_back({{bad}, "", "", MatchesRegex("qorjs: [^\n]+\n"), 2});
    expectRuns(dir, rows);
}

TEST(Qorjs, TimersRunInOrderWithPromiseJobsBetweenAndAFailureOrALimitEndsTheRun)
{
    const Scratch dir({});
    const std::string eval = dir.url("[eval]");
    const auto time = HasSubstr("The script ran longer than its time limit of 300 ms");
    expectRuns(dir, {
        {{"-e", R"js(const log = [];
setTimeout(() => log.push('b'), 40);
setTimeout((x, y) => log.push('a' + x + y), 10, 1, 2);
for (const n of [1, 2, 3]) setTimeout(() => { log.push('same' + n); queueMicrotask(() => log.push('job' + n)); }, 20);
queueMicrotask(() => log.push('micro'));
Promise.resolve().then(() => log.push('then'));
setTimeout(() => setTimeout(() => print(log.join(' ')), 5), 60);
log.push('sync');)js"},
            "", "sync micro then a12 same1 job1 same2 job2 same3 job3 b\n", "", 0},
        // Never sooner than asked; NaN and negative delays are 0; one list of ids for both kinds.
        {{"-e", R"js(const t0 = Date.now();
setTimeout(() => print('NaN'), NaN);
setTimeout(() => print('-1'), -1);
let n = 0;
const i = setInterval(() => { if (Date.now() - t0 < ++n * 15) print('early', n); if (n === 4) clearInterval(i); }, 15);
clearInterval(setTimeout(() => print('cleared'), 5));
setTimeout(clearTimeout, 1, setInterval(() => print('cleared'), 50));
setTimeout(() => print('timeout', Date.now() - t0 >= 80), 80);)js"},
            "", "NaN\n-1\ntimeout true\n", "", 0},
        {{"-e", "setTimeout(() => { throw new Error('in timer') }, 1);\nsetTimeout(() => print('later'), 30);"}, "",
            "", AllOf(StartsWith(eval + ":1:20: Error: in timer\n"), HasSubstr("    at " + eval + ":1:26\n")), 1},
        {{"-e", "queueMicrotask(() => { throw new RangeError('m') })"}, "", "", HasSubstr(":1:24: RangeError: m\n"), 1},
        // Reported after the turn that left it, not after an interval that never ends.
        {{"-e", "Promise.reject(new Error('lost')); setInterval(() => {}, 1)"}, "", "",
            StartsWith("qorjs: a promise was rejected and nothing handled it:\n" + eval + ":1:16: Error: lost\n"), 1},
        {{"-e", "setTimeout('1', 1)"}, "", "", HasSubstr("first argument of setTimeout must be a function"), 1},
        // A limit stops any step of the run with its record.
        {{"--time-limit=300", "-e", "Promise.resolve().then(() => { for (;;) {} })"}, "", "", time, 1},
        // Each timer callback is a step of its own; the timers behind a stopped one never run.
        {{"--time-limit=300", "-e", "setTimeout(() => { for (;;) {} }); setTimeout(() => print('late'), 600)"}, "",
            "", time, 1},
        {{"--heap-limit=64", "-e", "for (const a = [];;) a.push(new Array(1e4).fill(1.5));"}, "", "",
            HasSubstr("heap reached its limit of 64 MB"), 1},
    });
}

TEST(Qorjs, CallPrintsTheResultOfAFunctionOrWhyThereIsNone)
{
    const Scratch dir({{"lib.js", R"js(var lib = { echo(n, o) { return [n, typeof n, o]; } };
function cycle() { const o = {}; o.self = o; return o; }
async function refuse() { await null; throw new TypeError('refused'); })js"},
        {"api.mjs", "export function broken() {\n  throw new RangeError('out');\n}\n"}});
    const std::string api = "import * as api from './api.mjs'; globalThis.api = api;";
    expectRuns(dir, {
        {{"--call", "lib.echo", "lib.js", "1", R"({"t":["x"]})"}, "", "[1,\"number\",{\"t\":[\"x\"]}]\n", "", 0},
        {{"--call", "cycle", "lib.js"}, "", "[object Object]\n", "", 0},  // the string form of what JSON cannot hold
        // The call happens although an interval keeps going, and waits for the promise it returns.
        {{"--call", "later", "-", "21"}, R"js(const beat = setInterval(() => {}, 1);
function later(x) { return new Promise(r => setTimeout(() => { clearInterval(beat); r(x * 2); }, 10)); })js",
            "42\n", "", 0},
        {{"--call", "refuse", "lib.js"}, "", "", HasSubstr("TypeError: refused"), 1},
        {{"--call", "lib.none", "lib.js"}, "", "",
            "qorjs: --call lib.none: there is no function at this path below the global object\n", 1},
        {{"--call", "f", "-", "1", "Ada"}, "print('ran'); function f() {}", "",
            HasSubstr("argument 2 of --call is not JSON: 'Ada'"), 2},
        // A failure is placed in the script that defines the function.
        {{"--call", "api.broken", "-m", "-"}, api, "", HasSubstr(dir.url("api.mjs:2:3: RangeError: out\n")), 1},
    });
}

TEST(Qorjs, TheReplPrintsEachValueContinuesUnfinishedInputAndKeepsItsHistory)
{
    const Scratch dir({{"answer.mjs", "export const answer = 42;\n"}});
    const std::string busy = "const t0 = Date.now(); while (Date.now() < t0 + 1500) {}\r";
    // Ctrl-C drops the line, also one typed while an input still runs; import() resolves against the
    // working directory; timers fire while the REPL waits.
    const std::string session = "1 + 2\r\nnope\r\nfunction twice(x) {\r\nreturn 2 * x;\r\n}\r\ntwice(50)\r\n"
        "`a\r\nb`.length\r\nprint('drop' + 'ped')\x03\n" + busy + "print('drop' + 'ped')\x03\n'kept'\r\n"
        "import('./answer.mjs').then(m => print('got', m.answer))\r\nsetTimeout(() => print('tim' + 'er'), 20)\r\n"
        "Promise.reject(new Error('lost'))\r\n.exit\r\n";
    expectRuns(dir, {
        {{}, session,
            AllOf(HasSubstr("\r\n3\r\n> "), HasSubstr(dir.url("[repl]:1:1: ReferenceError: nope is not defined\r\n")),
                HasSubstr("... "), HasSubstr("\r\n100\r\n> "), HasSubstr("^C\r\n> "), HasSubstr("\r\n'kept'\r\n> "),
                HasSubstr("got 42"), HasSubstr("timer"), HasSubstr("a promise was rejected and nothing handled it"),
                Not(HasSubstr("dropped"))),
            "", 0, true},
        // Up recalls the last session's line; Ctrl-D leaves, also typed while an input still runs.
        {{}, "[1, 2].join('+')\r\n\x04\n", HasSubstr("'1+2'\r\n> "), "", 0, true},
        {{}, "\x1b[A\r\n" + busy + "\x04\n", HasSubstr("'1+2'\r\n"), "", 0, true},
    });
    EXPECT_EQ(fs::status(dir.root / ".qorjs_history").permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write);
}

TEST(QorjsModules, ImportsResolveAgainstTheImporterAndAFailedImportSaysWhatAndWhy)
{
    const Scratch dir({
        {"lib/counted.mjs", "globalThis.runs = (globalThis.runs ?? 0) + 1;\nexport const id = {};\n"},
        {"lib/x.mjs", R"js(export const load = () => import('./counted.mjs');
export const viaEval = () => eval("import('./counted.mjs')");)js"},
        {"lib/classic.js", "import('./counted.mjs').then(m => console.log('classic', runs));\n"},
        {"a.mjs", "export { viaB } from './b.mjs';\nexport const name = 'a';\n"},
        {"b.mjs", "export const viaB = async () => (await import('./a.mjs')).viaB === viaB;\n"},
        {"config.json", "{\"list\": [1, {\"deep\": null}]}\n"},
        {"my dir/meta.mjs", R"js(console.log(import.meta.url, import.meta.resolve('../alias/counted.mjs'),
  import.meta.resolve('./not/yet.mjs'));
try { import.meta.resolve('lodash'); } catch (e) { console.log(e.name, typeof (await import('../lib/x.mjs')).load); }
throw new Error('where am I');)js"},
        {"bad.mjs", "// fine\nexport const x = ;\n"},
        {"lib/deep.mjs", "import './missing.mjs';\n"},
        {"throws.mjs", "console.log('ran');\nthrow new RangeError('boom');\n"},
        {"bad.json", "{\"a\": 1,}\n"},
        {"circular.mjs", "export { x } from './circular.mjs';\n"},
    });
    fs::create_directory_symlink(dir.root / "lib", dir.root / "alias");
    const std::string blank = dir.url("my%20dir"), root = dir.root.string(), lib = root + "/lib";
    const std::string missing =
        "cannot import './missing.mjs' from " + lib + "/deep.mjs: " + lib + "/missing.mjs: No such file or directory";
    std::vector<Row> rows = {
        // Static, dynamic, through another path, a symbolic link and an absolute path: one module. A specifier
        // is relative to the importing module, also from eval code in it, not to the program.
        {{"-m", "-"}, R"js(import { id } from './lib/counted.mjs';
const a = await import('./lib/counted.mjs');
const b = await import('./lib/../alias/./counted.mjs');
const c = await import(')js" + root + R"js(/alias/counted.mjs');
const x = await import('./lib/x.mjs');
print(runs, [a, b, c, await x.load(), await x.viaEval()].every(m => m.id === id));)js",
            "1 true\n", "", 0},
        {{"lib/classic.js"}, "", "classic 1\n", "", 0},
        // A cycle closed by import() while the module is still being evaluated.
        {{"-m", "-"}, "const a = await import('./a.mjs');\nprint(a.name, await a.viaB());", "a true\n", "", 0},
        {{"-m", "-"}, R"js(import config from './config.json' assert { type: 'json' };
const again = await import('./config.json', { assert: { type: 'json' } });
print(JSON.stringify(config), again.default === config, Object.keys(again).join());)js",
            "{\"list\":[1,{\"deep\":null}]} true default\n", "", 0},
        {{"my dir/meta.mjs"}, "",
            blank + "/meta.mjs " + dir.url("lib/counted.mjs ") + blank + "/not/yet.mjs\nTypeError function\n",
            HasSubstr(blank + "/meta.mjs:4:7: Error: where am I"), 1},
        // Statically imported: the program never starts.
        {{"lib/deep.mjs"}, "", "", "qorjs: " + missing + "\n", 1},
        // What an import fails with keeps the type V8 gave it, its position, and says which import it was.
        {{"-m", "-"}, "import './bad.mjs';\nprint('started');", "", StartsWith(dir.url("bad.mjs:2:18: SyntaxError: ")
            + "cannot import './bad.mjs' from " + root + "/[stdin]: it does not compile: Unexpected token ';'\n"), 1},
        {{"throws.mjs"}, "", "ran\n", dir.url("throws.mjs:2:7: RangeError: boom\nthrow new RangeError('boom');\n")
            + "      ^\n    at " + dir.url("throws.mjs:2:7\n"), 1},
        // Evaluated once, it rejects each import with what it threw.
        {{"-m", "-"}, R"js(const e = await import('./throws.mjs').catch(e => e);
print(e instanceof RangeError, e === await import('./throws.mjs').catch(e => e));)js",
            "ran\ntrue true\n", "", 0},
        {{"-m", "-"}, "await new Promise(() => {});\nprint('after');", "", HasSubstr("top-level await"), 1},
    };
    // The error of a failed import() is of the type V8 raised (a plain Error where the loader found nothing).
    const std::vector<std::array<std::string, 4>> dynamic = {  // specifier, options, type, reason
        {"./lib", "", "Error", "cannot read " + lib + ": not a regular file"},
        {"lodash", "", "Error", "only paths starting with ./, ../ or /"},
        {"./bad.mjs", "", "SyntaxError", "it does not compile: Unexpected token ';' at " + dir.url("bad.mjs:2:18")},
        {"./lib/deep.mjs", "", "Error", missing},
        {"./circular.mjs", "", "SyntaxError", "Detected cycle while resolving name 'x' in './circular.mjs'"},
        {"./config.json", "", "Error", root + "/config.json is JSON: import it with assert { type: \"json\" }"},
        {"./config.json", ", { assert: { type: 'css' } }", "Error", root + "/config.json: unknown module type \"css\""},
        {"./bad.json", ", { assert: { type: 'json' } }", "SyntaxError", root + "/bad.json is not valid JSON: "},
    };
    for (const auto& [specifier, options, type, reason] : dynamic)
        rows.push_back({{"-e", "import('" + specifier + "'" + options + ").then(print, e => print(String(e)))"}, "",
            StartsWith(type + ": cannot import '" + specifier + "' from " + root + "/[eval]: " + reason), "", 0});
    expectRuns(dir, rows);
}

TEST(QorjsStartup, ASnapshotCarriesAProgramsStateAndACompileCacheIsUsedOnTheNextRun)
{
    const Scratch dir({
        {"lib.js", "class Greeter { constructor(w) { this.w = w; } hi(who) { return `${this.w}, ${who}`; } }\n"
                   "const greeter = new Greeter('hello');\nlet runs = 0;\nfunction count() { return ++runs; }\n"
                   "const say = print;\nsay('built', count());\n"},
        {"app.js", "say(greeter.hi('world'), count(), typeof Greeter, arguments);\n"
                   "setTimeout(() => console.log('timer'), 1);\n"},
        {"lib.mjs", "export const x = 1;\n"},
        {"junk.blob", "not a snapshot at all"},
        {"work.js", "function sum(n) { let s = 0; for (let i = 0; i < n; ++i) s += i; return s; }\nprint(sum(10));\n"},
    });
    expectRuns(dir, {
        {{"--snapshot-blob", "s.blob", "--build-snapshot", "lib.js"}, "", "built 1\n", "", 0},
        // The state goes on where the build left it; `print`, held by the
        // state's own `say`, is the new run's; `arguments` are the new run's.
        {{"--snapshot-blob=s.blob", "app.js", "x"}, "", "hello, world 2 function x\ntimer\n", "", 0},
        {{"--snapshot-blob", "s.blob", "app.js"}, "", "hello, world 2 function \ntimer\n", "", 0},
        {{"--snapshot-blob", "junk.blob", "app.js"}, "", "",
            "qorjs: junk.blob is not a usable startup snapshot: it is too short to be one (21 bytes)\n", 2},
        {{"--snapshot-blob", "missing.blob", "app.js"}, "", "", StartsWith("qorjs: cannot read the snapshot"), 2},
        {{"--snapshot-blob", "m.blob", "--build-snapshot", "lib.mjs"}, "", "",
            HasSubstr("cannot make a snapshot of this runtime: it holds ES modules"), 1},
        {{"--build-snapshot", "lib.js"}, "", "", HasSubstr("--build-snapshot needs --snapshot-blob FILE"), 2},
        // The first run writes the cache, the second uses it; a directory
        // that cannot be made is warned of once, and the run goes on.
        {{"--compile-cache=cache", "work.js"}, "", "45\n", "", 0},
        {{"--compile-cache=cache", "work.js"}, "", "45\n", "", 0},
        {{"--compile-cache=work.js/cache", "work.js"}, "", "45\n",
            "qorjs: warning: the compile cache in work.js/cache is off: cannot make the directory: Not a directory\n", 0},
    });
    EXPECT_FALSE(fs::exists(dir.root / "m.blob"));
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(dir.root / "cache"))
        entries += entry.path().extension() == ".qjscache";
    EXPECT_EQ(entries, 1u);
}

}  // namespace
}  // namespace qorjs::test

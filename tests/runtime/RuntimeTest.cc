// The runtime as a host uses it: modules served from memory and their
// failures, a module cycle that threw after an await and its neighbours,
// tasks posted from other threads and keep-alives, unhandled rejections,
// awaiting from C++, the failures of a call by path, and the limits: a timer
// callback, a posted task, runaways.
#include "support/TestSupport.h"

#include <gmock/gmock.h>

#include <map>
#include <set>
#include <thread>

namespace {

namespace js = qor::format::engine::javascript;
using namespace ::testing;
using namespace std::chrono_literals;

// Modules kept in a map by URL: "./x.mjs" resolves against the importer's
// folder, bare names are refused.
js::ModuleSource memory(std::map<std::string, std::string> files)
{
    auto shared = std::make_shared<std::map<std::string, std::string>>(std::move(files));
    return {[](std::string_view specifier, std::string_view referrer) -> std::expected<std::string, std::string> {
                if (specifier == "throw")
                    throw std::runtime_error("the archive is corrupt");
                if (!specifier.starts_with("./"))
                    return std::unexpected(std::string("no such package"));
                return std::string(referrer.substr(0, referrer.rfind('/') + 1)) + std::string(specifier.substr(2));
            },
            [shared](std::string_view url) -> std::expected<std::string, std::string> {
                auto found = shared->find(std::string(url));
                if (found == shared->end())
                    return std::unexpected("not in the archive");
                return found->second;
            }};
}

// A runtime whose console lines are kept.
struct Host {
    explicit Host(js::V8Runtime::Settings settings = {})
        : runtime([&] {
              settings.timers = settings.console = true;
              settings.consoleSink = [this](js::ConsoleLevel, std::string_view text) { lines.emplace_back(text); };
              return std::move(settings);
          }())
    {
    }
    std::string run(std::string_view code)
    {
        js::V8Runtime::Scope scope(runtime);
        auto result = runtime.runScript({code, "/test/main.js"});
        return result ? runtime.inspect(*result) : "error: " + result.error().message;
    }
    std::vector<std::string> lines;
    js::V8Runtime runtime;
};

js::V8Runtime::Settings withModules(std::map<std::string, std::string> files)
{
    js::V8Runtime::Settings settings;
    settings.modules = memory(std::move(files));
    return settings;
}

TEST(Runtime, ModulesFromTheHostLoadOnceAndAFailureKeepsItsTypeAndSaysWhichImport)
{
    Host host(withModules({
        {"app:/main.mjs", R"js(import { n } from './count.mjs';
const again = await import('./count.mjs');
console.log(n, again.n, import.meta.url, import.meta.resolve('./x.mjs'));
for (const s of ['./missing.mjs', 'lodash', './bad.mjs', './link.mjs', 'throw'])
  await import(s).catch(e => console.log(e.name + ': ' + e.message));)js"},
        {"app:/count.mjs", "globalThis.loads = (globalThis.loads ?? 0) + 1; export const n = loads;"},
        {"app:/bad.mjs", "export const = 1;"},
        {"app:/link.mjs", "import { nothing } from './count.mjs';"},
    }));
    js::V8Runtime::Scope scope(host.runtime);
    auto done = host.runtime.runModule("app:/main.mjs");
    ASSERT_TRUE(done) << done.error().message;
    const std::string from = "cannot import '";
    EXPECT_THAT(host.lines, ElementsAre("1 1 app:/main.mjs app:/x.mjs",
        "Error: " + from + "./missing.mjs' from app:/main.mjs: not in the archive",
        "Error: " + from + "lodash' from app:/main.mjs: no such package",
        "SyntaxError: " + from + "./bad.mjs' from app:/main.mjs: it does not compile: Unexpected token '=' at "
            "app:/bad.mjs:1:14",
        "SyntaxError: " + from + "./link.mjs' from app:/main.mjs: The requested module './count.mjs' does not "
            "provide an export named 'nothing'",
        "Error: " + from + "throw' from app:/main.mjs: the module source failed: the archive is corrupt"));
    // A static failure: the record has V8's type and the position in the file that failed.
    auto failed = host.runtime.runModuleText("import './bad.mjs';", "app:/other.mjs");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().type, js::Error::Type::Compile);
    EXPECT_EQ(failed.error().detail, "app:/bad.mjs");
    EXPECT_THAT(failed.error().message, StartsWith("SyntaxError: cannot import './bad.mjs' from app:/other.mjs"));
}

// A module's evaluation hands V8 on to the first module of its cycle; when
// that one threw after an await without being evaluated on its own, V8 would
// end the process there.
TEST(Runtime, EveryImportOfAModuleInACycleThatThrewRejectsWithTheCyclesError)
{
    Host host(withModules({
        {"app:/a.mjs", "import './b.mjs'; await Promise.resolve(0);"},
        {"app:/b.mjs", "import './c.mjs'; await Promise.resolve(0); throw new Error('async error in b');"},
        {"app:/c.mjs", "import './a.mjs'; await Promise.resolve(0);"},
        {"app:/x.mjs", "import './a.mjs'; await Promise.resolve(0);"},
        {"app:/main.mjs", "import './b.mjs'; import './x.mjs';"},
        // A cycle that threw before any await, and one whose first module still waits.
        {"app:/s-main.mjs", "import './s-b.mjs';"},
        {"app:/s-b.mjs", "import './s-c.mjs'; throw new Error('sync error in b');"},
        {"app:/s-c.mjs", "import './s-b.mjs';"},
        {"app:/w-main.mjs", "import './w-b.mjs';"},
        {"app:/w-b.mjs", "import './w-c.mjs'; await new Promise(r => setTimeout(r, 50)); console.log('w-b done');"},
        {"app:/w-c.mjs", "import './w-b.mjs';"},
        {"app:/run.mjs", R"js(const outcome = s => import(s).then(() => 'ok', e => e.message);
for (const s of ['./main.mjs', './c.mjs', './a.mjs', './x.mjs', './s-main.mjs', './s-c.mjs'])
  console.log(s, await outcome(s));
import('./w-main.mjs');
setTimeout(async () => console.log('w-c', await outcome('./w-c.mjs')), 10);)js"},
    }));
    js::V8Runtime::Scope scope(host.runtime);
    ASSERT_TRUE(host.runtime.runModule("app:/run.mjs"));
    ASSERT_TRUE(host.runtime.runLoop());
    EXPECT_THAT(host.lines, ElementsAre("./main.mjs async error in b", "./c.mjs async error in b",
        "./a.mjs async error in b", "./x.mjs async error in b", "./s-main.mjs sync error in b",
        "./s-c.mjs sync error in b", "w-b done", "w-c ok"));
}

TEST(Runtime, TasksFromOtherThreadsRunOnTheLoopWhichWaitsForThemWhileAKeepAliveIsHeld)
{
    Host host;
    js::V8Runtime::Remote remote = host.runtime.remote();
    std::jthread worker([keep = remote.keepAlive(), remote]() mutable {
        std::this_thread::sleep_for(50ms);  // the loop is asleep by now, with nothing but the keep-alive
        for (int i = 1; i <= 3; ++i)
            remote.post([i](js::V8Runtime& runtime) {
                js::V8Runtime::Scope scope(runtime);
                ASSERT_TRUE(runtime.runScript({"console.log('task " + std::to_string(i) + "')", "/task.js"}));
            });
        keep.release();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(host.runtime.runLoop());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_THAT(host.lines, ElementsAre("task 1", "task 2", "task 3"));

    // A task that throws fails the run with what it threw; the next run goes on.
    remote.post([](js::V8Runtime&) { throw std::runtime_error("out of paper"); });
    remote.post([](js::V8Runtime& runtime) { runtime.limits(); });
    auto failed = host.runtime.runLoop();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "a posted task threw: out of paper");
    EXPECT_TRUE(host.runtime.runReady());
}

TEST(Runtime, OnceTheRuntimeIsGoneATaskIsRefusedAndAQueuedOneDroppedUnrun)
{
    auto ran = std::make_shared<bool>(false);
    std::optional<js::V8Runtime::Remote> remote;
    std::optional<js::V8Runtime::KeepAlive> kept;
    {
        js::V8Runtime runtime;
        remote = runtime.remote();
        kept = remote->keepAlive();
        EXPECT_TRUE(remote->post([ran](js::V8Runtime&) { *ran = true; }));
    }
    EXPECT_FALSE(*ran);
    EXPECT_EQ(ran.use_count(), 1);  // the queued task went with the runtime
    EXPECT_FALSE(remote->post([ran](js::V8Runtime&) { *ran = true; }));
    remote->terminate();
    kept.reset();  // released after the runtime: nothing to wake
    remote->keepAlive().release();
}

TEST(Runtime, AnUnhandledRejectionFailsTheRunUnlessTheHostLetsItGo)
{
    Host host;
    EXPECT_EQ(host.run("Promise.reject(new RangeError('lost')); const p = Promise.reject(1); p.catch(() => {}); 2"),
              "2");
    auto failed = host.runtime.runLoop();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "RangeError: lost");
    EXPECT_EQ(failed.error().detail, "file:///test/main.js");
    EXPECT_EQ(failed.error().lineNumber, 1);
    EXPECT_TRUE(host.runtime.runLoop());  // reported once

    std::vector<std::string> seen;
    js::V8Runtime::Settings settings;
    settings.onUnhandledRejection = [&](const js::Error& rejection) {
        seen.push_back(rejection.message);
        return true;
    };
    Host lenient(std::move(settings));
    lenient.run("Promise.reject(new Error('one')); setTimeout(() => Promise.reject('two'), 1)");
    EXPECT_TRUE(lenient.runtime.runLoop());
    EXPECT_THAT(seen, ElementsAre("Error: one", "two"));
}

TEST(Runtime, AwaitingAPromiseFromCxxRunsTheLoopUntilItSettles)
{
    Host host;
    js::V8Runtime::Scope scope(host.runtime);
    host.run("var later = v => new Promise(r => setTimeout(r, 10, v)); var fail = async () => { throw new "
             "TypeError('no') }; var api = { later }");
    v8::Isolate* isolate = host.runtime.isolate();
    auto promise = host.runtime.call("api.later", {v8::Number::New(isolate, 42)});
    ASSERT_TRUE(promise);
    auto value = host.runtime.await(*promise);
    ASSERT_TRUE(value);
    EXPECT_EQ(host.runtime.inspect(*value), "42");

    auto rejected = host.runtime.await(*host.runtime.call("fail"));
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error().message, "TypeError: no");
    EXPECT_THAT(rejected.error().stackTrace, Optional(HasSubstr("at fail (file:///test/main.js:1:")));

    auto never = host.runtime.await(*host.runtime.runScript({"new Promise(() => {})", "/test/never.js"}));
    ASSERT_FALSE(never);
    EXPECT_EQ(never.error().type, js::Error::Type::Other);
    EXPECT_EQ(host.runtime.call("api.none").error().message, "TypeError: api.none is not a function");
}

// A call by path: what a getter on the path throws is the call's failure, as
// what the function throws is; the promise jobs run after a function that
// threw; a stop on the path or in the function ends the program's timers.
TEST(Runtime, ACallByPathFailsWithWhatItsPathOrItsFunctionThrewOrAStop)
{
    const std::string time = "The script ran longer than its time limit of 200 ms";
    js::V8Runtime::Settings settings;
    settings.limits.timeLimit = 200ms;
    Host host(std::move(settings));
    js::V8Runtime::Scope scope(host.runtime);
    host.run("var jobs = 0; var api = {"
             "  get broken() { throw new RangeError('no getter') },"
             "  fail() { Promise.resolve().then(() => jobs++); throw new TypeError('no') },"
             "  get slow() { for (;;) {} },"
             "  spin() { for (;;) {} } }");

    auto broken = host.runtime.call("api.broken.f");
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().message, "RangeError: no getter");
    auto failed = host.runtime.call("api.fail");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message, "TypeError: no");
    EXPECT_EQ(host.run("jobs"), "1");

    for (const char* path : {"api.slow", "api.spin"}) {
        host.run("setTimeout(() => {}, 60000)");
        auto stopped = host.runtime.call(path);
        ASSERT_FALSE(stopped) << path;
        EXPECT_EQ(stopped.error().message, time) << path;
        EXPECT_EQ(host.runtime.nextTimerDue(), std::nullopt) << path;
    }
    EXPECT_EQ(host.run("'still here'"), "'still here'");
}

// Each step is watched on its own; a stopped step ends the program's timers,
// and the runtime answers the next script as before.
TEST(Runtime, TheLimitsEndATimerCallbackAndAPostedTaskAndTheRuntimeGoesOn)
{
    const std::string time = "The script ran longer than its time limit of 200 ms";
    js::V8Runtime::Settings settings;
    settings.limits.timeLimit = 200ms;
    Host host(std::move(settings));
    host.run("setTimeout(() => { for (;;) {} }, 1); setTimeout(() => console.log('later'), 300)");
    auto stopped = host.runtime.runLoop();
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message, time);
    EXPECT_EQ(host.runtime.nextTimerDue(), std::nullopt);
    EXPECT_EQ(host.run("6 * 7"), "42");

    host.runtime.remote().post([](js::V8Runtime& runtime) {
        js::V8Runtime::Scope scope(runtime);
        EXPECT_FALSE(runtime.runScript({"for (;;) {}", "/task.js"}));
    });
    stopped = host.runtime.runLoop();
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message, time);

    // The host's stop from another thread, in a callback.
    host.run("setTimeout(() => { for (;;) {} }, 1)");
    std::jthread stopper([remote = host.runtime.remote()] {
        std::this_thread::sleep_for(50ms);
        remote.terminate();
    });
    stopped = host.runtime.runLoop();
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message, "The script was stopped by the host");
    EXPECT_EQ(host.run("'still here'"), "'still here'");
    EXPECT_THAT(host.lines, IsEmpty());
}

// Every field of a record: a wrong answer may come once in thousands.
std::string wholeRecord(const js::Error& e)
{
    auto n = [](std::optional<std::int64_t> v) { return v ? std::to_string(*v) : "-"; };
    auto s = [](const std::optional<std::string>& v) { return v ? "[" + *v + "]" : "-"; };
    return "type " + std::to_string(static_cast<int>(e.type)) + " [" + e.message + "] detail " + s(e.detail) +
           " line " + n(e.lineNumber) + " columns " + n(e.startColumn) + ".." + n(e.endColumn) + " source " +
           s(e.sourceLine) + " stack " + s(e.stackTrace);
}

// Runaways through one runtime, each ending with a limit's record (a heap
// runaway may meet the time limit first), each followed by a normal script
// with its own answer: one of each kind, or QORJS_SOAK_RUNTIME (scripts/soak).
TEST(Runtime, RunawaysAndNormalScriptsInTurn)
{
    const char* fromEnvironment = std::getenv("QORJS_SOAK_RUNTIME");
    const long count = fromEnvironment && *fromEnvironment ? std::stol(fromEnvironment) : 7;
    const std::set<std::string> limits = {"The script ran longer than its time limit of 100 ms",
        "The script was stopped: the JavaScript heap reached its limit of 64 MB",
        "RangeError: Array buffer allocation failed"};
    const char* const kinds[] = {"{ for (;;) {} }", "{ for (;;) { try { for (;;) {} } catch {} } }",
        "{ const a = []; for (;;) a.push(new Array(1e4).fill(1.5)); }", "{ new Array(3e7).fill(1.5).length }",
        "{ let s = 'x'; const k = []; for (;;) { s = [s, s].join(''); k.push(s); } }",
        "{ const k = []; for (;;) k.push(new ArrayBuffer(1 << 20)); }",
        "{ const k = []; for (;;) { try { k.push(new Uint8Array(1 << 20)); } catch (e) { k.push([e]); } } }"};
    js::V8Runtime::Settings settings;
    settings.limits = {std::size_t{64} << 20, 100ms};
    js::V8Runtime runtime(std::move(settings));
    js::V8Runtime::Scope scope(runtime);
    runtime.isolate()->LowMemoryNotification();
    const long before = qorjs::test::residentKiB();
    long wrong = 0;
    const auto began = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        v8::HandleScope round(runtime.isolate());
        auto stopped = runtime.runScript({kinds[i % std::ssize(kinds)], "/test/runaway.js"});
        auto normal = runtime.runScript({"[1, 2, 3].map(x => x * " + std::to_string(i) + ").reduce((a, b) => a + b)",
                                         "/test/normal.js"});
        if ((stopped || stopped.error().type != js::Error::Type::Runtime || !limits.contains(stopped.error().message) ||
             !normal || runtime.inspect(*normal) != std::to_string(6 * i)) && ++wrong <= 20)
            ADD_FAILURE() << "round " << i << ", " << kinds[i % std::ssize(kinds)] << ": "
                          << (stopped ? "no stop" : wholeRecord(stopped.error())) << "; then "
                          << (normal ? runtime.inspect(*normal) : wholeRecord(normal.error()));
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    runtime.isolate()->LowMemoryNotification();
    std::cout << "soak: " << count << " rounds of a runaway and a normal script, " << wrong << " wrong answers, "
              << took.count() << " s, resident memory " << before << " -> " << qorjs::test::residentKiB() << " KiB\n";
    EXPECT_EQ(wrong, 0);
}

}  // namespace

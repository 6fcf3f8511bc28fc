// Heap and time limits and the host's stop: a runaway ends through whichever
// operation runs it, with the record that names its limit, within a bound,
// and the isolate answers the next script as before; scripts within their
// limits, and later scripts, are never stopped.
#include "support/TestSupport.h"

#include <v8-function.h>

#include <map>
#include <thread>

using namespace qorjs::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {
const std::string kTime = "The script ran longer than its time limit of 200 ms";
const std::string kHeap = "The script was stopped: the JavaScript heap reached its limit of 64 MB";
const std::string kHost = "The script was stopped by the host";

enum class Via { Script, PromiseJob, Call, CallPending, Module, AddModule };
struct Runaway {
    const char* name;
    Via via;
    std::string code;  // the script, the function's body, or the module
    std::string expected;
};

void PrintTo(const Runaway& runaway, std::ostream* out) { *out << runaway.name; }

class Runaways : public EngineTest, public ::testing::WithParamInterface<Runaway> {
protected:
    // Runs the runaway the way its row says; the failure's message.
    std::string runAway(Via via, const std::string& code)
    {
        v8::TryCatch tryCatch(isolate);
        std::vector<v8::Local<v8::Value>> none;
        const js::Source module{code, "/test/runaway.mjs", true};
        const auto message = [](const auto& result) { return result ? std::string("no stop") : result.error().message; };
        outcome("globalThis.app = { run() { " + code + " } }");
        switch (via) {
        case Via::Script:
            return outcome("{ " + code + " }");  // in a block: what it built is garbage after it
        case Via::PromiseJob:
            isolate->SetMicrotasksPolicy(v8::MicrotasksPolicy::kExplicit);
            outcome("Promise.resolve().then(() => app.run())");
            return message(js::V8Engine::performMicrotaskCheckpoint(isolate));
        case Via::Call:
            return message(js::V8Engine::callJsFunctionGetError(context()->Global(), context(), "app.run", none));
        case Via::CallPending:
            return js::V8Engine::callJsFunction(context()->Global(), context(), "app.run", none).success ? "no stop" : text(tryCatch.Exception());
        case Via::AddModule:
            return js::V8Engine::addModule(context(), module, nullptr) ? "no stop" : text(tryCatch.Exception());
        case Via::Module:
            v8::Local<v8::Module> loaded = js::V8Engine::loadModule(context(), module);
            EXPECT_TRUE(js::V8Engine::instantiateModule(loaded, context(), nullptr));
            return js::V8Engine::evaluateModule(loaded, context()).IsEmpty() ? text(tryCatch.Exception()) : "no stop";
        }
        return "no such way";
    }
};
}  // namespace

TEST_P(Runaways, EndWithTheirLimitsRecordAndLeaveTheIsolateUsable)
{
    const bool heap = GetParam().expected != kTime;
    // A heap limit that failed shows as the wrong record, not a hung test.
    setLimits(heap ? js::V8Limits::Settings{std::size_t{64} << 20, 20s} : js::V8Limits::Settings{0, 200ms});
    const auto start = Clock::now();
    const std::string message = runAway(GetParam().via, GetParam().code);
    EXPECT_NE(message.find(GetParam().expected), std::string::npos) << message;
    EXPECT_GE(Clock::now() - start, heap ? 0ms : 200ms);
    EXPECT_LT(Clock::now() - start, heap ? 10s : 2s);  // twice the limit, and slack for a loaded machine
    EXPECT_EQ(outcome("{ let n = 0; for (let i = 0; i < 1e6; i++) n += i; n }"), "499999500000");
}

INSTANTIATE_TEST_SUITE_P(
    EveryOperation, Runaways,
    ::testing::Values(Runaway{"Loop", Via::Script, "for (;;) {}", kTime},
                      Runaway{"LoopInPromiseJob", Via::PromiseJob, "for (;;) {}", kTime},
                      Runaway{"LoopInCall", Via::Call, "for (;;) {}", kTime},
                      Runaway{"LoopInCallLeftPending", Via::CallPending, "for (;;) {}", kTime},
                      Runaway{"LoopAfterTopLevelAwait", Via::Module, "await null; for (;;) {}", kTime},
                      Runaway{"LoopInAddedModule", Via::AddModule, "for (;;) {}", kTime},
                      Runaway{"LoopCatchingEverything", Via::Script, "for (;;) { try { for (;;) {} } catch {} }", kTime},
                      Runaway{"ObjectDoubling", Via::Script, "let o = [{}]; for (;;) o = o.concat(o.map(x => ({x})));", kHeap},
                      Runaway{"GrowthInCall", Via::Call, "const a = []; for (;;) a.push({a: [a.length]});", kHeap},
                      Runaway{"GrowthInModule", Via::Module, "const a = []; for (;;) a.push(new Array(1e4).fill(1.5));", kHeap},
                      Runaway{"OneHugeArray", Via::Script, "new Array(3e7).fill(1.5).length", kHeap},
                      Runaway{"ArrayBuffersCaught", Via::Script,
                              "const k = []; for (;;) { try { k.push(new Uint8Array(1 << 20)); } catch (e) { k.push([e]); } }",
                              kHeap}),
    [](const auto& info) { return std::string(info.param.name); });

// Garbage does not count against the heap limit, nor do many short runs
// against the time limit.
TEST_F(EngineTest, ScriptsWithinTheLimitsRunNormally)
{
    setLimits({std::size_t{64} << 20, 0ms});
    EXPECT_EQ(outcome("{ let t = 0; for (let i = 0; i < 300; i++) t += new Array(1e5).fill(1).length; t }"), "30000000");
    EXPECT_EQ(outcome("{ let b = 0; for (let i = 0; i < 300; i++) b += new ArrayBuffer(1 << 20).byteLength; b }"),
              "314572800");
    setLimits({0, 1000ms});
    for (const auto start = Clock::now(); Clock::now() - start < 2500ms;)
        ASSERT_EQ(outcome("{ let x = 0; for (let i = 0; i < 1e5; i++) x += i; x }"), "4999950000");
}

// A stop from another thread ends the running script and nothing else: not
// the next one when none runs, not a later one when it races their ends.
TEST_F(EngineTest, TheHostStopsTheRunningScriptAndNoLaterOne)
{
    setLimits({});
    std::jthread([this] { limits->terminate(); }).join();
    std::jthread stopper([this] {
        std::this_thread::sleep_for(150ms);
        limits->terminate();
    });
    EXPECT_EQ(outcome("for (;;) {}"), kHost);
    std::map<std::string, int> results;
    {
        std::jthread racer([this](std::stop_token stop) {
            for (; !stop.stop_requested(); std::this_thread::sleep_for(50us))
                limits->terminate();
        });
        for (int i = 0; i < 2000; ++i)
            ++results[outcome("{ let x = 0; for (let i = 0; i < 1000; i++) x += i; x }")];
    }
    EXPECT_GT(results[kHost], 0);
    EXPECT_EQ(results[kHost] + results["499500"], 2000);
    EXPECT_EQ(outcome("6 * 7"), "42");
}

// A native function that runs a script through the library: the stop ends
// the inner operation and the outer one with it.
TEST_F(EngineTest, NestedOperationsEndAsAWhole)
{
    setLimits({0, 200ms});
    static std::string inner;
    auto nested = [](const v8::FunctionCallbackInfo<v8::Value>& info) {
        auto result = js::V8Engine::runJavaScriptSource(info.GetIsolate(), {"for (;;) {}", "/inner.js"});
        inner = result ? "no stop" : result.error().message;
    };
    context()->Global()->Set(context(), js::V8Helper::v8_string("nested", isolate),
                             v8::Function::New(context(), nested).ToLocalChecked()).Check();
    EXPECT_EQ(outcome("nested(); globalThis.after = 1"), kTime);
    EXPECT_EQ(inner, kTime);
    EXPECT_EQ(outcome("typeof globalThis.after"), "undefined");
}

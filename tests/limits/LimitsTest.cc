// Heap and time limits and the host's stop: a runaway of any kind, or a
// nested operation, ends with the record that names its limit, within a
// bound, and the isolate answers the next script as before, again and again
// without growing; scripts within their limits, and later scripts, are never
// stopped.
#include "engine/Limits.h"
#include "support/TestSupport.h"

#include <v8-function.h>

#include <map>
#include <thread>

using namespace qorjs::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using LimitsTest = EngineTest;  // scripts/soak runs RunawayScriptsInTurn by this name

namespace {
const std::string kTime = "The script ran longer than its time limit of 200 ms";
const char* const kHeap = "The script was stopped: the JavaScript heap reached its limit of 64 MB";
const std::string kHost = "The script was stopped by the host";
}  // namespace

// Garbage does not count against the heap limit, nor do many short runs
// against the time limit.
TEST_F(EngineTest, ScriptsWithinTheLimitsRunNormally)
{
    setLimits({std::size_t{64} << 20, 0ms});
    EXPECT_EQ(outcome("{ let t = 0; for (let i = 300; i--;) t += new Array(1e5).fill(1).length; t }"), "30000000");
    EXPECT_EQ(outcome("{ let b = 0; for (let i = 300; i--;) b += new ArrayBuffer(1e6).byteLength; b }"), "300000000");
    // A small typed array's buffer, made when asked for, is allocated
    // uninitialised (its bytes are copied in); the ones above are zeroed.
    EXPECT_EQ(outcome("new Uint8Array(8).buffer.byteLength"), "8");
    // A buffer too large, refused after V8's collections, then one that fits:
    // the refusals before it are no stop.
    EXPECT_EQ(outcome("{ let n = 0; for (let i = 2; i--; new ArrayBuffer(8)) try { new ArrayBuffer(1e9); } "
                      "catch { n++; } n }"), "2");
    isolate->LowMemoryNotification();  // frees the buffers: what they held no longer counts
    EXPECT_EQ(allocator->allocatedBytes(), 0u);
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

// A stop asked for just as a script ends, by a thread that saw it run (the
// tick, preempted in between), is that script's and never the next one's.
TEST_F(EngineTest, AStopAskedForAsTheScriptEndsIsItsOwn)
{
    setLimits({});
    static std::atomic<int> phase{0};  // 1: the watcher saw the script run; 2: it asked for the stop
    context()->Global()->Set(context(), js::V8Helper::v8_string("phase", isolate),
                             v8::Function::New(context(), [](const v8::FunctionCallbackInfo<v8::Value>& info) {
                                 info.GetReturnValue().Set(phase.load());
                             }).ToLocalChecked()).Check();
    std::jthread watcher([state = js::limitsOf(isolate)] {
        while ((state->activity.load() & 1) == 0)
            std::this_thread::yield();
        std::lock_guard<std::mutex> lock(state->mutex);  // as the tick holds it once it has seen a script run
        phase = 1;
        std::this_thread::sleep_for(100ms);  // preempted: the script ends meanwhile
        state->requestStop(js::StopReason::Host);
        phase = 2;
    });
    EXPECT_EQ(outcome("while (phase() < 1) {} 'ended'"), kHost);
    EXPECT_EQ(outcome("while (phase() < 2) {} 42"), "42");
}

// Each kind of operation is watched, and a nested one (a native function
// that runs a script through the library) ends with the one around it.
TEST_F(EngineTest, EachOperationIsStoppedANestedOneWithTheOneAroundIt)
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
    EXPECT_EQ(inner + outcome("typeof globalThis.after"), kTime + "undefined");
    // A promise job run by the host's checkpoint, and a getter on a call's
    // path: the job's record, and the stop thrown to the caller, not taken
    // for a function that is not there.
    isolate->SetMicrotasksPolicy(v8::MicrotasksPolicy::kExplicit);
    run("Promise.resolve().then(() => { for (;;) {} }); var slow = { get tools() { for (;;) {} } };");
    auto jobs = js::V8Engine::performMicrotaskCheckpoint(isolate);
    EXPECT_EQ(jobs ? "no stop" : jobs.error().message, kTime);
    std::vector<v8::Local<v8::Value>> none;
    v8::TryCatch tryCatch(isolate);
    js::V8Engine::callJsFunction(context()->Global(), context(), "slow.none", none);
    EXPECT_FALSE(tryCatch.HasCaught()) << "a function not found is no stop";
    js::V8Engine::callJsFunction(context()->Global(), context(), "slow.tools.run", none);
    EXPECT_EQ(text(tryCatch.Exception()), "Error: " + kTime);
}

// Runaways of every kind one after another in one isolate, a normal script
// after each: each ends with its limit's record within a bound and leaves the
// isolate answering as before, without growing. ctest runs one round after
// the warm-up; scripts/soak runs QORJS_SOAK_RUNAWAYS of them.
TEST_F(LimitsTest, RunawayScriptsInTurn)
{
    const char* fromEnvironment = std::getenv("QORJS_SOAK_RUNAWAYS");
    const long count = fromEnvironment && *fromEnvironment ? std::stol(fromEnvironment) : 7;
    // What runs away, its record, its time limit (the heap's never reached)
    // and its bound: twice the time limit, or a second past the heap's.
    const std::tuple<const char*, const char*, std::chrono::milliseconds, std::chrono::milliseconds> kinds[] = {
        {"{ for (;;) {} }", "time limit of 100 ms", 100ms, 200ms},
        {"{ for (;;) { try { for (;;) {} } catch {} } }", "time limit of 100 ms", 100ms, 200ms},
        {"{ const a = []; for (;;) a.push(new Array(1e4).fill(1.5)); }", kHeap, 10s, 1s},
        // One allocation past the limit, inside a builtin that V8 does not
        // interrupt: stopped at its end, as long as it takes.
        {"{ new Array(3e7).fill(1.5).length }", kHeap, 10s, 5s},
        {"{ let s = 'x'; const k = []; for (;;) { s = [s, s].join(''); k.push(s); } }", kHeap, 10s, 1s},
        // Refused by the allocator: JavaScript sees V8's RangeError, and one
        // that catches it and goes on meets the heap limit's record.
        {"{ const k = []; for (;;) k.push(new ArrayBuffer(1 << 20)); }", "RangeError: Array buffer allocation failed",
         10s, 1s},
        {"{ const k = []; for (;;) { try { k.push(new Uint8Array(1 << 20)); } catch (e) { k.push([e]); } } }",
         kHeap, 10s, 1s},
    };
    const long kindCount = std::ssize(kinds);
    long start = 0;
    for (long i = -kindCount; i < count; ++i) {  // one of each first: what V8 keeps for good is in the start figure
        const auto& [code, expected, timeLimit, bound] = kinds[(i + kindCount) % kindCount];
        setLimits({std::size_t{64} << 20, timeLimit});
        const auto began = Clock::now();
        const std::string message = outcome(code);
        EXPECT_GE(Clock::now() - began, timeLimit < 1s ? timeLimit : 0ms) << code;
        EXPECT_LT(Clock::now() - began, i < 0 ? 10s : bound) << code;
        ASSERT_NE(message.find(expected), std::string::npos) << code << ": " << message;
        ASSERT_EQ(outcome("[1, 2].map(x => x * " + std::to_string(i) + ").join()"),
                  std::to_string(i) + "," + std::to_string(2 * i));
        if (i == -1) {
            isolate->LowMemoryNotification();
            start = residentKiB();
        }
    }
    isolate->LowMemoryNotification();
    std::cout << "soak: " << count << " runaways; resident memory " << start << " KiB -> " << residentKiB() << " KiB\n";
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory makes the figure meaningless
    EXPECT_LT(residentKiB() - start, 20 * 1024);
#endif
}

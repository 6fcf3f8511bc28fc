#include "support/TestSupport.h"

#include <v8-function.h>
#include <v8-microtask-queue.h>
#include <v8-template.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace qorjs::test {
namespace {

using LimitsTest = EngineTest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeapLimit = std::size_t{64} << 20;
const std::string kTimeMessage = "The script ran longer than its time limit of 200 ms";
const std::string kHeapMessage = "The script was stopped: the JavaScript heap reached its limit of 64 MB";
const std::string kHostMessage = "The script was stopped by the host";

// How a runaway gets to run: each of the library's operations that runs
// JavaScript.
enum class Via { Script, PromiseJob, Call, CallPending, Module, ModuleAwait, AddModule };

struct Runaway {
    const char* name;
    Via via;
    const char* code;  // the script, the function's body, or the module
    bool heap;         // ended by the heap limit, else by the time limit
    std::string expected;
};

void PrintTo(const Runaway& runaway, std::ostream* out)
{
    *out << runaway.name;
}

std::string caughtText(v8::Isolate* isolate, const v8::TryCatch& tryCatch)
{
    if (!tryCatch.HasCaught())
        return "nothing caught";
    return js::V8Helper::qor_string(tryCatch.Exception(), isolate);
}

class RunawayTest : public LimitsTest, public ::testing::WithParamInterface<Runaway> {
protected:
    // Runs the runaway the way its case says; the failure's message.
    std::string runAway(const Runaway& runaway)
    {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Context> here = context();
        const std::string code = runaway.code;
        switch (runaway.via) {
        case Via::Script:
            // In a block, so that what the runaway built is garbage after it.
            return outcome("{ " + code + " }");
        case Via::PromiseJob: {
            isolate->SetMicrotasksPolicy(v8::MicrotasksPolicy::kExplicit);
            EXPECT_EQ(outcome("Promise.resolve().then(() => { " + code + " }); 'queued'"), "queued");
            auto checkpoint = js::V8Engine::performMicrotaskCheckpoint(isolate);
            isolate->SetMicrotasksPolicy(v8::MicrotasksPolicy::kAuto);
            return checkpoint ? "no stop" : checkpoint.error().message;
        }
        case Via::Call:
        case Via::CallPending: {
            EXPECT_EQ(outcome("globalThis.app = { run() { " + code + " } }; 'defined'"), "defined");
            std::vector<v8::Local<v8::Value>> none;
            if (runaway.via == Via::Call) {
                auto called = js::V8Engine::callJsFunctionGetError(here->Global(), here, "app.run", none);
                return called ? "no stop" : called.error().message;
            }
            v8::TryCatch tryCatch(isolate);
            js::V8FuncResult called = js::V8Engine::callJsFunction(here->Global(), here, "app.run", none);
            EXPECT_FALSE(called.success);
            return caughtText(isolate, tryCatch);
        }
        case Via::Module:
        case Via::ModuleAwait:
        case Via::AddModule: {
            const std::string text = runaway.via == Via::ModuleAwait ? "await null; " + code : code;
            const js::Source source{text, "/test/runaway.mjs", true};
            v8::TryCatch tryCatch(isolate);
            if (runaway.via == Via::AddModule) {
                EXPECT_FALSE(js::V8Engine::addModule(here, source, nullptr));
                return caughtText(isolate, tryCatch);
            }
            v8::Local<v8::Module> module = js::V8Engine::loadModule(here, source);
            EXPECT_TRUE(js::V8Engine::instantiateModule(module, here, nullptr));
            EXPECT_TRUE(js::V8Engine::evaluateModule(module, here).IsEmpty());
            return caughtText(isolate, tryCatch);
        }
        }
        return "unknown case";
    }
};

// Every kind of runaway, through every operation, ends with the record that
// names its limit, within a bound, and the isolate answers the next script.
TEST_P(RunawayTest, EndsWithItsLimitAndLeavesTheIsolateUsable)
{
    const Runaway& runaway = GetParam();
    // The heap cases get a generous time limit too, so that a heap limit that
    // failed shows as the wrong record instead of a hung test.
    setLimits(runaway.heap ? js::V8Limits::Settings{kHeapLimit, 20s} : js::V8Limits::Settings{0, 200ms});

    const auto start = Clock::now();
    const std::string message = runAway(runaway);
    const auto took = Clock::now() - start;
    EXPECT_NE(message.find(runaway.expected), std::string::npos) << message;
    if (!runaway.heap) {
        EXPECT_GE(took, 200ms);
        // Twice the limit is what the watch promises; the rest is slack for
        // a loaded machine.
        EXPECT_LT(took, 2s);
    } else {
        EXPECT_LT(took, 10s);
    }

    EXPECT_EQ(outcome("6 * 7"), "42");
    EXPECT_EQ(outcome("{ let n = 0; for (let i = 0; i < 1e6; i++) n += i; n }"), "499999500000");
    EXPECT_FALSE(isolate->IsExecutionTerminating());
}

const Runaway kRunaways[] = {
    {"Loop", Via::Script, "for (;;) {}", false, kTimeMessage},
    {"LoopInPromiseJob", Via::PromiseJob, "for (;;) {}", false, kTimeMessage},
    {"LoopInCalledFunction", Via::Call, "for (;;) {}", false, kTimeMessage},
    {"LoopInCalledFunctionPending", Via::CallPending, "for (;;) {}", false, kTimeMessage},
    {"LoopInModule", Via::Module, "for (;;) {}", false, kTimeMessage},
    {"LoopAfterTopLevelAwait", Via::ModuleAwait, "for (;;) {}", false, kTimeMessage},
    {"LoopInAddedModule", Via::AddModule, "for (;;) {}", false, kTimeMessage},
    {"LoopCatchingEverything", Via::Script, "for (;;) { try { for (;;) {} } catch (e) {} }", false, kTimeMessage},
    {"ArrayDoubling", Via::Script, "let a = [1.5]; for (;;) a = a.concat(a);", true, kHeapMessage},
    {"ObjectDoubling", Via::Script, "let o = [{}]; for (;;) o = o.concat(o.map(x => ({x})));", true, kHeapMessage},
    {"StringDoubling", Via::Script, "let s = 'x'; const k = []; for (;;) { s = [s, s].join(''); k.push(s); }",
     true, kHeapMessage},
    {"GradualGrowth", Via::Script, "const a = []; for (;;) a.push(new Array(1e4).fill(1.5));", true, kHeapMessage},
    {"GrowthInCalledFunction", Via::Call, "const a = []; for (;;) a.push({a: a.length, b: [a.length]});", true,
     kHeapMessage},
    {"GrowthAfterTopLevelAwait", Via::ModuleAwait, "const a = []; for (;;) a.push(new Array(1e4).fill(1.5));",
     true, kHeapMessage},
    // Refused by the allocator: JavaScript sees the RangeError V8 throws for
    // a failed ArrayBuffer allocation.
    {"ArrayBuffers", Via::Script, "const k = []; for (;;) k.push(new ArrayBuffer(1 << 20));", true,
     "RangeError: Array buffer allocation failed"},
    {"ArrayBuffersCaught", Via::Script,
     "const k = []; for (;;) { try { k.push(new Uint8Array(1 << 20)); } catch (e) { k.push([e]); } }", true,
     kHeapMessage},
};

INSTANTIATE_TEST_SUITE_P(Runaways, RunawayTest, ::testing::ValuesIn(kRunaways), [](const auto& info) {
    return std::string(info.param.name);
});

// ---- Within the limits -------------------------------------------------------

// Scripts that stay inside their limits run as they would without them,
// garbage included: what is collected does not count.
TEST_F(LimitsTest, ScriptsWithinTheLimitsRunNormally)
{
    // A limit with room for a loaded machine and the sanitizers' slowdown.
    setLimits({kHeapLimit, 1000ms});
    EXPECT_EQ(outcome("{ let t = 0; for (let i = 0; i < 100; i++) t += new Array(1e5).fill(1).length; t }"), "10000000");
    EXPECT_EQ(outcome("{ let b = 0; for (let i = 0; i < 300; i++) b += new ArrayBuffer(1 << 20).byteLength; b }"),
              "314572800");
    // Many short runs add up to far more than the time limit.
    const auto start = Clock::now();
    int runs = 0;
    while (Clock::now() - start < 2500ms) {
        ASSERT_EQ(outcome("{ let x = 0; for (let i = 0; i < 1e5; i++) x += i; x }"), "4999950000");
        ++runs;
    }
    EXPECT_GT(runs, 1);
}

// ---- Stopped by the host -----------------------------------------------------

TEST_F(LimitsTest, TerminateFromAnotherThreadEndsTheRunningScript)
{
    setLimits({});
    std::thread stopper([this] {
        std::this_thread::sleep_for(150ms);
        limits->terminate();
    });
    const auto start = Clock::now();
    EXPECT_EQ(outcome("for (;;) {}"), kHostMessage);
    EXPECT_LT(Clock::now() - start, 5s);
    stopper.join();
    EXPECT_EQ(outcome("6 * 7"), "42");
}

TEST_F(LimitsTest, TerminateWhileIdleDoesNothing)
{
    setLimits({});
    std::thread([this] { limits->terminate(); }).join();
    limits->terminate();
    EXPECT_EQ(outcome("6 * 7"), "42");
}

// A stop that arrives as one script ends and the next begins is never left
// for a later script: every result is the right one or the host's record.
TEST_F(LimitsTest, StopsRacingShortScriptsNeverLeakIntoLaterOnes)
{
    setLimits({});
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        while (!done.load()) {
            limits->terminate();
            std::this_thread::sleep_for(50us);
        }
    });
    int stopped = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::string result = outcome("{ let x = 0; for (let i = 0; i < 1000; i++) x += i; x }");
        if (result == kHostMessage)
            ++stopped;
        else if (result != "499500") {
            ADD_FAILURE() << result;
            break;
        }
    }
    done.store(true);
    stopper.join();
    EXPECT_EQ(outcome("6 * 7"), "42");
    EXPECT_GT(stopped, 0);
}

// ---- Nested operations ---------------------------------------------------------

// A native function that runs a script through the library: the stop ends the
// inner operation and the outer one with it, and the time counts from the
// outer one's start.
TEST_F(LimitsTest, NestedOperationsEndAsAWhole)
{
    setLimits({0, 200ms});
    v8::HandleScope scope(isolate);
    static std::string innerMessage;
    innerMessage.clear();
    auto nested = [](const v8::FunctionCallbackInfo<v8::Value>& info) {
        v8::Isolate* isolate = info.GetIsolate();
        auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{"for (;;) {}", "/test/inner.js", false});
        innerMessage = result ? "no stop" : result.error().message;
    };
    v8::Local<v8::Function> function = v8::Function::New(context(), nested).ToLocalChecked();
    ASSERT_TRUE(context()->Global()->Set(context(), js::V8Helper::v8_string("nested", isolate), function).FromJust());

    EXPECT_EQ(outcome("nested(); globalThis.after = 1; 'outer went on'"), kTimeMessage);
    EXPECT_EQ(innerMessage, kTimeMessage);
    EXPECT_EQ(outcome("typeof globalThis.after"), "undefined");
    EXPECT_EQ(outcome("6 * 7"), "42");
}

// Operations on an isolate whose limits are gone are not watched.
TEST_F(LimitsTest, LimitsOffLeaveOperationsAlone)
{
    setLimits({});
    EXPECT_EQ(outcome("6 * 7"), "42");
    limits.reset();
    EXPECT_EQ(outcome("6 * 7"), "42");
    EXPECT_EQ(isolate->GetData(js::V8Limits::kIsolateDataSlot), nullptr);
}

}  // namespace
}  // namespace qorjs::test

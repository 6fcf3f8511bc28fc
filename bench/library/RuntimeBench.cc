// V8Runtime against the same steps written by hand with the library's static
// operations, in an isolate made by hand as the runtime makes its own (the
// counting allocator, the engine's failure handlers, V8Limits with no limit
// set, one context, and the functions a runtime with timers and a console
// puts on the global object and on `console`). "The promise jobs" are, in
// both halves, V8Engine::performMicrotaskCheckpoint and V8's own tasks
// (v8::platform::PumpMessageLoop), until neither has anything left.
// - runScript against runJavaScriptSource, then the promise jobs;
// - a setTimeout(f, 0) callback fired by runReady against a hand-written
//   loop: a multimap of deadlines, a v8::Global per timer, the promise jobs,
//   then the callback called through V8Engine::callJsFunction (the static
//   operations call a function under the limits by a path, so the callback
//   sits on a holder object for it), then the promise jobs again. The
//   callback sets the next timer, so each iteration is one setTimeout and one
//   firing;
// - call by a dotted path against callJsFunctionGetError, then the promise
//   jobs;
// - making and destroying a runtime with timers and a console against making
//   and disposing of the same isolate by hand.
// Each half opens its isolate and context for every operation, as the
// runtime's calls do. The runtime of a half, or its isolate made by hand, is
// made before the half's timed loop, and both halves run the same script.

#include "Pairs.h"
#include "RawSteps.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Limits.h>
#include <qor/javascript/V8Runtime.h>

#include <v8-exception.h>
#include <v8-external.h>
#include <v8-function.h>
#include <v8-persistent-handle.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

using Clock = std::chrono::steady_clock;

// The methods a runtime's console puts in place of V8's own.
constexpr const char* kConsoleMethods[] = {
    "log", "info", "debug", "warn", "error", "dir", "table", "trace", "assert",
    "count", "countReset", "group", "groupCollapsed", "groupEnd", "time", "timeLog", "timeEnd",
};

// Run by both halves of a pair before they measure.
constexpr const char* kSetupScript = R"js(
function f3(a, b, c) { return a + b + c; }
var app = { lib: { f3: f3 } };
var ticks = 0;
function tick() { ticks++; setTimeout(tick, 0); }
)js";

const std::string kSmallScript = "var answer = 6; answer * 7";

js::V8Runtime::Settings timersAndConsole()
{
    js::V8Runtime::Settings settings;
    settings.timers = true;
    settings.console = true;
    return settings;
}

// An isolate made by hand with what a runtime with timers and a console has;
// its timers are a hand-written loop's.
class HandMadeIsolate {
public:
    HandMadeIsolate()
    {
        v8::Isolate::CreateParams params;
        params.array_buffer_allocator = &allocator;
        isolateHandle = v8::Isolate::New(params);
        isolateHandle->SetFatalErrorHandler(js::V8Engine::fatalError);
        isolateHandle->SetOOMErrorHandler(js::V8Engine::oomeError);
        isolateHandle->SetAbortOnUncaughtExceptionCallback(js::V8Engine::abortOnUncaughtException);
        isolateHandle->SetEventLogger(js::V8Engine::logEvent);

        v8::Isolate::Scope isolateScope(isolateHandle);
        v8::HandleScope handleScope(isolateHandle);
        limits.emplace(isolateHandle, js::V8Engine::get().getPlatform(), js::V8Limits::Settings{}, &allocator);
        v8::Local<v8::Context> context = v8::Context::New(isolateHandle);
        contextHandle.Reset(isolateHandle, context);

        v8::Local<v8::Object> global = context->Global();
        v8::Local<v8::Value> self = v8::External::New(isolateHandle, this);
        install(context, global, "setTimeout", &HandMadeIsolate::setTimeout, self, 1);
        install(context, global, "setInterval", &HandMadeIsolate::setInterval, self, 1);
        install(context, global, "clearTimeout", &HandMadeIsolate::clearTimer, self, 0);
        install(context, global, "clearInterval", &HandMadeIsolate::clearTimer, self, 0);
        install(context, global, "queueMicrotask", &HandMadeIsolate::queueMicrotask, self, 1);

        v8::Local<v8::Value> console;
        if (!global->Get(context, raw::string(isolateHandle, "console")).ToLocal(&console) || !console->IsObject())
            return;
        for (const char* name : kConsoleMethods) {
            v8::Local<v8::Value> original;
            if (console.As<v8::Object>()->Get(context, raw::string(isolateHandle, name)).ToLocal(&original))
                install(context, console.As<v8::Object>(), name, &HandMadeIsolate::consoleMethod, original, 0);
        }
    }

    ~HandMadeIsolate()
    {
        {
            v8::Isolate::Scope isolateScope(isolateHandle);
            timers.clear();
            contextHandle.Reset();
            limits.reset();
        }
        isolateHandle->Dispose();
    }

    HandMadeIsolate(const HandMadeIsolate&) = delete;
    HandMadeIsolate& operator=(const HandMadeIsolate&) = delete;

    v8::Isolate* isolate() const { return isolateHandle; }
    v8::Local<v8::Context> context() const { return contextHandle.Get(isolateHandle); }

    // What V8Runtime::Scope is to a runtime: the host's own scope around its
    // work on the isolate.
    class Scope {
    public:
        explicit Scope(HandMadeIsolate& hand)
            : isolateScope(hand.isolate()), handleScope(hand.isolate()), contextScope(hand.context())
        {
        }

    private:
        v8::Isolate::Scope isolateScope;
        v8::HandleScope handleScope;
        v8::Context::Scope contextScope;
    };

    // The timers due now, each followed by the promise jobs. False when a
    // callback threw or a limit stopped the jobs. Call inside the context.
    bool runReady()
    {
        if (!raw::runPendingJobs(isolateHandle))
            return false;
        const Clock::time_point now = Clock::now();
        while (!timers.empty() && timers.begin()->first <= now) {
            v8::HandleScope scope(isolateHandle);
            auto first = timers.begin();
            v8::Local<v8::Function> callback = first->second.callback.Get(isolateHandle);
            const std::optional<Clock::duration> interval = first->second.interval;
            const std::uint32_t id = first->second.id;
            timers.erase(first);
            v8::Local<v8::Context> context = isolateHandle->GetCurrentContext();
            v8::TryCatch tryCatch(isolateHandle);
            v8::Local<v8::Object> holder = v8::Object::New(isolateHandle);
            std::vector<v8::Local<v8::Value>> none;
            if (!holder->Set(context, raw::string(isolateHandle, "callback"), callback).FromMaybe(false) ||
                !js::V8Engine::callJsFunction(holder, context, "callback", none).success)
                return false;
            if (interval)
                timers.emplace(Clock::now() + *interval,
                               Timer{id, v8::Global<v8::Function>(isolateHandle, callback), interval});
            if (!raw::runPendingJobs(isolateHandle))
                return false;
        }
        return true;
    }

private:
    struct Timer {
        std::uint32_t id = 0;
        v8::Global<v8::Function> callback;
        std::optional<Clock::duration> interval;
    };

    static void install(v8::Local<v8::Context> context,
                        v8::Local<v8::Object> target,
                        const char* name,
                        v8::FunctionCallback callback,
                        v8::Local<v8::Value> data,
                        int length)
    {
        v8::Local<v8::String> key = raw::string(context->GetIsolate(), name);
        v8::Local<v8::Function> function;
        if (!v8::Function::New(context, callback, data, length).ToLocal(&function))
            return;
        function->SetName(key);
        v8::Maybe<bool> ignored = target->Set(context, key, function);
        (void)ignored;
    }

    static HandMadeIsolate& from(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        return *static_cast<HandMadeIsolate*>(info.Data().As<v8::External>()->Value());
    }

    static void setTimeout(const v8::FunctionCallbackInfo<v8::Value>& info) { from(info).addTimer(info, false); }
    static void setInterval(const v8::FunctionCallbackInfo<v8::Value>& info) { from(info).addTimer(info, true); }

    void addTimer(const v8::FunctionCallbackInfo<v8::Value>& info, bool repeat)
    {
        if (!info[0]->IsFunction()) {
            isolateHandle->ThrowException(
                v8::Exception::TypeError(raw::string(isolateHandle, "the first argument must be a function")));
            return;
        }
        double delayMs = 0;
        if (info.Length() > 1 && !info[1]->NumberValue(isolateHandle->GetCurrentContext()).To(&delayMs))
            return;
        if (std::isnan(delayMs) || delayMs < 0)
            delayMs = 0;
        const auto delay = std::chrono::ceil<Clock::duration>(std::chrono::duration<double, std::milli>(delayMs));
        const std::uint32_t id = ++lastId;
        timers.emplace(Clock::now() + delay,
                       Timer{id,
                             v8::Global<v8::Function>(isolateHandle, info[0].As<v8::Function>()),
                             repeat ? std::optional<Clock::duration>(delay) : std::nullopt});
        info.GetReturnValue().Set(id);
    }

    // Without an index by id: a scan of the deadlines.
    static void clearTimer(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        HandMadeIsolate& self = from(info);
        double id = 0;
        if (!info[0]->NumberValue(info.GetIsolate()->GetCurrentContext()).To(&id))
            return;
        std::erase_if(self.timers, [id](const auto& entry) { return entry.second.id == id; });
    }

    static void queueMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        if (info[0]->IsFunction())
            info.GetIsolate()->EnqueueMicrotask(info[0].As<v8::Function>());
    }

    // Hands the call on to V8's own method, which the data holds.
    static void consoleMethod(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        if (!info.Data()->IsFunction())
            return;
        std::vector<v8::Local<v8::Value>> arguments;
        for (int i = 0; i < info.Length(); ++i)
            arguments.push_back(info[i]);
        v8::Local<v8::Value> result;
        if (info.Data()
                .As<v8::Function>()
                ->Call(info.GetIsolate()->GetCurrentContext(),
                       info.This(),
                       static_cast<int>(arguments.size()),
                       arguments.data())
                .ToLocal(&result))
            info.GetReturnValue().Set(result);
    }

    js::V8Limits::ArrayBufferAllocator allocator;
    v8::Isolate* isolateHandle = nullptr;
    std::optional<js::V8Limits> limits;
    v8::Global<v8::Context> contextHandle;
    std::multimap<Clock::time_point, Timer> timers;
    std::uint32_t lastId = 0;
};

std::vector<v8::Local<v8::Value>> threeArguments(v8::Isolate* isolate)
{
    return {v8::Integer::New(isolate, 1), v8::Integer::New(isolate, 2), v8::Integer::New(isolate, 3)};
}

// The number `ticks` holds: the callbacks fired so far.
std::int64_t ticksIn(v8::Local<v8::Context> context)
{
    v8::Local<v8::Value> ticks;
    if (!context->Global()->Get(context, raw::string(context->GetIsolate(), "ticks")).ToLocal(&ticks))
        return -1;
    return ticks->IntegerValue(context).FromMaybe(-1);
}

// ---- runScript ----------------------------------------------------------------

void libraryRunScript(benchmark::State& state)
{
    js::V8Runtime runtime(timersAndConsole());
    v8::Isolate* isolate = runtime.isolate();
    const js::Source source{kSmallScript, "/bench/small.js", false};
    js::V8Runtime::Scope outer(runtime);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        auto result = runtime.runScript(source);
        if (!result) {
            state.SkipWithError(result.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(*result);
    }
}

void rawRunScript(benchmark::State& state)
{
    HandMadeIsolate hand;
    v8::Isolate* isolate = hand.isolate();
    const js::Source source{kSmallScript, "/bench/small.js", false};
    HandMadeIsolate::Scope outer(hand);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Isolate::Scope isolateScope(isolate);
        v8::Context::Scope contextScope(hand.context());
        auto result = js::V8Engine::runJavaScriptSource(isolate, source);
        if (!result || !raw::runPendingJobs(isolate)) {
            state.SkipWithError("the script failed");
            break;
        }
        benchmark::DoNotOptimize(*result);
    }
}

// ---- A timer callback -------------------------------------------------------------

void libraryTimer(benchmark::State& state)
{
    js::V8Runtime runtime(timersAndConsole());
    v8::Isolate* isolate = runtime.isolate();
    js::V8Runtime::Scope outer(runtime);
    if (!runtime.runScript(js::Source{std::string(kSetupScript) + "setTimeout(tick, 0);", "/bench/setup.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        if (!runtime.runReady()) {
            state.SkipWithError("a timer callback failed");
            break;
        }
    }
    if (ticksIn(runtime.context()) < static_cast<std::int64_t>(state.iterations()))
        state.SkipWithError("a turn fired no timer");
}

void rawTimer(benchmark::State& state)
{
    HandMadeIsolate hand;
    v8::Isolate* isolate = hand.isolate();
    HandMadeIsolate::Scope outer(hand);
    if (!js::V8Engine::runJavaScriptSource(
            isolate, js::Source{std::string(kSetupScript) + "setTimeout(tick, 0);", "/bench/setup.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Isolate::Scope isolateScope(isolate);
        v8::Context::Scope contextScope(hand.context());
        if (!hand.runReady()) {
            state.SkipWithError("a timer callback failed");
            break;
        }
    }
    if (ticksIn(hand.context()) < static_cast<std::int64_t>(state.iterations()))
        state.SkipWithError("a turn fired no timer");
}

// ---- A call by path ------------------------------------------------------------------

void libraryCall(benchmark::State& state)
{
    js::V8Runtime runtime(timersAndConsole());
    v8::Isolate* isolate = runtime.isolate();
    js::V8Runtime::Scope outer(runtime);
    if (!runtime.runScript(js::Source{kSetupScript, "/bench/setup.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    const std::vector<v8::Local<v8::Value>> arguments = threeArguments(isolate);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        auto result = runtime.call("app.lib.f3", arguments);
        if (!result) {
            state.SkipWithError(result.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(*result);
    }
}

void rawCall(benchmark::State& state)
{
    HandMadeIsolate hand;
    v8::Isolate* isolate = hand.isolate();
    HandMadeIsolate::Scope outer(hand);
    if (!js::V8Engine::runJavaScriptSource(isolate, js::Source{kSetupScript, "/bench/setup.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    std::vector<v8::Local<v8::Value>> arguments = threeArguments(isolate);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Isolate::Scope isolateScope(isolate);
        v8::Local<v8::Context> context = hand.context();
        v8::Context::Scope contextScope(context);
        auto result = js::V8Engine::callJsFunctionGetError(context->Global(), context, "app.lib.f3", arguments);
        if (!result || !result->success || !raw::runPendingJobs(isolate)) {
            state.SkipWithError("the call failed");
            break;
        }
        benchmark::DoNotOptimize(result->value);
    }
}

// ---- Making and destroying --------------------------------------------------------------

void libraryLifetime(benchmark::State& state)
{
    const js::V8Runtime::Settings settings = timersAndConsole();
    for (auto _ : state) {
        js::V8Runtime runtime(settings);
        benchmark::DoNotOptimize(runtime.isolate());
    }
}

void rawLifetime(benchmark::State& state)
{
    for (auto _ : state) {
        HandMadeIsolate hand;
        benchmark::DoNotOptimize(hand.isolate());
    }
}

const bool registered = [] {
    registerPair("V8Runtime::runScript/small script", libraryRunScript, rawRunScript);
    registerPair("V8Runtime::runReady/setTimeout(f, 0) callback", libraryTimer, rawTimer);
    registerPair("V8Runtime::call/3 parts, 3 arguments", libraryCall, rawCall);
    registerPair("V8Runtime made and destroyed/timers and console", libraryLifetime, rawLifetime);
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

// The cost of V8Limits on the fast paths: the same library call with limits
// set on the isolate (OPERATION/library) and without (OPERATION/raw).

#include "BenchIsolate.h"
#include "Pairs.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Limits.h>

#include <chrono>
#include <optional>
#include <vector>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

// Limits no benchmark reaches, set for the length of one benchmark.
void limitIf(bool limited, std::optional<js::V8Limits>& limits)
{
    if (limited)
        limits.emplace(BenchIsolate::current().isolate(),
                       js::V8Engine::get().getPlatform(),
                       js::V8Limits::Settings{std::size_t{1} << 30, std::chrono::milliseconds(1000)});
}

void call(benchmark::State& state, bool limited)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> global = context->Global();
    std::vector<v8::Local<v8::Value>> none;
    std::optional<js::V8Limits> limits;
    limitIf(limited, limits);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        js::V8FuncResult result = js::V8Engine::callJsFunction(global, context, "f0", none);
        if (!result.success) {
            state.SkipWithError("the call failed");
            break;
        }
        benchmark::DoNotOptimize(result.value);
    }
}

void run(benchmark::State& state, bool limited)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    const js::Source source{"var answer = 6; answer * 7", "/bench/small.js", false};
    std::optional<js::V8Limits> limits;
    limitIf(limited, limits);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        auto result = js::V8Engine::runJavaScriptSource(isolate, source);
        if (!result) {
            state.SkipWithError(result.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(*result);
    }
}

const bool registered = [] {
    registerPair("limits set: callJsFunction/1 part, 0 arguments",
                 [](benchmark::State& state) { call(state, true); },
                 [](benchmark::State& state) { call(state, false); });
    registerPair("limits set: runJavaScriptSource/small script",
                 [](benchmark::State& state) { run(state, true); },
                 [](benchmark::State& state) { run(state, false); });
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

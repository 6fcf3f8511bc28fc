// The binding layer against the same work written by hand with V8's
// templates:
// - expose: a JavaScript loop calling a host function of (double, double)
//   -> double, against a FunctionTemplate callback that checks the argument
//   count and types and converts; the same with V8's fast calls, against a
//   hand-made v8::CFunction; and a 1 KB string in and out, against the same
//   callback with String::WriteUtf8 into an std::string and NewFromUtf8 back;
// - callAs<double> with two numbers, against the numbers made by hand and the
//   call by path that V8Runtime::call stands on (V8Engine's call under the
//   limits, then the promise jobs), the result checked and read by hand;
// - a host object's method call and property read in a JavaScript loop,
//   against an instance of a hand-made FunctionTemplate with an internal
//   field, its method on the prototype with a v8::Signature (V8 checks the
//   receiver) and its property an accessor of each instance, as the
//   library's are; and, for reference, the same read of a plain object.
// Every half makes a runtime of its own before it measures and runs the same
// loop script in it, warmed up until TurboFan has compiled the loop. An
// iteration is one call of a loop of `calls` host calls, from C++ through
// v8::Function::Call in both halves alike; the report divides by the
// `calls` counter to give the time per host call.

#include "Pairs.h"
#include "RawSteps.h"

#include <qor/javascript/HostClass.h>
#include <qor/javascript/HostFunctions.h>
#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Runtime.h>

#include <v8-exception.h>
#include <v8-fast-api-calls.h>
#include <v8-function.h>
#include <v8-initialization.h>
#include <v8-template.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

constexpr int kNumberCalls = 10000;
constexpr int kStringCalls = 1000;
constexpr int kObjectCalls = 10000;
// Loop calls before the measured ones: enough for TurboFan to compile the
// loop function itself, not only its loop on stack replacement.
constexpr int kWarmUpRounds = 30;

// Run by every half; each installs its own `host.add`, `host.echo` or
// `host.counter` first.
constexpr const char* kLoops = R"js(
var text = 'x'.repeat(1024);
function callAdd(n) { let s = 0; for (let i = 0; i < n; i++) s = host.add(s, 1); return s; }
function callEcho(n) { let s = text; for (let i = 0; i < n; i++) s = host.echo(s); return s.length; }
function callMethod(n) { const c = host.counter; let s = 0; for (let i = 0; i < n; i++) s = c.add(1); return s; }
function readProperty(n) { const c = host.counter; let s = 0; for (let i = 0; i < n; i++) s += c.value; return s; }
)js";

// ---- What both halves share -----------------------------------------------------

// The object a host object stands for.
struct Counter {
    double total = 0;
    double add(double amount) { return total += amount; }
    double value() const { return total; }
};

bool runLoops(js::V8Runtime& runtime)
{
    return runtime.runScript(js::Source{kLoops, "/bench/binding-loops.js", false}).has_value();
}

// Sets `value` at host.NAME, making `host` when it is missing.
bool putOnHost(js::V8Runtime& runtime, const char* name, v8::Local<v8::Value> value)
{
    v8::Isolate* isolate = runtime.isolate();
    v8::Local<v8::Context> context = runtime.context();
    v8::Local<v8::Object> global = context->Global();
    v8::Local<v8::Value> host;
    if (!global->Get(context, raw::string(isolate, "host")).ToLocal(&host))
        return false;
    if (!host->IsObject()) {
        host = v8::Object::New(isolate);
        if (!global->Set(context, raw::string(isolate, "host"), host).FromMaybe(false))
            return false;
    }
    return host.As<v8::Object>()->Set(context, raw::string(isolate, name), value).FromMaybe(false);
}

// One call of `loop` with `calls`: its result, or none when it threw or
// returned no number.
std::optional<double> callLoop(v8::Isolate* isolate, v8::Local<v8::Context> context, v8::Local<v8::Function> loop, int calls)
{
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Value> argument = v8::Integer::New(isolate, calls);
    v8::Local<v8::Value> result;
    if (!loop->Call(context, v8::Undefined(isolate), 1, &argument).ToLocal(&result) || !result->IsNumber())
        return std::nullopt;
    return result.As<v8::Number>()->Value();
}

// Measures the loop function `name`, `calls` host calls per iteration, in a
// runtime whose host functions or objects are in place. `expected`, when
// set, is what each call of the loop must return.
void measureLoop(benchmark::State& state,
                 js::V8Runtime& runtime,
                 const char* name,
                 int calls,
                 std::optional<double> expected)
{
    v8::Isolate* isolate = runtime.isolate();
    v8::Local<v8::Context> context = runtime.context();
    v8::Local<v8::Function> loop;
    if (!raw::function(context, context->Global(), name).ToLocal(&loop)) {
        state.SkipWithError("the loop function is missing");
        return;
    }
    for (int round = 0; round < kWarmUpRounds; ++round) {
        v8::HandleScope scope(isolate);
        const std::optional<double> result = callLoop(isolate, context, loop, calls);
        if (!result || (expected && *result != *expected)) {
            state.SkipWithError("the loop failed while warming up");
            return;
        }
    }
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        const std::optional<double> result = callLoop(isolate, context, loop, calls);
        if (!result || (expected && *result != *expected)) {
            state.SkipWithError("the loop failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * calls);
    state.counters["calls"] = calls;
}

void throwTypeError(v8::Isolate* isolate, const char* text)
{
    isolate->ThrowException(v8::Exception::TypeError(raw::string(isolate, text)));
}

v8::Local<v8::Function> functionOf(v8::Local<v8::Context> context,
                                   v8::FunctionCallback callback,
                                   int length,
                                   const v8::CFunction* fast = nullptr)
{
    v8::Isolate* isolate = context->GetIsolate();
    return v8::FunctionTemplate::New(isolate, callback, v8::Local<v8::Value>(), v8::Local<v8::Signature>(), length,
                                     v8::ConstructorBehavior::kThrow, v8::SideEffectType::kHasSideEffect, fast)
        ->GetFunction(context)
        .ToLocalChecked();
}

// ---- (double, double) -> double ---------------------------------------------------------

void rawAddCallback(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    if (info.Length() != 2) {
        throwTypeError(isolate, "host.add: expected 2 arguments");
        return;
    }
    if (!info[0]->IsNumber() || !info[1]->IsNumber()) {
        throwTypeError(isolate, "host.add: expected a number");
        return;
    }
    info.GetReturnValue().Set(info[0].As<v8::Number>()->Value() + info[1].As<v8::Number>()->Value());
}

void rawAdd(benchmark::State& state)
{
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!putOnHost(runtime, "add", functionOf(runtime.context(), rawAddCallback, 2)) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callAdd", kNumberCalls, double(kNumberCalls));
}

// The fast half's callback, which V8 calls where the fast function is not
// taken (before TurboFan, or with arguments the fast function cannot take);
// it counts those calls, so that a run without fast calls shows.
std::int64_t rawSlowAdds = 0;

void rawAddCountedCallback(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    ++rawSlowAdds;
    rawAddCallback(info);
}

double rawFastAdd(v8::Local<v8::Object> /*receiver*/, double a, double b)
{
    return a + b;
}

void rawAddFast(benchmark::State& state)
{
    static const v8::CFunction fast = v8::CFunction::Make(rawFastAdd);
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!putOnHost(runtime, "add", functionOf(runtime.context(), rawAddCountedCallback, 2, &fast)) ||
        !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    rawSlowAdds = 0;
    measureLoop(state, runtime, "callAdd", kNumberCalls, double(kNumberCalls));
    const double calls = double(kWarmUpRounds + state.iterations()) * kNumberCalls;
    state.counters["slow share"] = double(rawSlowAdds) / calls;
    if (double(rawSlowAdds) > calls / 2)
        state.SkipWithError("V8 took the fast function for fewer than half of the calls");
}

// ---- A 1 KB string in and out -------------------------------------------------------------

std::string rawEcho(std::string text)
{
    return text;
}

void rawEchoCallback(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    if (info.Length() != 1) {
        throwTypeError(isolate, "host.echo: expected 1 argument");
        return;
    }
    if (!info[0]->IsString()) {
        throwTypeError(isolate, "host.echo: expected a string");
        return;
    }
    v8::Local<v8::String> argument = info[0].As<v8::String>();
    std::string bytes(static_cast<std::size_t>(argument->Utf8Length(isolate)), '\0');
    argument->WriteUtf8(isolate, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        v8::String::REPLACE_INVALID_UTF8 | v8::String::NO_NULL_TERMINATION);
    const std::string result = rawEcho(std::move(bytes));
    v8::Local<v8::String> value;
    if (!v8::String::NewFromUtf8(isolate, result.data(), v8::NewStringType::kNormal, static_cast<int>(result.size()))
             .ToLocal(&value))
        return;
    info.GetReturnValue().Set(value);
}

void rawEchoString(benchmark::State& state)
{
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!putOnHost(runtime, "echo", functionOf(runtime.context(), rawEchoCallback, 1)) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callEcho", kStringCalls, 1024.0);
}

// ---- callAs -------------------------------------------------------------------------------

constexpr const char* kSum = "function sum(a, b) { return a + b; }";

void rawCallAs(benchmark::State& state)
{
    js::V8Runtime runtime;
    v8::Isolate* isolate = runtime.isolate();
    js::V8Runtime::Scope outer(runtime);
    if (!runtime.runScript(js::Source{kSum, "/bench/sum.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Isolate::Scope isolateScope(isolate);
        v8::Local<v8::Context> context = runtime.context();
        v8::Context::Scope contextScope(context);
        std::vector<v8::Local<v8::Value>> arguments{v8::Number::New(isolate, 1.0), v8::Number::New(isolate, 2.0)};
        auto result = js::V8Engine::callJsFunctionGetError(context->Global(), context, "sum", arguments);
        if (!result || !result->success || !raw::runPendingJobs(isolate) || !result->value->IsNumber()) {
            state.SkipWithError("the call failed");
            break;
        }
        const double sum = result->value.As<v8::Number>()->Value();
        if (sum != 3.0) {
            state.SkipWithError("a wrong sum");
            break;
        }
        benchmark::DoNotOptimize(sum);
    }
}

// ---- A host object ------------------------------------------------------------------------

// The counter behind an instance: its internal field 0; null, with an Error
// thrown, once the host has let go of it.
Counter* counterOf(v8::Isolate* isolate, v8::Local<v8::Object> instance)
{
    auto* counter = static_cast<Counter*>(instance->GetAlignedPointerFromInternalField(0));
    if (counter == nullptr)
        isolate->ThrowException(v8::Exception::Error(raw::string(isolate, "this Counter is gone")));
    return counter;
}

void rawCounterAdd(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    Counter* counter = counterOf(isolate, info.This());
    if (counter == nullptr)
        return;
    if (info.Length() != 1) {
        throwTypeError(isolate, "Counter.add: expected 1 argument");
        return;
    }
    if (!info[0]->IsNumber()) {
        throwTypeError(isolate, "Counter.add: expected a number");
        return;
    }
    info.GetReturnValue().Set(counter->add(info[0].As<v8::Number>()->Value()));
}

void rawCounterValue(v8::Local<v8::Name>, const v8::PropertyCallbackInfo<v8::Value>& info)
{
    if (Counter* counter = counterOf(info.GetIsolate(), info.Holder()))
        info.GetReturnValue().Set(counter->value());
}

void rawCounterReadOnly(v8::Local<v8::Name>, v8::Local<v8::Value>, const v8::PropertyCallbackInfo<void>& info)
{
    throwTypeError(info.GetIsolate(), "Counter.value is read-only");
}

// A class Counter made by hand: instances with one internal field, `add` on
// the prototype with a signature, so that V8 refuses it any other receiver,
// and `value` an accessor of each instance.
v8::Local<v8::Object> rawCounterObject(js::V8Runtime& runtime, Counter& counter)
{
    v8::Isolate* isolate = runtime.isolate();
    v8::Local<v8::Context> context = runtime.context();
    v8::Local<v8::FunctionTemplate> type = v8::FunctionTemplate::New(isolate);
    type->SetClassName(raw::string(isolate, "Counter"));
    type->InstanceTemplate()->SetInternalFieldCount(1);
    type->PrototypeTemplate()->Set(
        raw::string(isolate, "add"),
        v8::FunctionTemplate::New(isolate, rawCounterAdd, v8::Local<v8::Value>(), v8::Signature::New(isolate, type),
                                  1, v8::ConstructorBehavior::kThrow));
    type->InstanceTemplate()->SetAccessor(raw::string(isolate, "value"), rawCounterValue, rawCounterReadOnly,
                                          v8::Local<v8::Value>(), v8::DEFAULT, v8::DontDelete);
    v8::Local<v8::Object> instance = type->InstanceTemplate()->NewInstance(context).ToLocalChecked();
    instance->SetAlignedPointerInInternalField(0, &counter);
    return instance;
}

void rawMethod(benchmark::State& state)
{
    Counter counter;
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!putOnHost(runtime, "counter", rawCounterObject(runtime, counter)) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callMethod", kObjectCalls, std::nullopt);
    if (counter.total != double(kWarmUpRounds + state.iterations()) * kObjectCalls)
        state.SkipWithError("a call of add was lost");
}

void rawProperty(benchmark::State& state)
{
    Counter counter{1};
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!putOnHost(runtime, "counter", rawCounterObject(runtime, counter)) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "readProperty", kObjectCalls, double(kObjectCalls));
}

// For reference: the same loop reading a plain object's data property.
void plainProperty(benchmark::State& state)
{
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!runtime.runScript(js::Source{"var host = { counter: { value: 1 } };", "/bench/plain.js", false}) ||
        !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "readProperty", kObjectCalls, double(kObjectCalls));
}

// ---- The library's halves -------------------------------------------------------------------

void libraryAdd(benchmark::State& state)
{
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!js::expose(runtime, "host.add", [](double a, double b) { return a + b; }) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callAdd", kNumberCalls, double(kNumberCalls));
}

void libraryAddFast(benchmark::State& state)
{
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!js::expose(runtime, "host.add", [](double a, double b) noexcept { return a + b; }) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callAdd", kNumberCalls, double(kNumberCalls));
}

void libraryEchoString(benchmark::State& state)
{
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    if (!js::expose(runtime, "host.echo", [](std::string text) { return text; }) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callEcho", kStringCalls, 1024.0);
}

void libraryCallAs(benchmark::State& state)
{
    js::V8Runtime runtime;
    // Held as the raw half holds it: a host that calls in a loop enters the
    // isolate once. Without it each callAs enters the isolate afresh, which
    // costs V8 some 100 ns.
    js::V8Runtime::Scope outer(runtime);
    if (!runtime.runScript(js::Source{kSum, "/bench/sum.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    for (auto _ : state) {
        auto sum = js::callAs<double>(runtime, "sum", 1.0, 2.0);
        if (!sum || *sum != 3.0) {
            state.SkipWithError(sum ? "a wrong sum" : sum.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(*sum);
    }
}

// V8Runtime::call with the numbers made and read by hand: the same limits
// and turn of promise jobs as callAs, so that callAs's own conversions
// stand apart from what any call through the runtime costs.
void runtimeCallByHand(benchmark::State& state)
{
    js::V8Runtime runtime;
    v8::Isolate* isolate = runtime.isolate();
    js::V8Runtime::Scope outer(runtime);
    if (!runtime.runScript(js::Source{kSum, "/bench/sum.js", false})) {
        state.SkipWithError("the setup script failed");
        return;
    }
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        auto result = runtime.call("sum", {v8::Number::New(isolate, 1.0), v8::Number::New(isolate, 2.0)});
        if (!result || !(*result)->IsNumber() || result->As<v8::Number>()->Value() != 3.0) {
            state.SkipWithError("the call failed");
            break;
        }
        benchmark::DoNotOptimize(result->As<v8::Number>()->Value());
    }
}

// The class described as a host describes it: `add` a method, `value` a
// property with a getter only.
js::HostObject<Counter> libraryCounterObject(js::V8Runtime& runtime, Counter& counter)
{
    js::HostClass<Counter> counters(runtime, "Counter");
    counters.method("add", &Counter::add).property("value", &Counter::value);
    return counters.wrap(counter);
}

void libraryMethod(benchmark::State& state)
{
    Counter counter;
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    js::HostObject<Counter> shown = libraryCounterObject(runtime, counter);
    if (!js::expose(runtime, "host.counter", shown) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "callMethod", kObjectCalls, std::nullopt);
    if (counter.total != double(kWarmUpRounds + state.iterations()) * kObjectCalls)
        state.SkipWithError("a call of add was lost");
}

void libraryProperty(benchmark::State& state)
{
    Counter counter{1};
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    js::HostObject<Counter> shown = libraryCounterObject(runtime, counter);
    if (!js::expose(runtime, "host.counter", shown) || !runLoops(runtime)) {
        state.SkipWithError("the setup failed");
        return;
    }
    measureLoop(state, runtime, "readProperty", kObjectCalls, double(kObjectCalls));
}

const bool registered = [] {
    registerPair("expose/JS loop calling (double, double) -> double", libraryAdd, rawAdd);
    registerPair("expose/JS loop calling (double, double) -> double, fast API", libraryAddFast, rawAddFast);
    registerPair("expose/1 KB string in and out", libraryEchoString, rawEchoString);
    registerPair("callAs/two numbers, numeric result", libraryCallAs, rawCallAs);
    registerPair("host object/method call", libraryMethod, rawMethod);
    registerPair("host object/property read", libraryProperty, rawProperty);
    benchmark::RegisterBenchmark("host object/property read/plain JavaScript object", plainProperty);
    benchmark::RegisterBenchmark("callAs/two numbers, numeric result/V8Runtime::call by hand", runtimeCallByHand);
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

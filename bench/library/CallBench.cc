// callJsFunction, callJsFunctionGetError and getPropertyNames against the
// same property reads, calls and conversions written by hand.

#include "BenchIsolate.h"
#include "Pairs.h"
#include "RawSteps.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include <v8-container.h>

#include <vector>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

std::vector<v8::Local<v8::Value>> argumentsOf(v8::Isolate* isolate, int count)
{
    std::vector<v8::Local<v8::Value>> arguments;
    for (int i = 1; i <= count; ++i)
        arguments.push_back(v8::Integer::New(isolate, i));
    return arguments;
}

void libraryCall(benchmark::State& state, std::string_view path, int argumentCount)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> global = context->Global();
    std::vector<v8::Local<v8::Value>> arguments = argumentsOf(isolate, argumentCount);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        js::V8FuncResult result = js::V8Engine::callJsFunction(global, context, path, arguments);
        if (!result.success) {
            state.SkipWithError("the call failed");
            break;
        }
        benchmark::DoNotOptimize(result.value);
    }
}

void rawCall(benchmark::State& state, std::string_view path, int argumentCount)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> global = context->Global();
    std::vector<v8::Local<v8::Value>> arguments = argumentsOf(isolate, argumentCount);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Function> function;
        v8::Local<v8::Value> result;
        if (!raw::function(context, global, path).ToLocal(&function) ||
            !function->Call(context, v8::Undefined(isolate), argumentCount, arguments.data()).ToLocal(&result)) {
            state.SkipWithError("the call failed");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}

// Success: the record; a throw: the Error built from the caught exception.
void libraryCallGetError(benchmark::State& state, std::string_view path, int argumentCount, bool throws)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> global = context->Global();
    std::vector<v8::Local<v8::Value>> arguments = argumentsOf(isolate, argumentCount);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        auto result = js::V8Engine::callJsFunctionGetError(global, context, path, arguments);
        if (result.has_value() == throws) {
            state.SkipWithError("unexpected outcome");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}

void rawCallGetError(benchmark::State& state, std::string_view path, int argumentCount, bool throws)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> global = context->Global();
    std::vector<v8::Local<v8::Value>> arguments = argumentsOf(isolate, argumentCount);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::Function> function;
        v8::Local<v8::Value> result;
        if (raw::function(context, global, path).ToLocal(&function))
            result = function->Call(context, v8::Undefined(isolate), argumentCount, arguments.data())
                         .FromMaybe(v8::Local<v8::Value>());
        if (tryCatch.HasCaught() != throws) {
            state.SkipWithError("unexpected outcome");
            break;
        }
        if (throws) {
            js::Error error = raw::caught(js::Error::Type::Runtime, isolate, tryCatch);
            benchmark::DoNotOptimize(error);
        } else {
            benchmark::DoNotOptimize(result);
        }
    }
}

void libraryPropertyNames(benchmark::State& state)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> object =
        context->Global()->Get(context, raw::string(isolate, "hundred")).ToLocalChecked().As<v8::Object>();
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        std::vector<std::string> names = js::V8Engine::getPropertyNames(object, isolate);
        benchmark::DoNotOptimize(names);
    }
}

void rawPropertyNames(benchmark::State& state)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::Local<v8::Object> object =
        context->Global()->Get(context, raw::string(isolate, "hundred")).ToLocalChecked().As<v8::Object>();
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        std::vector<std::string> names;
        v8::Local<v8::Array> array;
        if (object->GetPropertyNames(context).ToLocal(&array)) {
            for (std::uint32_t i = 0; i < array->Length(); ++i) {
                v8::Local<v8::Value> element;
                v8::Local<v8::String> name;
                if (array->Get(context, i).ToLocal(&element) && element->ToString(context).ToLocal(&name))
                    names.push_back(raw::text(isolate, name));
            }
        }
        benchmark::DoNotOptimize(names);
    }
}

const bool registered = [] {
    const auto callPair = [](const std::string& name, std::string_view path, int count) {
        registerPair("callJsFunction/" + name,
                     [=](benchmark::State& state) { libraryCall(state, path, count); },
                     [=](benchmark::State& state) { rawCall(state, path, count); });
    };
    callPair("1 part, 0 arguments", "f0", 0);
    callPair("1 part, 3 arguments", "f3", 3);
    callPair("3 parts, 0 arguments", "app.lib.f0", 0);
    callPair("3 parts, 3 arguments", "app.lib.f3", 3);

    const auto getErrorPair = [](const std::string& name, std::string_view path, int count, bool throws) {
        registerPair("callJsFunctionGetError/" + name,
                     [=](benchmark::State& state) { libraryCallGetError(state, path, count, throws); },
                     [=](benchmark::State& state) { rawCallGetError(state, path, count, throws); });
    };
    getErrorPair("success", "app.lib.f3", 3, false);
    getErrorPair("throw", "thrower", 0, true);

    registerPair("getPropertyNames/100 properties", libraryPropertyNames, rawPropertyNames);
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

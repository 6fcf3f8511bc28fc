// qor_string and v8_string against V8's own conversions, on 16 bytes and on
// 1 MB of ASCII text.

#include "BenchIsolate.h"
#include "Pairs.h"
#include "RawSteps.h"

#include <qor/javascript/V8Helper.h>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

std::string textOfSize(std::size_t bytes)
{
    std::string text;
    const std::string_view pattern = "The quick brown fox jumps over the lazy dog. ";
    while (text.size() < bytes)
        text += pattern.substr(0, std::min(pattern.size(), bytes - text.size()));
    return text;
}

void libraryToHost(benchmark::State& state, const std::string& text)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Value> value = raw::string(isolate, text);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        std::string host = js::V8Helper::qor_string(value, isolate);
        benchmark::DoNotOptimize(host);
    }
}

void rawToHost(benchmark::State& state, const std::string& text)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Value> value = raw::string(isolate, text);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::String> string;
        std::string host;
        if (value->ToString(isolate->GetCurrentContext()).ToLocal(&string))
            host = raw::text(isolate, string);
        benchmark::DoNotOptimize(host);
    }
}

void libraryToV8(benchmark::State& state, const std::string& text)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::String> string = js::V8Helper::v8_string(text, isolate);
        benchmark::DoNotOptimize(string);
    }
}

void rawToV8(benchmark::State& state, const std::string& text)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::String> string = raw::string(isolate, text);
        benchmark::DoNotOptimize(string);
    }
}

const bool registered = [] {
    static const std::string small = textOfSize(16);
    static const std::string megabyte = textOfSize(1u << 20);
    for (const auto& [name, text] : {std::pair{"16 B", &small}, std::pair{"1 MB", &megabyte}}) {
        const std::string& content = *text;
        registerPair(std::string("qor_string/") + name,
                     [&content](benchmark::State& state) { libraryToHost(state, content); },
                     [&content](benchmark::State& state) { rawToHost(state, content); });
        registerPair(std::string("v8_string/") + name,
                     [&content](benchmark::State& state) { libraryToV8(state, content); },
                     [&content](benchmark::State& state) { rawToV8(state, content); });
    }
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

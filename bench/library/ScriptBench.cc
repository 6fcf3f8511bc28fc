// runJavaScriptSource against compiling and running the same text by hand,
// with the same file: URL origin and a v8::TryCatch. V8 caches the compiled
// script for a text and origin it has seen, in both halves alike, as it does
// for a host that runs the same script again.

#include "BenchIsolate.h"
#include "Pairs.h"
#include "RawSteps.h"

#include <qor/javascript/V8Engine.h>

#include <v8-script.h>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

const std::string kSmallScript = "var answer = 6; answer * 7";

// About 1 MB of statements that run: 65,536 lines of 16 bytes.
std::string megabyteScript()
{
    std::string text = "var count = 0;\n";
    while (text.size() + 16 <= (1u << 20))
        text += "count = count+1;";
    return text;
}

void libraryRun(benchmark::State& state, const js::Source& source)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
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

void rawRun(benchmark::State& state, std::string_view code, const std::string& resourceName)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Context> context = isolate->GetCurrentContext();
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::String> text = raw::string(isolate, code);
        v8::ScriptOrigin origin(isolate, raw::string(isolate, resourceName));
        v8::Local<v8::Script> script;
        v8::Local<v8::Value> result;
        if (!v8::Script::Compile(context, text, &origin).ToLocal(&script) || !script->Run(context).ToLocal(&result)) {
            state.SkipWithError("the script failed");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}

void registerScript(const std::string& name, const std::string& code, const std::string& path)
{
    const js::Source source{code, path, false};
    registerPair("runJavaScriptSource/" + name,
                 [source](benchmark::State& state) { libraryRun(state, source); },
                 [&code, path](benchmark::State& state) { rawRun(state, code, "file://" + path); });
}

const bool registered = [] {
    static const std::string megabyte = megabyteScript();
    registerScript("small script", kSmallScript, "/bench/small.js");
    registerScript("1 MB script", megabyte, "/bench/megabyte.js");
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

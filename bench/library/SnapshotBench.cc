// A new context that starts with a library's state: restored from a startup
// snapshot that holds it (the library half), against a new context in which
// the same library is compiled and run (the floor a host without snapshots
// has). The library is about 1 MB of JavaScript: functions, classes and
// tables, as a bundled dependency has them. Each iteration makes one context
// in a runtime that lives for the whole measurement, and reads one of the
// library's globals in it, so that neither half can skip the work. The goal
// is the other way round from the other pairs: the snapshot's half at most
// 0.10× of the floor.

#include "Pairs.h"

#include <qor/javascript/StartupSnapshot.h>
#include <qor/javascript/V8Runtime.h>

#include <v8-context.h>
#include <v8-script.h>

#include <optional>
#include <string>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

// About 1 MB: 2,000 modules of a bundle, each a function, a class and a table.
const std::string& libraryText()
{
    static const std::string text = [] {
        std::string made = "var bundle = {};\n";
        for (int i = 0; i < 2000; ++i) {
            const std::string n = std::to_string(i);
            made += "bundle.m" + n + " = (function () {\n"
                    "  const table = { name: 'module " + n + "', weights: [" + n + ", 1, 2, 3, 5, 8, 13], "
                    "flags: { enabled: true, level: " + n + " % 7 } };\n"
                    "  class Item" + n + " { constructor(v) { this.v = v; } scaled(k) { return this.v * k + table.weights[k % 7]; } }\n"
                    "  function make(v) { return new Item" + n + "(v); }\n"
                    "  function sum(list) { let s = 0; for (const x of list) s += x.scaled(2); return s; }\n"
                    "  const cache = new Map([['first', make(1)], ['second', make(2)]]);\n"
                    "  return { table, make, sum, cache, describe: () => `${table.name}: ${cache.size} items` };\n"
                    "})();\n";
        }
        return made;
    }();
    return text;
}

bool readsLibrary(v8::Local<v8::Context> context)
{
    v8::Local<v8::Value> bundle;
    return context->Global()
               ->Get(context, v8::String::NewFromUtf8Literal(context->GetIsolate(), "bundle"))
               .ToLocal(&bundle) &&
           bundle->IsObject();
}

void restoredContext(benchmark::State& state)
{
    std::optional<js::StartupSnapshot> snapshot;
    {
        js::SnapshotBuilder builder;
        {
            js::V8Runtime::Scope scope(builder.runtime());
            if (!builder.runtime().runScript({libraryText(), "library.js"})) {
                state.SkipWithError("the library did not run");
                return;
            }
        }
        auto built = builder.build();
        if (!built) {
            state.SkipWithError(built.error().message.c_str());
            return;
        }
        snapshot = std::move(*built);
    }
    auto runtime = js::restoreRuntime(*snapshot);
    if (!runtime) {
        state.SkipWithError(runtime.error().message.c_str());
        return;
    }
    v8::Isolate* isolate = (*runtime)->isolate();
    v8::Isolate::Scope isolateScope(isolate);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Context> context = v8::Context::New(isolate);
        if (!readsLibrary(context)) {
            state.SkipWithError("the restored context has no library");
            break;
        }
    }
    state.counters["snapshot MB"] = static_cast<double>(snapshot->bytes().size()) / (1 << 20);
}

void evaluatedContext(benchmark::State& state)
{
    js::V8Runtime runtime;
    v8::Isolate* isolate = runtime.isolate();
    v8::Isolate::Scope isolateScope(isolate);
    const std::string& text = libraryText();
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Context> context = v8::Context::New(isolate);
        v8::Context::Scope contextScope(context);
        v8::Local<v8::String> code =
            v8::String::NewFromUtf8(isolate, text.data(), v8::NewStringType::kNormal, static_cast<int>(text.size()))
                .ToLocalChecked();
        v8::Local<v8::Script> script;
        if (!v8::Script::Compile(context, code).ToLocal(&script) || script->Run(context).IsEmpty() ||
            !readsLibrary(context)) {
            state.SkipWithError("the library did not run");
            break;
        }
    }
}

const bool registered = [] {
    registerPair("new context with a 1 MB library/restored vs evaluated", restoredContext, evaluatedContext);
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

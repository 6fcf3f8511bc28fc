#include "script/ClassicScript.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include "cache/Compiling.h"
#include "engine/Limits.h"

#include <v8-exception.h>
#include <v8-script.h>

namespace qor::format::engine::javascript {

std::expected<v8::Local<v8::Value>, Error> V8Engine::runJavaScriptSource(v8::Isolate* isolate,
                                                                         const Source& source)
{
    return runClassicScript(isolate, source, [](Error::Type type, v8::Isolate* on, const v8::TryCatch& caught) {
        return V8Error::get(type, on, caught);
    });
}

std::expected<v8::Local<v8::Value>, Error> runClassicScript(v8::Isolate* isolate,
                                                            const Source& source,
                                                            RecordBuilder record,
                                                            CompileCache* cache,
                                                            bool eager)
{
    // V8 ends the process when a module origin reaches Script::Compile.
    if (source.isModule)
        return std::unexpected(V8Error::get(Error::Type::Compile,
                                            nullptr,
                                            "A module cannot run as a classic script: compile it with loadModule"));

    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    LimitedRun run(isolate);
    v8::TryCatch tryCatch(isolate);

    v8::Local<v8::String> code = V8Helper::v8_string(source.code, isolate);
    if (code.IsEmpty())
        return std::unexpected(V8Error::get(Error::Type::Compile,
                                            nullptr,
                                            "The script text is longer than V8's maximum string length"));

    v8::ScriptOrigin origin = source.getV8Origin(isolate);
    const bool cached = cache != nullptr && !source.fileName.empty() && !eager;
    ScriptCompiling compiling =
        compileScriptWith(context, code, origin, source.code,
                          cached ? cache->read(source.fileName, source.code) : CodeCache(), eager);
    v8::Local<v8::Script> script;
    v8::Local<v8::Value> result;
    const bool compiled = compiling.script.ToLocal(&script);
    const bool ran = compiled && script->Run(context).ToLocal(&result);
    if (cached) {
        cache->count(compiling.cache);
        if (compiled && compiling.cache != CacheUse::Accepted && !tryCatch.HasTerminated())
            cache->write(source.fileName, source.code, CodeCache::of(script->GetUnboundScript(), source.code));
    }
    // A stop is reported even when V8 finished before it took effect.
    if (auto stopped = run.end(tryCatch.HasTerminated()))
        return std::unexpected(V8Error::get(Error::Type::Runtime, nullptr, *stopped));
    if (!compiled)
        return std::unexpected(record(Error::Type::Compile, isolate, tryCatch));
    if (!ran)
        return std::unexpected(record(Error::Type::Runtime, isolate, tryCatch));
    return result;
}

}  // namespace qor::format::engine::javascript

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include "engine/Limits.h"

#include <v8-data.h>
#include <v8-exception.h>
#include <v8-script.h>

namespace qor::format::engine::javascript {

namespace {

// V8 ends the process (an API check) when it is asked to compile a module
// under a classic origin or to evaluate a module that is not linked, and
// crashes on a null resolver. These mistakes of the caller are refused with a
// pending exception instead, like every other failure of the module operations.
void throwError(v8::Isolate* isolate, const std::string& text)
{
    isolate->ThrowException(v8::Exception::Error(V8Helper::v8_string(text, isolate)));
}

// The host's resolver for the link in progress on this thread. V8 calls a
// resolver as a plain function, during InstantiateModule only, so the guard
// below finds it here; nested links restore the outer one.
thread_local v8::Module::ResolveModuleCallback activeResolver = nullptr;

class ResolverInUse {
public:
    explicit ResolverInUse(v8::Module::ResolveModuleCallback resolver) : previous(activeResolver)
    {
        activeResolver = resolver;
    }
    ~ResolverInUse() { activeResolver = previous; }
    ResolverInUse(const ResolverInUse&) = delete;
    ResolverInUse& operator=(const ResolverInUse&) = delete;

private:
    v8::Module::ResolveModuleCallback previous;
};

// V8 ends the process when a resolver returns no module without raising an
// exception. The host's resolver is called through this guard, which passes
// on its module or its exception and raises one of its own when the resolver
// gave neither, so that linking just fails.
v8::MaybeLocal<v8::Module> resolveGuarded(v8::Local<v8::Context> context,
                                          v8::Local<v8::String> specifier,
                                          v8::Local<v8::FixedArray> importAssertions,
                                          v8::Local<v8::Module> referrer)
{
    v8::Isolate* isolate = context->GetIsolate();
    {
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::Module> module;
        if (activeResolver(context, specifier, importAssertions, referrer).ToLocal(&module))
            return module;
        if (tryCatch.HasCaught()) {
            if (!tryCatch.HasTerminated())
                tryCatch.ReThrow();
            return {};
        }
    }
    // Raised once the v8::TryCatch is gone, which would otherwise catch it.
    throwError(isolate, "Cannot resolve module '" + V8Helper::qor_string(specifier, isolate) + "'");
    return {};
}

bool isLinked(v8::Local<v8::Module> module)
{
    const v8::Module::Status status = module->GetStatus();
    return status != v8::Module::kUninstantiated && status != v8::Module::kInstantiating;
}

}  // namespace

v8::Local<v8::Module> V8Engine::loadModule(v8::Local<v8::Context> context, const Source& source)
{
    v8::Isolate* isolate = context->GetIsolate();
    if (!source.isModule) {
        throwError(isolate, "A module needs a Source whose isModule is true");
        return {};
    }
    v8::Local<v8::String> code = V8Helper::v8_string(source.code, isolate);
    if (code.IsEmpty()) {
        throwError(isolate, "The module text is longer than V8's maximum string length");
        return {};
    }
    v8::ScriptOrigin origin = source.getV8Origin(isolate);
    v8::ScriptCompiler::Source compilerSource(code, origin);
    return v8::ScriptCompiler::CompileModule(isolate,
                                             &compilerSource,
                                             v8::ScriptCompiler::kNoCompileOptions,
                                             v8::ScriptCompiler::kNoCacheNoReason)
        .FromMaybe(v8::Local<v8::Module>());
}

bool V8Engine::instantiateModule(v8::Local<v8::Module> module,
                                 v8::Local<v8::Context> context,
                                 v8::Module::ResolveModuleCallback resolver)
{
    if (module.IsEmpty())
        return false;
    // Without a resolver V8 would call through a null pointer for the first
    // import; a module that imports nothing needs none.
    if (resolver == nullptr && module->GetModuleRequests()->Length() > 0) {
        throwError(context->GetIsolate(), "A module with imports needs a resolver");
        return false;
    }
    ResolverInUse inUse(resolver);
    // Linked or not is whether V8 returned a result at all; its value is
    // always true when there is one.
    return module->InstantiateModule(context, resolveGuarded).IsJust();
}

v8::Local<v8::Value> V8Engine::evaluateModule(v8::Local<v8::Module> module, v8::Local<v8::Context> context)
{
    if (module.IsEmpty())
        return {};
    if (!isLinked(module)) {
        throwError(context->GetIsolate(), "A module must be linked (instantiateModule) before it is evaluated");
        return {};
    }
    LimitedRun run(context->GetIsolate());
    v8::Local<v8::Value> completion = module->Evaluate(context).FromMaybe(v8::Local<v8::Value>());
    if (auto stopped = run.end()) {
        if (run.outermost())
            throwLimitError(context->GetIsolate(), *stopped);
        return {};
    }
    return completion;
}

bool V8Engine::addModule(v8::Local<v8::Context> context,
                         const Source& source,
                         v8::Module::ResolveModuleCallback resolver)
{
    LimitedRun run(context->GetIsolate());
    v8::Local<v8::Module> module = loadModule(context, source);
    bool added = !module.IsEmpty() && instantiateModule(module, context, resolver);
    // The evaluation's outcome is left to the module's own effects; a throw
    // stays pending (or rejects the returned promise) for the caller.
    if (added) {
        v8::MaybeLocal<v8::Value> ignored = module->Evaluate(context);
        (void)ignored;
    }
    if (auto stopped = run.end()) {
        if (run.outermost())
            throwLimitError(context->GetIsolate(), *stopped);
        return false;
    }
    return added;
}

}  // namespace qor::format::engine::javascript

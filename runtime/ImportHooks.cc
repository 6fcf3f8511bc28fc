// The isolate's hooks for import() and import.meta: the parts of the module
// loader that scripts reach while they run.

#include "runtime/ModuleLoader.h"
#include "runtime/ModuleRequests.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include <v8-container.h>
#include <v8-exception.h>
#include <v8-function.h>
#include <v8-primitive.h>

namespace qor::format::engine::javascript {

namespace {

// What an import() asked for, kept in the data of the job that finishes it.
enum ImportRequest : std::uint32_t { kResolver, kSpecifier, kReferrer, kType, kRequestLength };

void returnData(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    info.GetReturnValue().Set(info.Data());
}

// Settling fails only when the isolate is terminating, and then nobody waits
// for the promise any more.
void settle(v8::Local<v8::Context> context,
            v8::Local<v8::Promise::Resolver> resolver,
            v8::Local<v8::Value> value,
            bool fulfilled)
{
    v8::Maybe<bool> ignored = fulfilled ? resolver->Resolve(context, value) : resolver->Reject(context, value);
    (void)ignored;
}

}  // namespace

v8::MaybeLocal<v8::Promise> ModuleLoader::importDynamically(v8::Local<v8::Context> context,
                                                            v8::Local<v8::Data> /*hostDefinedOptions*/,
                                                            v8::Local<v8::Value> resourceName,
                                                            v8::Local<v8::String> specifier,
                                                            v8::Local<v8::FixedArray> importAssertions)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::Promise::Resolver> resolver;
    if (!v8::Promise::Resolver::New(context).ToLocal(&resolver))
        return {};

    // The module is loaded by a promise job, not here: import() can be called
    // while a module that it reaches is still evaluating, and V8 ends the
    // process when a module in that state is evaluated again. The job runs
    // once the current script has finished, as an import() that waits for a
    // file would in any runtime.
    const std::optional<std::string> type = assertedType(context, importAssertions, kDynamicAssertionStride);
    v8::Local<v8::Value> request[kRequestLength];
    request[kResolver] = resolver;
    request[kSpecifier] = specifier;
    const bool named = !resourceName.IsEmpty() && resourceName->IsString();
    request[kReferrer] = named ? resourceName : v8::String::Empty(isolate).As<v8::Value>();
    request[kType] = v8::Undefined(isolate);
    if (type)
        request[kType] = V8Helper::v8_string(*type, isolate);
    v8::Local<v8::Function> job;
    if (!v8::Function::New(context, &ModuleLoader::continueImport, v8::Array::New(isolate, request, kRequestLength))
             .ToLocal(&job))
        return {};
    isolate->EnqueueMicrotask(job);
    return resolver->GetPromise();
}

void ModuleLoader::addExternalReferences(std::vector<std::intptr_t>& table)
{
    for (v8::FunctionCallback callback : {&returnData, &ModuleLoader::continueImport, &ModuleLoader::resolveForMeta})
        table.push_back(reinterpret_cast<std::intptr_t>(callback));
}

void ModuleLoader::continueImport(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Array> request = info.Data().As<v8::Array>();
    v8::Local<v8::Value> resolver, specifier, referrer, type;
    if (!request->Get(context, kResolver).ToLocal(&resolver) ||
        !request->Get(context, kSpecifier).ToLocal(&specifier) ||
        !request->Get(context, kReferrer).ToLocal(&referrer) || !request->Get(context, kType).ToLocal(&type))
        return;
    ModuleLoader* loader = of(isolate);
    if (loader == nullptr) {
        settle(context, resolver.As<v8::Promise::Resolver>(),
               v8::Exception::Error(V8Helper::v8_string("the runtime has ended: nothing can be imported", isolate)),
               false);
        return;
    }
    loader->finishImport(context, resolver.As<v8::Promise::Resolver>(), V8Helper::qor_string(specifier, isolate),
                         V8Helper::qor_string(referrer, isolate),
                         type->IsString() ? std::optional(V8Helper::qor_string(type, isolate)) : std::nullopt);
}

void ModuleLoader::finishImport(v8::Local<v8::Context> context,
                                v8::Local<v8::Promise::Resolver> resolver,
                                const std::string& specifier,
                                const std::string& referrerUrl,
                                const std::optional<std::string>& type)
{
    v8::TryCatch tryCatch(isolate);
    // The exception of a module that cannot be had names the specifier, the
    // importer and the reason already.
    v8::Local<v8::Module> module;
    if (!acquire(context, specifier, referrerUrl, type).ToLocal(&module)) {
        if (!tryCatch.HasTerminated())
            settle(context, resolver, tryCatch.Exception(), false);
        return;
    }
    // A link failure further down the graph (an import of a file that is
    // missing, an export that is not there) names the module it happened in;
    // the message then also names the import() that reached it.
    if (module->GetStatus() == v8::Module::kUninstantiated &&
        !V8Engine::instantiateModule(module, context, &ModuleLoader::resolve)) {
        if (!tryCatch.HasTerminated()) {
            v8::Local<v8::Value> exception = tryCatch.Exception();
            tryCatch.Reset();
            const std::string prefix = "cannot import '" + specifier + "' from " + displayName(referrerUrl) + ": ";
            prefixMessage(context, exception, prefix);
            settle(context, resolver, exception, false);
        }
        return;
    }
    v8::Local<v8::Promise> evaluated;
    if (!evaluate(context, module).ToLocal(&evaluated)) {
        if (tryCatch.HasCaught() && !tryCatch.HasTerminated())
            settle(context, resolver, tryCatch.Exception(), false);
        return;
    }
    // The evaluation's promise settles once the module and its imports have
    // run (top-level await included); the import() settles with it, with the
    // namespace for a value.
    v8::Local<v8::Function> toNamespace;
    v8::Local<v8::Promise> settled;
    if (!v8::Function::New(context, returnData, module->GetModuleNamespace()).ToLocal(&toNamespace) ||
        !evaluated->Then(context, toNamespace).ToLocal(&settled))
        return;
    settle(context, resolver, settled, true);
}

void ModuleLoader::initializeImportMeta(v8::Local<v8::Context> context,
                                        v8::Local<v8::Module> module,
                                        v8::Local<v8::Object> meta)
{
    v8::Isolate* isolate = context->GetIsolate();
    ModuleLoader* loader = of(isolate);
    const Record* record = loader == nullptr ? nullptr : loader->recordFor(module);
    if (record == nullptr)
        return;
    v8::Local<v8::String> url = V8Helper::v8_string(record->url, isolate);
    v8::Local<v8::Function> resolveFunction;
    if (!v8::Function::New(context, &ModuleLoader::resolveForMeta, url, 1).ToLocal(&resolveFunction))
        return;
    resolveFunction->SetName(V8Helper::v8_string("resolve", isolate));
    // A fresh ordinary object takes both properties; only a terminating
    // isolate could refuse them.
    v8::Maybe<bool> ignored = meta->CreateDataProperty(context, V8Helper::v8_string("url", isolate), url);
    ignored = meta->CreateDataProperty(context, V8Helper::v8_string("resolve", isolate), resolveFunction);
    (void)ignored;
}

void ModuleLoader::resolveForMeta(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    ModuleLoader* loader = of(isolate);
    v8::Local<v8::String> specifierText;
    if (loader == nullptr || !info[0]->ToString(context).ToLocal(&specifierText))
        return;
    const std::string specifier = V8Helper::qor_string(specifierText, isolate);
    const std::string referrer = V8Helper::qor_string(info.Data(), isolate);
    auto url = loader->resolveUrl(specifier, referrer);
    if (!url) {
        isolate->ThrowException(v8::Exception::TypeError(V8Helper::v8_string(
            "cannot resolve '" + specifier + "' from " + displayName(referrer) + ": " + url.error(), isolate)));
        return;
    }
    info.GetReturnValue().Set(V8Helper::v8_string(*url, isolate));
}

}  // namespace qor::format::engine::javascript

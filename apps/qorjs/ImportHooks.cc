#include <cstdio>
// The isolate's hooks for import() and import.meta: the parts of the module
// loader that scripts reach at run time.

#include "Console.h"
#include "ModuleLoader.h"
#include "ImportRequest.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-container.h>
#include <v8-exception.h>
#include <v8-function.h>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// What an import() asked for, kept in the data of the job that finishes it.
enum ImportRequest : std::uint32_t { kResolver, kSpecifier, kReferrer, kType, kRequestLength };

void returnData(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    info.GetReturnValue().Set(info.Data());
}

// Settling fails only when the isolate is terminating, and then nobody
// waits for the promise any more.
void reject(v8::Local<v8::Context> context, v8::Local<v8::Promise::Resolver> resolver, v8::Local<v8::Value> reason)
{
    v8::Maybe<bool> ignored = resolver->Reject(context, reason);
    (void)ignored;
}

void resolveWith(v8::Local<v8::Context> context, v8::Local<v8::Promise::Resolver> resolver, v8::Local<v8::Value> value)
{
    v8::Maybe<bool> ignored = resolver->Resolve(context, value);
    (void)ignored;
}

void rejectWithError(v8::Local<v8::Context> context, v8::Local<v8::Promise::Resolver> resolver, const std::string& text)
{
    reject(context, resolver, v8::Exception::Error(js::V8Helper::v8_string(text, context->GetIsolate())));
}

// An exception's text without the "Error: " that V8 puts in front of
// the message of a plain Error, which would only repeat itself when the
// text goes into the message of another.
std::string reasonOf(v8::Isolate* isolate, v8::Local<v8::Value> exception)
{
    std::string text = stringForm(isolate, exception);
    if (text.starts_with("Error: "))
        text.erase(0, 7);
    return text;
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

    // The module is loaded by a promise job, not here: import() can be
    // called while a module that it reaches is still evaluating, and V8
    // aborts the process when a module in that state is evaluated again.
    // The job runs once the current script has finished, as an import()
    // that waits for a file would in any runtime.
    const std::optional<std::string> type = assertedType(context, importAssertions, 2);
    v8::Local<v8::Value> request[kRequestLength];
    request[kResolver] = resolver;
    request[kSpecifier] = specifier;
    request[kReferrer] = resourceName.IsEmpty() ? v8::Undefined(isolate).As<v8::Value>() : resourceName;
    request[kType] = type ? js::V8Helper::v8_string(*type, isolate).As<v8::Value>() : v8::Undefined(isolate).As<v8::Value>();
    v8::Local<v8::Function> job;
    if (!v8::Function::New(context, &ModuleLoader::continueImport, v8::Array::New(isolate, request, kRequestLength))
             .ToLocal(&job))
        return {};
    isolate->EnqueueMicrotask(job);
    return resolver->GetPromise();
}

void ModuleLoader::continueImport(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Array> request = info.Data().As<v8::Array>();
    v8::Local<v8::Value> resolver;
    v8::Local<v8::Value> specifier;
    v8::Local<v8::Value> referrer;
    v8::Local<v8::Value> type;
    if (!request->Get(context, kResolver).ToLocal(&resolver) ||
        !request->Get(context, kSpecifier).ToLocal(&specifier) ||
        !request->Get(context, kReferrer).ToLocal(&referrer) || !request->Get(context, kType).ToLocal(&type))
        return;

    ModuleLoader* loader = of(context);
    if (loader == nullptr) {
        rejectWithError(context, resolver.As<v8::Promise::Resolver>(), "No module loader is attached to this context");
        return;
    }
    loader->finishImport(resolver.As<v8::Promise::Resolver>(), js::V8Helper::qor_string(specifier, isolate),
                         loader->importerOf(referrer),
                         type->IsString() ? std::optional(js::V8Helper::qor_string(type, isolate)) : std::nullopt);
}

void ModuleLoader::finishImport(v8::Local<v8::Promise::Resolver> resolver,
                                const std::string& specifier,
                                const std::string& importer,
                                const std::optional<std::string>& type)
{
    v8::Local<v8::Context> context = loaderContext.Get(isolate);
    v8::TryCatch tryCatch(isolate);

    // The Error of a module that cannot be had names the specifier, the
    // importer and the reason already.
    v8::Local<v8::Module> module;
    if (!acquire(specifier, importer, type).ToLocal(&module)) {
        if (!tryCatch.HasTerminated())
            reject(context, resolver, tryCatch.Exception());
        return;
    }

    // A failure further down the graph names the file that failed; this
    // names the import() that reached it.
    const std::string failure = "cannot import '" + specifier + "' from " + importer + ": ";
    if (module->GetStatus() == v8::Module::kUninstantiated &&
        !js::V8Engine::instantiateModule(module, context, &ModuleLoader::resolve)) {
        if (!tryCatch.HasTerminated()) {
            const std::string reason = reasonOf(isolate, tryCatch.Exception());
            tryCatch.Reset();
            rejectWithError(context, resolver, failure + reason);
        }
        return;
    }

    fprintf(stderr,"status of %s: %d async=%d\n", specifier.c_str(), (int)module->GetStatus(), (int)module->IsGraphAsync());
    switch (module->GetStatus()) {
    case v8::Module::kErrored:
        // Every import of a module that threw rejects with what it threw.
        reject(context, resolver, module->GetException());
        return;
    case v8::Module::kInstantiating:
    case v8::Module::kEvaluating:
        rejectWithError(context, resolver, failure + "the module is still being loaded");
        return;
    default:
        break;
    }

    v8::Local<v8::Value> completion = js::V8Engine::evaluateModule(module, context);
    if (completion.IsEmpty()) {
        if (!tryCatch.HasTerminated())
            reject(context, resolver, tryCatch.Exception());
        return;
    }
    v8::Local<v8::Value> moduleNamespace = module->GetModuleNamespace();
    if (!completion->IsPromise()) {
        resolveWith(context, resolver, moduleNamespace);
        return;
    }
    // Evaluation hands back a promise that settles once the module and its
    // imports have run (top-level await included); the import() settles
    // with it, with the namespace for a value.
    v8::Local<v8::Function> toNamespace;
    v8::Local<v8::Promise> settled;
    if (!v8::Function::New(context, returnData, moduleNamespace).ToLocal(&toNamespace) ||
        !completion.As<v8::Promise>()->Then(context, toNamespace).ToLocal(&settled))
        return;
    resolveWith(context, resolver, settled);
}

std::string ModuleLoader::importerOf(v8::Local<v8::Value> resourceName) const
{
    if (resourceName->IsString()) {
        const std::string url = js::V8Helper::qor_string(resourceName, isolate);
        if (auto known = filesByUrl.find(url); known != filesByUrl.end())
            return known->second;
        // The inverse of the library's file: URL, which only escapes blanks.
        if (url.starts_with("file://")) {
            std::string file;
            for (std::size_t at = std::string_view("file://").size(); at < url.size(); ++at) {
                const bool blank = url.compare(at, 3, "%20") == 0;
                file += blank ? ' ' : url[at];
                at += blank ? 2 : 0;
            }
            return file;
        }
    }
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return ((error ? std::filesystem::path("/") : here) / "[unnamed script]").string();
}

void ModuleLoader::initializeImportMeta(v8::Local<v8::Context> context,
                                        v8::Local<v8::Module> module,
                                        v8::Local<v8::Object> meta)
{
    v8::Isolate* isolate = context->GetIsolate();
    ModuleLoader* loader = of(context);
    const Record* record = loader == nullptr ? nullptr : loader->recordOf(module);
    if (record == nullptr)
        return;
    v8::Local<v8::Function> resolveFunction;
    if (!v8::Function::New(context, &ModuleLoader::resolveForMeta, js::V8Helper::v8_string(record->file, isolate), 1)
             .ToLocal(&resolveFunction))
        return;
    resolveFunction->SetName(js::V8Helper::v8_string("resolve", isolate));
    // A fresh ordinary object takes both properties; only a terminating
    // isolate could refuse them.
    v8::Maybe<bool> ignored = meta->CreateDataProperty(context, js::V8Helper::v8_string("url", isolate),
                                                       js::V8Helper::v8_string(record->url, isolate));
    ignored = meta->CreateDataProperty(context, js::V8Helper::v8_string("resolve", isolate), resolveFunction);
    (void)ignored;
}

void ModuleLoader::resolveForMeta(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    ModuleLoader* loader = of(context);
    v8::Local<v8::String> specifierText;
    if (loader == nullptr || !info[0]->ToString(context).ToLocal(&specifierText))
        return;
    const std::string specifier = js::V8Helper::qor_string(specifierText, isolate);
    const std::string importer = js::V8Helper::qor_string(info.Data(), isolate);
    if (!isFileSpecifier(specifier)) {
        isolate->ThrowException(v8::Exception::TypeError(js::V8Helper::v8_string(
            "cannot resolve '" + specifier + "' from " + importer + ": " + kFileSpecifiersOnly, isolate)));
        return;
    }
    // The file a static import would load when it is there, symbolic links
    // followed; where it is not, the path it would have.
    std::error_code ignored;
    const std::filesystem::path file = std::filesystem::weakly_canonical(candidateFile(specifier, importer), ignored);
    info.GetReturnValue().Set(js::V8Helper::v8_string(loader->urlOf(file.string()), isolate));
}

}  // namespace qorjs

#include "runtime/ModuleLoader.h"

#include "cache/Compiling.h"
#include "runtime/ModuleRequests.h"
#include "runtime/Records.h"
#include "runtime/RuntimeState.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include <v8-exception.h>
#include <v8-json.h>
#include <v8-message.h>
#include <v8-primitive.h>

#include <algorithm>
#include <exception>

namespace qor::format::engine::javascript {

ModuleLoader::ModuleLoader(v8::Isolate* isolate, ModuleSource source, std::shared_ptr<CompileCache> cache)
    : isolate(isolate), source(std::move(source)), cache(std::move(cache))
{
    isolate->SetHostImportModuleDynamicallyCallback(&ModuleLoader::importDynamically);
    isolate->SetHostInitializeImportMetaObjectCallback(&ModuleLoader::initializeImportMeta);
}

ModuleLoader::~ModuleLoader()
{
    // Without the hooks, V8 rejects a later import() as not supported.
    isolate->SetHostImportModuleDynamicallyCallback(static_cast<v8::HostImportModuleDynamicallyCallback>(nullptr));
    isolate->SetHostInitializeImportMetaObjectCallback(nullptr);
}

void ModuleLoader::saveCaches()
{
    if (unsaved.empty())
        return;
    v8::HandleScope scope(isolate);
    for (Unsaved& entry : unsaved)
        cache->write(entry.url, entry.text, CodeCache::of(entry.module.Get(isolate), entry.text));
    unsaved.clear();
}

ModuleLoader* ModuleLoader::of(v8::Isolate* isolate)
{
    V8Runtime::State* state = runtimeStateOf(isolate);
    return state == nullptr ? nullptr : state->loader.get();
}

std::string ModuleLoader::displayName(const std::string& url)
{
    if (url.empty())
        return "a script without a name";
    std::string path = pathFromFileUrl(url);
    return path.empty() ? url : path;
}

// ---- Loading ---------------------------------------------------------------------

std::expected<v8::Local<v8::Module>, Error> ModuleLoader::load(v8::Local<v8::Context> context,
                                                               const std::string& url,
                                                               const std::string* code)
{
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Module> module;
    if (auto known = records.find({Type::JavaScript, url}); known != records.end()) {
        module = known->second->module.Get(isolate);
    } else {
        std::string text;
        if (code == nullptr) {
            auto loaded = loadText(url);
            if (!loaded)
                return std::unexpected(recordOfText("cannot load " + displayName(url) + ": " + loaded.error()));
            text = std::move(*loaded);
        }
        if (!compile(context, url, Type::JavaScript, code != nullptr ? *code : text, {}).ToLocal(&module))
            return std::unexpected(recordOf(Error::Type::Compile, isolate, tryCatch));
    }
    if (module->GetStatus() != v8::Module::kUninstantiated)
        return module;
    linkingStatically = true;
    const bool linked = V8Engine::instantiateModule(module, context, &ModuleLoader::resolve);
    linkingStatically = false;
    if (!linked)
        return std::unexpected(recordOf(Error::Type::Compile, isolate, tryCatch));
    return module;
}

v8::MaybeLocal<v8::Module> ModuleLoader::acquire(v8::Local<v8::Context> context,
                                                 const std::string& specifier,
                                                 const std::string& referrerUrl,
                                                 const std::optional<std::string>& type)
{
    const std::string prefix = "cannot import '" + specifier + "' from " + displayName(referrerUrl) + ": ";
    auto url = resolveUrl(specifier, referrerUrl);
    if (!url) {
        throwError(isolate, prefix + url.error());
        return {};
    }

    // The assertion decides how the text is read, as a browser goes by the
    // media type. A JSON file read as JavaScript would fail on its first colon
    // with a message that helps nobody.
    Type moduleType = Type::JavaScript;
    if (type == "json") {
        moduleType = Type::Json;
    } else if (type) {
        throwError(isolate, prefix + displayName(*url) + ": unknown module type \"" + *type +
                                "\" (the runtime imports JavaScript, and JSON with assert { type: \"json\" })");
        return {};
    } else if (url->ends_with(".json")) {
        throwError(isolate, prefix + displayName(*url) + " is JSON: import it with assert { type: \"json\" }");
        return {};
    }

    if (auto known = records.find({moduleType, *url}); known != records.end())
        return known->second->module.Get(isolate);
    auto text = loadText(*url);
    if (!text) {
        throwError(isolate, prefix + text.error());
        return {};
    }
    return compile(context, *url, moduleType, *text, prefix);
}

v8::MaybeLocal<v8::Module> ModuleLoader::compile(v8::Local<v8::Context> context,
                                                 const std::string& url,
                                                 Type type,
                                                 const std::string& text,
                                                 const std::string& failurePrefix)
{
    v8::Local<v8::String> name = V8Helper::v8_string(url, isolate);
    v8::Local<v8::String> code = V8Helper::v8_string(text, isolate);
    if (name.IsEmpty() || code.IsEmpty()) {
        throwError(isolate, failurePrefix + "the module text is longer than V8's maximum string length");
        return {};
    }
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Module> module;
    v8::Local<v8::Value> json;
    if (type == Type::Json) {
        if (v8::JSON::Parse(context, code).ToLocal(&json)) {
            const std::vector<v8::Local<v8::String>> exports{V8Helper::v8_string("default", isolate)};
            module = v8::Module::CreateSyntheticModule(isolate, name, exports, &ModuleLoader::evaluateJson);
        }
    } else {
        v8::ScriptOrigin origin(isolate, name, 0, 0, false, -1, {}, false, false, true);
        const bool cached = cache && url.starts_with("file:");
        ModuleCompiling compiling =
            compileModuleWith(isolate, code, origin, text, cached ? cache->read(url, text) : CodeCache());
        module = compiling.module.FromMaybe(v8::Local<v8::Module>());
        if (cached) {
            cache->count(compiling.cache);
            if (!module.IsEmpty() && compiling.cache != CacheUse::Accepted)
                unsaved.push_back({v8::Global<v8::Module>(isolate, module), url, text});
        }
    }
    if (!module.IsEmpty()) {
        remember(module, type, url, json);
        return module;
    }
    if (!tryCatch.HasCaught() || tryCatch.HasTerminated()) {
        tryCatch.ReThrow();
        return {};
    }
    // The error V8 raised, with its type and its position kept, says which
    // import it failed. Where no record will carry the position (import()),
    // the message says it.
    if (!failurePrefix.empty()) {
        std::string where;
        v8::Local<v8::Message> message = tryCatch.Message();
        if (type == Type::JavaScript && !linkingStatically && !message.IsEmpty())
            where = " at " + url + ':' + std::to_string(message->GetLineNumber(context).FromMaybe(0)) + ':' +
                    std::to_string(message->GetStartColumn(context).FromMaybe(0) + 1);
        const std::string what =
            type == Type::Json ? displayName(url) + " is not valid JSON: " : std::string("it does not compile: ");
        prefixMessage(context, tryCatch.Exception(), failurePrefix + what, where);
    }
    tryCatch.ReThrow();
    return {};
}

v8::MaybeLocal<v8::Value> ModuleLoader::evaluateJson(v8::Local<v8::Context> context, v8::Local<v8::Module> module)
{
    v8::Isolate* isolate = context->GetIsolate();
    ModuleLoader* loader = of(isolate);
    const Record* record = loader == nullptr ? nullptr : loader->recordFor(module);
    if (record == nullptr || record->jsonValue.IsEmpty()) {
        throwError(isolate, "a JSON module the runtime did not load");
        return {};
    }
    v8::Local<v8::String> name = V8Helper::v8_string("default", isolate);
    if (module->SetSyntheticModuleExport(isolate, name, record->jsonValue.Get(isolate)).IsNothing())
        return {};
    // V8 expects the evaluation of a synthetic module to hand back a settled promise.
    v8::Local<v8::Promise::Resolver> done;
    if (!v8::Promise::Resolver::New(context).ToLocal(&done) ||
        done->Resolve(context, v8::Undefined(isolate)).IsNothing())
        return {};
    return done->GetPromise();
}

v8::MaybeLocal<v8::Module> ModuleLoader::resolve(v8::Local<v8::Context> context,
                                                 v8::Local<v8::String> specifier,
                                                 v8::Local<v8::FixedArray> importAssertions,
                                                 v8::Local<v8::Module> referrer)
{
    v8::Isolate* isolate = context->GetIsolate();
    ModuleLoader* loader = of(isolate);
    const std::string name = V8Helper::qor_string(specifier, isolate);
    Record* importer = loader == nullptr ? nullptr : loader->recordFor(referrer);
    if (importer == nullptr) {
        throwError(isolate, "cannot import '" + name + "' from a module the runtime did not load");
        return {};
    }
    const std::optional<std::string> type = assertedType(context, importAssertions, kStaticAssertionStride);
    v8::Local<v8::Module> module;
    if (!loader->acquire(context, name, importer->url, type).ToLocal(&module))
        return {};
    importer->imports[requestKey(name, type)] = loader->recordFor(module);
    return module;
}

// ---- The module source ------------------------------------------------------------

std::expected<std::string, std::string> ModuleLoader::resolveUrl(const std::string& specifier,
                                                                 const std::string& referrerUrl)
{
    try {
        return source.resolve(specifier, referrerUrl);
    } catch (const std::exception& error) {
        return std::unexpected(std::string("the module source failed: ") + error.what());
    } catch (...) {
        return std::unexpected(std::string("the module source failed"));
    }
}

std::expected<std::string, std::string> ModuleLoader::loadText(const std::string& url)
{
    try {
        return source.load(url);
    } catch (const std::exception& error) {
        return std::unexpected(std::string("the module source failed: ") + error.what());
    } catch (...) {
        return std::unexpected(std::string("the module source failed"));
    }
}

// ---- Records ------------------------------------------------------------------------

ModuleLoader::Record& ModuleLoader::remember(v8::Local<v8::Module> module,
                                             Type type,
                                             const std::string& url,
                                             v8::Local<v8::Value> jsonValue)
{
    auto record = std::make_unique<Record>();
    record->module.Reset(isolate, module);
    record->url = url;
    record->type = type;
    if (!jsonValue.IsEmpty())
        record->jsonValue.Reset(isolate, jsonValue);
    Record& kept = *record;
    records[{type, url}] = std::move(record);
    byHash.emplace(module->GetIdentityHash(), &kept);
    return kept;
}

ModuleLoader::Record* ModuleLoader::recordFor(v8::Local<v8::Module> module)
{
    auto [first, last] = byHash.equal_range(module->GetIdentityHash());
    for (auto entry = first; entry != last; ++entry)
        if (entry->second->module == module)
            return entry->second;
    return nullptr;
}

// ---- Evaluation ---------------------------------------------------------------------

v8::MaybeLocal<v8::Promise> ModuleLoader::evaluate(v8::Local<v8::Context> context, v8::Local<v8::Module> module)
{
    Record* record = recordFor(module);
    const auto settled = [&](v8::Local<v8::Value> value, bool fulfilled) -> v8::MaybeLocal<v8::Promise> {
        v8::Local<v8::Promise::Resolver> resolver;
        if (!v8::Promise::Resolver::New(context).ToLocal(&resolver))
            return {};
        v8::Maybe<bool> ignored = fulfilled ? resolver->Resolve(context, value) : resolver->Reject(context, value);
        (void)ignored;
        return resolver->GetPromise();
    };
    const auto failed = [&](const std::string& text) {
        return settled(v8::Exception::Error(V8Helper::v8_string(text, isolate)), false);
    };
    switch (module->GetStatus()) {
    case v8::Module::kErrored:
        // Every evaluation of a module that threw rejects with what it threw.
        return settled(module->GetException(), false);
    case v8::Module::kUninstantiated:
    case v8::Module::kInstantiating:
        return failed("cannot evaluate " + displayName(record ? record->url : std::string()) + ": it is not linked");
    case v8::Module::kEvaluating:
        return failed("cannot evaluate " + displayName(record ? record->url : std::string()) +
                      ": it is still being evaluated");
    case v8::Module::kEvaluated:
        // V8 hands the evaluation of a module on to the first module of its
        // cycle, and ends the process there when that one threw after an
        // await without having been evaluated on its own: its error is what
        // the evaluation gives.
        if (record != nullptr && !record->cycleRoot.IsEmpty() && record->cycleRoot != module) {
            v8::Local<v8::Module> root = record->cycleRoot.Get(isolate);
            if (root->GetStatus() == v8::Module::kErrored)
                return settled(root->GetException(), false);
        }
        break;
    case v8::Module::kInstantiated:
        if (record != nullptr)
            findCycleRoots(context, *record);
        break;
    }
    v8::Local<v8::Value> completion = V8Engine::evaluateModule(module, context);
    if (completion.IsEmpty())
        return {};
    if (completion->IsPromise())
        return completion.As<v8::Promise>();
    return settled(v8::Undefined(isolate), true);
}

void ModuleLoader::findCycleRoots(v8::Local<v8::Context> context, Record& root)
{
    std::vector<Record*> stack;
    int index = 0;
    walk(context, root, index, stack);
    for (auto& [key, record] : records)
        record->index = record->lowLink = -1;
}

// Tarjan's walk, in the order V8 evaluates: a module's requests in the order
// they appear, modules already evaluated left out.
void ModuleLoader::walk(v8::Local<v8::Context> context, Record& record, int& index, std::vector<Record*>& stack)
{
    record.index = record.lowLink = index++;
    stack.push_back(&record);
    record.onStack = true;
    v8::Local<v8::FixedArray> requests = record.module.Get(isolate)->GetModuleRequests();
    for (int i = 0; i < requests->Length(); ++i) {
        v8::Local<v8::ModuleRequest> request = requests->Get(context, i).As<v8::ModuleRequest>();
        const std::optional<std::string> type =
            assertedType(context, request->GetImportAssertions(), kStaticAssertionStride);
        auto found = record.imports.find(requestKey(V8Helper::qor_string(request->GetSpecifier(), isolate), type));
        if (found == record.imports.end() || found->second == nullptr || found->second->type != Type::JavaScript)
            continue;
        Record& next = *found->second;
        if (next.index < 0) {
            if (next.module.Get(isolate)->GetStatus() != v8::Module::kInstantiated)
                continue;
            walk(context, next, index, stack);
            record.lowLink = std::min(record.lowLink, next.lowLink);
        } else if (next.onStack) {
            record.lowLink = std::min(record.lowLink, next.index);
        }
    }
    if (record.lowLink != record.index)
        return;
    for (;;) {
        Record* member = stack.back();
        stack.pop_back();
        member->onStack = false;
        member->cycleRoot.Reset(isolate, record.module);
        if (member == &record)
            break;
    }
}

}  // namespace qor::format::engine::javascript

#include "ModuleLoader.h"

#include "Console.h"
#include "ErrorReport.h"
#include "ImportRequest.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-exception.h>
#include <v8-initialization.h>
#include <v8-json.h>
#include <v8-message.h>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// The context's embedder data slot that points to the loader. Slot 0 is
// V8's own (its debugger support keeps an id there).
constexpr int kLoaderSlot = 1;

// Where V8 places a compile error, as a developer reads it: "at URL:LINE:COLUMN".
std::string positionOf(v8::Isolate* isolate, const v8::TryCatch& tryCatch)
{
    v8::Local<v8::Message> message = tryCatch.Message();
    if (message.IsEmpty())
        return {};
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    const int line = message->GetLineNumber(context).FromMaybe(0);
    if (line <= 0)
        return {};
    return " at " + js::V8Helper::qor_string(message->GetScriptResourceName(), isolate) + ':' + std::to_string(line) +
           ':' + std::to_string(message->GetStartColumn(context).FromMaybe(0) + 1);
}

// The program's file as imports know it: canonical, so that it resolves
// what it imports as a module importing it would. Weakly canonical, because
// the "[eval]" of -e code names no file.
std::string canonicalProgramFile(const ProgramText& program)
{
    std::error_code ignored;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(program.fileName, ignored);
    return canonical.empty() ? program.fileName : canonical.string();
}

}  // namespace

void ModuleLoader::setEngineFlags()
{
    // V8 10.2 parses `assert { type: "json" }` only behind this flag.
    v8::V8::SetFlagsFromString("--harmony-import-assertions");
}

ModuleLoader::ModuleLoader(v8::Local<v8::Context> context, const ProgramText& program)
    : isolate(context->GetIsolate()), loaderContext(isolate, context)
{
    context->SetAlignedPointerInEmbedderData(kLoaderSlot, this);
    // A classic program's import() names it by its URL.
    filesByUrl.emplace(scriptUrl(isolate, js::Source{program.code, program.fileName, false}),
                       canonicalProgramFile(program));
    isolate->SetHostImportModuleDynamicallyCallback(&ModuleLoader::importDynamically);
    isolate->SetHostInitializeImportMetaObjectCallback(&ModuleLoader::initializeImportMeta);
}

ModuleLoader::~ModuleLoader()
{
    // Without the hooks, V8 rejects a later import() as not supported.
    isolate->SetHostImportModuleDynamicallyCallback(static_cast<v8::HostImportModuleDynamicallyCallback>(nullptr));
    isolate->SetHostInitializeImportMetaObjectCallback(nullptr);
    loaderContext.Get(isolate)->SetAlignedPointerInEmbedderData(kLoaderSlot, nullptr);
}

ModuleLoader* ModuleLoader::of(v8::Local<v8::Context> context)
{
    return static_cast<ModuleLoader*>(context->GetAlignedPointerFromEmbedderData(kLoaderSlot));
}

std::expected<v8::Local<v8::Module>, std::string> ModuleLoader::load(const ProgramText& program)
{
    v8::Local<v8::Context> context = loaderContext.Get(isolate);
    v8::TryCatch tryCatch(isolate);
    importFailure.reset();

    const js::Source source{program.code, program.fileName, true};
    v8::Local<v8::Module> module = js::V8Engine::loadModule(context, source);
    if (module.IsEmpty())
        return std::unexpected(renderCaught(isolate, tryCatch, js::Error::Type::Compile, scriptUrl(isolate, source)));

    // Keyed like the imports, by canonical path, so that a module importing
    // the program back gets this very module.
    remember(module, ModuleType::JavaScript, canonicalProgramFile(program), scriptUrl(isolate, source));

    if (!js::V8Engine::instantiateModule(module, context, &ModuleLoader::resolve)) {
        if (importFailure)
            return std::unexpected(*importFailure);
        // Linking failed on its own: an import names an export that the
        // imported module does not have, for instance.
        return std::unexpected(renderCaught(isolate, tryCatch, js::Error::Type::Compile, scriptUrl(isolate, source)));
    }
    return module;
}

v8::MaybeLocal<v8::Module> ModuleLoader::resolve(v8::Local<v8::Context> context,
                                                 v8::Local<v8::String> specifier,
                                                 v8::Local<v8::FixedArray> importAssertions,
                                                 v8::Local<v8::Module> referrer)
{
    ModuleLoader* loader = of(context);
    v8::Isolate* isolate = context->GetIsolate();
    if (loader == nullptr) {
        isolate->ThrowException(
            v8::Exception::Error(js::V8Helper::v8_string("No module loader is attached to this context", isolate)));
        return {};
    }
    const std::string name = js::V8Helper::qor_string(specifier, isolate);
    const Record* importer = loader->recordOf(referrer);
    if (importer == nullptr) {
        loader->failImport(name, "a module qorjs did not load", "its file is unknown");
        return {};
    }
    return loader->acquire(name, importer->file, assertedType(context, importAssertions, 3));
}

v8::MaybeLocal<v8::Module> ModuleLoader::acquire(const std::string& specifier,
                                                 const std::string& importer,
                                                 const std::optional<std::string>& type)
{
    if (!isFileSpecifier(specifier)) {
        failImport(specifier, importer, kFileSpecifiersOnly);
        return {};
    }
    const std::filesystem::path candidate = candidateFile(specifier, importer);
    std::error_code error;
    const std::filesystem::path file = std::filesystem::canonical(candidate, error);
    if (error) {
        failImport(specifier, importer, candidate.lexically_normal().string() + ": " + error.message());
        return {};
    }

    // The assertion decides how the file is read, as a browser goes by the
    // media type. A .json file read as JavaScript would fail on its first
    // colon with a message that helps nobody.
    ModuleType moduleType = ModuleType::JavaScript;
    if (type == "json") {
        moduleType = ModuleType::Json;
    } else if (type) {
        failImport(specifier, importer,
                   file.string() + ": unknown module type \"" + *type +
                       "\" (qorjs imports JavaScript, and JSON with assert { type: \"json\" })");
        return {};
    } else if (file.extension() == ".json") {
        failImport(specifier, importer, file.string() + " is JSON: import it with assert { type: \"json\" }");
        return {};
    }

    if (auto known = modulesByFile.find({moduleType, file.string()}); known != modulesByFile.end())
        return known->second.Get(isolate);
    const auto text = readFile(file);
    if (!text) {
        failImport(specifier, importer, text.error());
        return {};
    }
    return moduleType == ModuleType::Json ? compileJson(specifier, importer, file, *text)
                                          : compileJavaScript(specifier, importer, file, *text);
}

v8::MaybeLocal<v8::Module> ModuleLoader::compileJavaScript(const std::string& specifier,
                                                           const std::string& importer,
                                                           const std::filesystem::path& file,
                                                           const std::string& text)
{
    const js::Source source{text, file.string(), true};
    std::string reason;
    std::string report;
    {
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::Module> module = js::V8Engine::loadModule(loaderContext.Get(isolate), source);
        if (!module.IsEmpty()) {
            remember(module, ModuleType::JavaScript, file.string(), scriptUrl(isolate, source));
            return module;
        }
        if (tryCatch.HasTerminated()) {
            tryCatch.ReThrow();
            return {};
        }
        reason = "it does not compile: " + stringForm(isolate, tryCatch.Exception()) + positionOf(isolate, tryCatch);
        report = renderCaught(isolate, tryCatch, js::Error::Type::Compile, scriptUrl(isolate, source));
    }
    // A static load prints the syntax error as the runner renders any other,
    // with its line and carets.
    if (!importFailure)
        importFailure =
            "qorjs: cannot import '" + specifier + "' from " + importer + ": it does not compile:\n" + report;
    failImport(specifier, importer, reason);
    return {};
}

v8::MaybeLocal<v8::Module> ModuleLoader::compileJson(const std::string& specifier,
                                                     const std::string& importer,
                                                     const std::filesystem::path& file,
                                                     const std::string& text)
{
    v8::Local<v8::Context> context = loaderContext.Get(isolate);
    std::string reason;
    {
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::String> json = js::V8Helper::v8_string(text, isolate);
        v8::Local<v8::Value> value;
        if (!json.IsEmpty() && v8::JSON::Parse(context, json).ToLocal(&value)) {
            const std::string url = urlOf(file.string());
            const std::vector<v8::Local<v8::String>> exports{js::V8Helper::v8_string("default", isolate)};
            v8::Local<v8::Module> module = v8::Module::CreateSyntheticModule(
                isolate, js::V8Helper::v8_string(url, isolate), exports, &ModuleLoader::evaluateJson);
            remember(module, ModuleType::Json, file.string(), url, value);
            return module;
        }
        if (tryCatch.HasTerminated()) {
            tryCatch.ReThrow();
            return {};
        }
        reason = file.string() + " is not valid JSON: " +
                 (tryCatch.HasCaught() ? stringForm(isolate, tryCatch.Exception())
                                       : std::string("longer than V8's maximum string length"));
    }
    failImport(specifier, importer, reason);
    return {};
}

v8::MaybeLocal<v8::Value> ModuleLoader::evaluateJson(v8::Local<v8::Context> context, v8::Local<v8::Module> module)
{
    v8::Isolate* isolate = context->GetIsolate();
    ModuleLoader* loader = of(context);
    const Record* record = loader == nullptr ? nullptr : loader->recordOf(module);
    if (record == nullptr || record->jsonValue.IsEmpty()) {
        isolate->ThrowException(
            v8::Exception::Error(js::V8Helper::v8_string("A JSON module qorjs did not load", isolate)));
        return {};
    }
    if (module
            ->SetSyntheticModuleExport(isolate, js::V8Helper::v8_string("default", isolate),
                                       record->jsonValue.Get(isolate))
            .IsNothing())
        return {};
    // V8 expects the evaluation of a synthetic module to hand back a settled promise.
    v8::Local<v8::Promise::Resolver> done;
    if (!v8::Promise::Resolver::New(context).ToLocal(&done) || done->Resolve(context, v8::Undefined(isolate)).IsNothing())
        return {};
    return done->GetPromise();
}

std::string ModuleLoader::urlOf(const std::string& file) const
{
    return scriptUrl(isolate, js::Source{{}, file, true});
}

void ModuleLoader::remember(v8::Local<v8::Module> module,
                            ModuleType type,
                            const std::string& file,
                            const std::string& url,
                            v8::Local<v8::Value> jsonValue)
{
    modulesByFile.emplace(std::make_pair(type, file), v8::Global<v8::Module>(isolate, module));
    Record record{v8::Global<v8::Module>(isolate, module), file, url, {}};
    if (!jsonValue.IsEmpty())
        record.jsonValue.Reset(isolate, jsonValue);
    records.emplace(module->GetIdentityHash(), std::move(record));
    filesByUrl.emplace(url, file);
}

const ModuleLoader::Record* ModuleLoader::recordOf(v8::Local<v8::Module> module) const
{
    auto [first, last] = records.equal_range(module->GetIdentityHash());
    for (auto entry = first; entry != last; ++entry)
        if (entry->second.module == module)
            return &entry->second;
    return nullptr;
}

void ModuleLoader::failImport(const std::string& specifier, const std::string& importer, const std::string& reason)
{
    const std::string text = "cannot import '" + specifier + "' from " + importer + ": " + reason;
    if (!importFailure)
        importFailure = "qorjs: " + text + "\n";
    isolate->ThrowException(v8::Exception::Error(js::V8Helper::v8_string(text, isolate)));
}

}  // namespace qorjs

#include "ModuleLoader.h"

#include "ErrorReport.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-exception.h>


namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// The context's embedder data slot that points to the loader. Slot 0 is
// V8's own (its debugger support keeps an id there).
constexpr int kLoaderSlot = 1;

// Only file paths can be imported: "./" and "../" against the importing
// file, or an absolute path. Bare names ("lodash") would need a package
// lookup that qorjs does not have.
bool isFileSpecifier(const std::string& specifier)
{
    return specifier.starts_with("./") || specifier.starts_with("../") ||
           std::filesystem::path(specifier).is_absolute();
}

}  // namespace

ModuleLoader::ModuleLoader(v8::Local<v8::Context> context)
    : isolate(context->GetIsolate()), loaderContext(isolate, context)
{
    context->SetAlignedPointerInEmbedderData(kLoaderSlot, this);
}

ModuleLoader::~ModuleLoader()
{
    loaderContext.Get(isolate)->SetAlignedPointerInEmbedderData(kLoaderSlot, nullptr);
}

std::expected<v8::Local<v8::Module>, std::string> ModuleLoader::load(const ProgramText& program)
{
    v8::Local<v8::Context> context = loaderContext.Get(isolate);
    v8::TryCatch tryCatch(isolate);

    const js::Source source{program.code, program.fileName, true};
    v8::Local<v8::Module> module = js::V8Engine::loadModule(context, source);
    if (module.IsEmpty())
        return std::unexpected(renderCaught(isolate, tryCatch, js::Error::Type::Compile, scriptUrl(isolate, source)));

    // Keyed like the imports, by canonical path, so that a module importing
    // the program back gets this very module. Weakly canonical, because the
    // "[eval]" of -e code names no file.
    std::error_code ignored;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(program.fileName, ignored);
    remember(module, canonical.empty() ? program.fileName : canonical.string());

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
                                                 v8::Local<v8::FixedArray> /*importAssertions*/,
                                                 v8::Local<v8::Module> referrer)
{
    auto* loader = static_cast<ModuleLoader*>(context->GetAlignedPointerFromEmbedderData(kLoaderSlot));
    v8::Isolate* isolate = context->GetIsolate();
    if (loader == nullptr) {
        isolate->ThrowException(
            v8::Exception::Error(js::V8Helper::v8_string("No module loader is attached to this context", isolate)));
        return {};
    }
    return loader->resolveImport(js::V8Helper::qor_string(specifier, isolate), referrer);
}

v8::MaybeLocal<v8::Module> ModuleLoader::resolveImport(const std::string& specifier, v8::Local<v8::Module> referrer)
{
    const std::optional<std::string> importer = fileOf(referrer);
    if (!importer) {
        failImport(specifier, "a module qorjs did not load", "its file is unknown");
        return {};
    }
    if (!isFileSpecifier(specifier)) {
        failImport(specifier, *importer, "only paths starting with ./, ../ or / can be imported");
        return {};
    }

    // An absolute specifier replaces the directory in the join.
    const std::filesystem::path candidate = std::filesystem::path(*importer).parent_path() / specifier;
    std::error_code error;
    const std::filesystem::path file = std::filesystem::canonical(candidate, error);
    if (error) {
        failImport(specifier, *importer, candidate.lexically_normal().string() + ": " + error.message());
        return {};
    }
    if (auto known = modulesByFile.find(file.string()); known != modulesByFile.end())
        return known->second.Get(isolate);
    return compileImport(specifier, *importer, file);
}

v8::MaybeLocal<v8::Module> ModuleLoader::compileImport(const std::string& specifier,
                                                       const std::string& importer,
                                                       const std::filesystem::path& file)
{
    const auto text = readFile(file);
    if (!text) {
        failImport(specifier, importer, text.error());
        return {};
    }

    v8::TryCatch tryCatch(isolate);
    const js::Source source{*text, file.string(), true};
    v8::Local<v8::Module> module = js::V8Engine::loadModule(loaderContext.Get(isolate), source);
    if (module.IsEmpty()) {
        if (!importFailure)
            importFailure = "qorjs: cannot import '" + specifier + "' from " + importer + ": it does not compile:\n" +
                            renderCaught(isolate, tryCatch, js::Error::Type::Compile, scriptUrl(isolate, source));
        // The syntax error goes on to V8, which stops linking with it.
        tryCatch.ReThrow();
        return {};
    }
    remember(module, file.string());
    return module;
}

void ModuleLoader::remember(v8::Local<v8::Module> module, const std::string& file)
{
    modulesByFile.emplace(file, v8::Global<v8::Module>(isolate, module));
    filesByModule.emplace(module->GetIdentityHash(), std::make_pair(v8::Global<v8::Module>(isolate, module), file));
}

std::optional<std::string> ModuleLoader::fileOf(v8::Local<v8::Module> module) const
{
    auto [first, last] = filesByModule.equal_range(module->GetIdentityHash());
    for (auto entry = first; entry != last; ++entry)
        if (entry->second.first == module)
            return entry->second.second;
    return std::nullopt;
}

void ModuleLoader::failImport(const std::string& specifier, const std::string& importer, const std::string& reason)
{
    const std::string text = "cannot import '" + specifier + "' from " + importer + ": " + reason;
    if (!importFailure)
        importFailure = "qorjs: " + text + "\n";
    isolate->ThrowException(v8::Exception::Error(js::V8Helper::v8_string(text, isolate)));
}

}  // namespace qorjs

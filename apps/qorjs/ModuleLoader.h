#pragma once

#include "Program.h"

#include <v8-context.h>
#include <v8-function-callback.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-promise.h>
#include <v8-script.h>

#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace qorjs {

// Loads the ES modules of one run from the file system: the program when it
// is a module, its static imports, and whatever any script of the run asks
// for with import().
//
// The library links modules with a resolver that the host brings; this is
// qorjs's. It resolves "./x.mjs", "../x.mjs" and absolute paths against the
// file of the importing script, and compiles every file once, keyed by its
// canonical path, so that import cycles, dependencies shared by several
// modules and a module imported both statically and with import() get one
// module each, as the language requires. A file imported with
// `assert { type: "json" }` becomes a module whose default export is the
// parsed JSON.
class ModuleLoader {
public:
    // Sets the V8 flags that the syntax of JSON imports needs. V8 reads them
    // as it starts, so this comes before the engine is first used.
    static void setEngineFlags();

    // Attaches the loader to `context` and its isolate for as long as it
    // lives: V8 calls the resolver and the import() and import.meta hooks as
    // plain functions, which find the loader through the context's embedder
    // data. One loader per isolate at a time. `program` is the script the
    // run starts with; an import() in it resolves against its file (for -e
    // code, the working directory).
    ModuleLoader(v8::Local<v8::Context> context, const ProgramText& program);
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // Compiles `program` as the root module and links it with everything it
    // imports. The module, ready to be evaluated, or the report of what went
    // wrong, ready to print: a syntax error in the program, or the specifier,
    // the importing file and the reason of an import that failed.
    std::expected<v8::Local<v8::Module>, std::string> load(const ProgramText& program);

private:
    enum class ModuleType { JavaScript, Json };

    struct Record {
        v8::Global<v8::Module> module;
        std::string file;
        std::string url;                  // the name V8 knows the module by
        v8::Global<v8::Value> jsonValue;  // a JSON module's default export
    };

    // ---- V8's callbacks (ModuleLoader.cc, ImportHooks.cc) -------------------
    static ModuleLoader* of(v8::Local<v8::Context> context);
    static v8::MaybeLocal<v8::Module> resolve(v8::Local<v8::Context> context,
                                              v8::Local<v8::String> specifier,
                                              v8::Local<v8::FixedArray> importAssertions,
                                              v8::Local<v8::Module> referrer);
    static v8::MaybeLocal<v8::Value> evaluateJson(v8::Local<v8::Context> context, v8::Local<v8::Module> module);
    static v8::MaybeLocal<v8::Promise> importDynamically(v8::Local<v8::Context> context,
                                                         v8::Local<v8::Data> hostDefinedOptions,
                                                         v8::Local<v8::Value> resourceName,
                                                         v8::Local<v8::String> specifier,
                                                         v8::Local<v8::FixedArray> importAssertions);
    static void continueImport(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void initializeImportMeta(v8::Local<v8::Context> context,
                                     v8::Local<v8::Module> module,
                                     v8::Local<v8::Object> meta);
    static void resolveForMeta(const v8::FunctionCallbackInfo<v8::Value>& info);

    // The module `specifier` names from the script `importer` (a file path),
    // compiled if it is new; empty, with an Error raised that names the
    // specifier, the importer and the reason, when it cannot be had. `type`
    // is the asserted module type, if any.
    v8::MaybeLocal<v8::Module> acquire(const std::string& specifier,
                                       const std::string& importer,
                                       const std::optional<std::string>& type);
    v8::MaybeLocal<v8::Module> compileJavaScript(const std::string& specifier,
                                                 const std::string& importer,
                                                 const std::filesystem::path& file,
                                                 const std::string& text);
    v8::MaybeLocal<v8::Module> compileJson(const std::string& specifier,
                                           const std::string& importer,
                                           const std::filesystem::path& file,
                                           const std::string& text);

    // Loads, links and evaluates what an import() asked for, and settles its
    // promise with the module's namespace or the reason it failed.
    void finishImport(v8::Local<v8::Promise::Resolver> resolver,
                      const std::string& specifier,
                      const std::string& importer,
                      const std::optional<std::string>& type);

    // The file of the script V8 names `resourceName`: one this run compiled,
    // or the path in a file: URL; the working directory stands in for a
    // script without a name.
    std::string importerOf(v8::Local<v8::Value> resourceName) const;
    std::string urlOf(const std::string& file) const;

    void remember(v8::Local<v8::Module> module,
                  ModuleType type,
                  const std::string& file,
                  const std::string& url,
                  v8::Local<v8::Value> jsonValue = {});
    const Record* recordOf(v8::Local<v8::Module> module) const;

    // Records why an import failed (the first failure is the one a static
    // load reports) and raises it in V8 so that linking stops.
    void failImport(const std::string& specifier, const std::string& importer, const std::string& reason);

    v8::Isolate* isolate;
    v8::Global<v8::Context> loaderContext;
    std::map<std::pair<ModuleType, std::string>, v8::Global<v8::Module>> modulesByFile;
    // Identity hash to record; hashes can collide, so each record keeps its
    // module to compare.
    std::unordered_multimap<int, Record> records;
    std::map<std::string, std::string> filesByUrl;
    std::optional<std::string> importFailure;
};

}  // namespace qorjs

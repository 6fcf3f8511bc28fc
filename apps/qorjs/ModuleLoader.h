#pragma once

#include "Program.h"

#include <v8-context.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-script.h>

#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

namespace qorjs {

// Loads an ES module program from the file system for one run.
//
// The library links modules with a resolver that the host brings; this is
// qorjs's. It resolves "./x.mjs", "../x.mjs" and absolute paths against the
// file of the importing module, and compiles every file once, keyed by its
// canonical path, so that import cycles and dependencies shared by several
// modules get one module each, as the language requires.
class ModuleLoader {
public:
    // Attaches the loader to `context` for as long as it lives: V8 calls the
    // resolver as a plain function, which finds the loader through the
    // context's embedder data. One loader per context at a time.
    explicit ModuleLoader(v8::Local<v8::Context> context);
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // Compiles `program` as the root module and links it with everything it
    // imports. The module, ready to be evaluated, or the report of what went
    // wrong, ready to print: a syntax error in the program, or the specifier,
    // the importing file and the reason of an import that failed.
    std::expected<v8::Local<v8::Module>, std::string> load(const ProgramText& program);

private:
    static v8::MaybeLocal<v8::Module> resolve(v8::Local<v8::Context> context,
                                              v8::Local<v8::String> specifier,
                                              v8::Local<v8::FixedArray> importAssertions,
                                              v8::Local<v8::Module> referrer);

    v8::MaybeLocal<v8::Module> resolveImport(const std::string& specifier, v8::Local<v8::Module> referrer);
    v8::MaybeLocal<v8::Module> compileImport(const std::string& specifier,
                                             const std::string& importer,
                                             const std::filesystem::path& file);
    void remember(v8::Local<v8::Module> module, const std::string& file);
    std::optional<std::string> fileOf(v8::Local<v8::Module> module) const;

    // Records why an import failed (the first failure is the one V8 reports)
    // and raises it in V8 so that linking stops.
    void failImport(const std::string& specifier, const std::string& importer, const std::string& reason);

    v8::Isolate* isolate;
    v8::Global<v8::Context> loaderContext;
    std::map<std::string, v8::Global<v8::Module>> modulesByFile;
    // Identity hash to module and file; hashes can collide, so each entry
    // keeps its module to compare.
    std::unordered_multimap<int, std::pair<v8::Global<v8::Module>, std::string>> filesByModule;
    std::optional<std::string> importFailure;
};

}  // namespace qorjs

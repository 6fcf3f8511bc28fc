#pragma once

// The runtime's ES module loader: the modules of one isolate, each compiled
// once and kept by URL and type, so that import cycles, dependencies shared
// by several modules and a module imported both statically and with import()
// get one module each, as the language requires. Where the modules come from
// is the ModuleSource's business.

#include <qor/javascript/CodeCache.h>
#include <qor/javascript/Error.h>
#include <qor/javascript/ModuleSource.h>

#include <v8-context.h>
#include <v8-function-callback.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-promise.h>
#include <v8-script.h>

#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qor::format::engine::javascript {

class ModuleLoader {
public:
    // Serves `isolate`'s imports from `source`, and its import() and
    // import.meta, while it lives.
    ModuleLoader(v8::Isolate* isolate, ModuleSource source, std::shared_ptr<CompileCache> cache = {});
    ~ModuleLoader();
    ModuleLoader(const ModuleLoader&) = delete;
    ModuleLoader& operator=(const ModuleLoader&) = delete;

    // The JavaScript module at `url`, linked with everything it imports:
    // compiled from `code` when given, else from the source's text, unless a
    // module of that URL is known already. On failure, the record (type
    // Compile) of what V8 raised, its message naming the import that failed.
    std::expected<v8::Local<v8::Module>, Error> load(v8::Local<v8::Context> context,
                                                     const std::string& url,
                                                     const std::string* code);

    // A promise for the evaluation of the linked `module`, as import() sees
    // it: rejected with what the module, or its cycle, threw. Empty when a
    // limit or the host stopped it, with what V8Engine::evaluateModule left.
    v8::MaybeLocal<v8::Promise> evaluate(v8::Local<v8::Context> context, v8::Local<v8::Module> module);

    // Stores the code cache of each module from a file compiled without one
    // so far: called once they have run, so that the cache holds the
    // functions compiled while they ran.
    void saveCaches();

    // The callbacks of the functions import() and import.meta make, which a
    // startup snapshot must know.
    static void addExternalReferences(std::vector<std::intptr_t>& table);

    // Whether any module was loaded.
    bool loadedAny() const { return !records.empty(); }

    // Whether the JavaScript module at `url` is loaded already.
    bool knows(const std::string& url) const { return records.contains({Type::JavaScript, url}); }

    // How the runtime names a module in messages: its path, for a file.
    static std::string displayName(const std::string& url);

private:
    enum class Type { JavaScript, Json };

    struct Record {
        v8::Global<v8::Module> module;
        std::string url;
        Type type = Type::JavaScript;
        v8::Global<v8::Value> jsonValue;  // a JSON module's default export
        // What each import resolved to, by request (specifier and type).
        std::map<std::string, Record*> imports;
        // The module whose evaluation this one's cycle shares: V8 hands an
        // evaluation of this module on to it.
        v8::Global<v8::Module> cycleRoot;
        // Marks of the walk that finds the cycles.
        int index = -1, lowLink = -1;
        bool onStack = false;
    };

    // ---- V8's callbacks (ModuleLoader.cc, ImportHooks.cc) ----------------------
    static ModuleLoader* of(v8::Isolate* isolate);
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

    // The module `specifier` names from the script at `referrerUrl`, compiled
    // if it is new; empty, with an exception pending that names the specifier,
    // the importer and the reason, when it cannot be had.
    v8::MaybeLocal<v8::Module> acquire(v8::Local<v8::Context> context,
                                       const std::string& specifier,
                                       const std::string& referrerUrl,
                                       const std::optional<std::string>& type);
    v8::MaybeLocal<v8::Module> compile(v8::Local<v8::Context> context,
                                       const std::string& url,
                                       Type type,
                                       const std::string& text,
                                       const std::string& failurePrefix);

    // Loads, links and evaluates what an import() asked for, and settles its
    // promise with the module's namespace or the reason it failed.
    void finishImport(v8::Local<v8::Context> context,
                      v8::Local<v8::Promise::Resolver> resolver,
                      const std::string& specifier,
                      const std::string& referrerUrl,
                      const std::optional<std::string>& type);

    // The source's answers; a C++ exception from it is its failure.
    std::expected<std::string, std::string> resolveUrl(const std::string& specifier, const std::string& referrerUrl);
    std::expected<std::string, std::string> loadText(const std::string& url);

    Record& remember(v8::Local<v8::Module> module, Type type, const std::string& url, v8::Local<v8::Value> jsonValue);
    Record* recordFor(v8::Local<v8::Module> module);

    // Notes, for each module that evaluating `root` will evaluate, the first
    // module of its cycle as V8 walks the graph.
    void findCycleRoots(v8::Local<v8::Context> context, Record& root);
    void walk(v8::Local<v8::Context> context, Record& record, int& index, std::vector<Record*>& stack);

    v8::Isolate* isolate;
    ModuleSource source;
    std::shared_ptr<CompileCache> cache;
    // Modules compiled without a cache entry, for saveCaches.
    struct Unsaved {
        v8::Global<v8::Module> module;
        std::string url;
        std::string text;
    };
    std::vector<Unsaved> unsaved;
    std::map<std::pair<Type, std::string>, std::unique_ptr<Record>> records;
    // Identity hash to record; hashes can collide, so each record keeps its
    // module to compare.
    std::unordered_multimap<int, Record*> byHash;
    // While load() links a graph: its first failure is what it reports,
    // with the position V8 gave it.
    bool linkingStatically = false;
};

}  // namespace qor::format::engine::javascript

#pragma once

#include <qor/javascript/Error.h>
#include <qor/javascript/Export.h>
#include <qor/javascript/Source.h>

#include <v8-context.h>
#include <v8-local-handle.h>
#include <v8-script.h>

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// What became of the code cache a compile was given.
enum class CacheUse {
    // None was given: compiled from the source.
    None,
    // V8 used the cached code.
    Accepted,
    // Refused (made for another text, another V8, other flags, or damaged):
    // compiled from the source as if none had been given.
    Rejected,
};

// V8's compiled code for one source text, in a wrapping that lets it be used
// only for that text, by this V8 with these flags. The wrapping holds V8's
// version-and-flags tag, the text's length and hash, and a checksum of V8's
// bytes, all checked before V8 sees them: V8 itself compares only the text's
// length, and in release builds checks no checksum, so a cache for an edited
// file of the same length, or damaged bytes, would otherwise run.
class CodeCache {
public:
    CodeCache() = default;

    // The cache of a compiled classic script whose text is `code`. Made
    // after the script ran, it also holds the functions compiled while it
    // ran, so that a later start skips compiling those too.
    QORJS_API static CodeCache of(v8::Local<v8::UnboundScript> script, std::string_view code);
    // The cache of a compiled ES module whose text is `code`; as above.
    QORJS_API static CodeCache of(v8::Local<v8::Module> module, std::string_view code);
    // Bytes that bytes() gave, read back from where the host kept them.
    // They are checked when used, not here.
    QORJS_API static CodeCache fromBytes(std::vector<std::uint8_t> bytes);

    // The bytes to keep: the wrapping, then V8's own.
    const std::vector<std::uint8_t>& bytes() const { return data; }
    bool empty() const { return data.empty(); }

    // Whether these bytes can be used for `code` as a classic script
    // (`module` false) or a module: why not, when they cannot.
    QORJS_API std::expected<void, std::string> check(std::string_view code, bool module) const;

private:
    std::vector<std::uint8_t> data;
};

// A classic script compiled with a cache, and what became of the cache.
struct CompiledScript {
    v8::Local<v8::Script> script;
    CacheUse cache = CacheUse::None;
};

// A module compiled with a cache, and what became of the cache.
struct CompiledModule {
    v8::Local<v8::Module> module;
    CacheUse cache = CacheUse::None;
};

// Compiles `source` (a classic script) in `context`, from `cache` when it is
// one for this text, this V8 and its flags. A compile error is a Compile
// Error as V8Engine's operations make it. Needs a v8::HandleScope.
QORJS_API std::expected<CompiledScript, Error> compileScript(v8::Local<v8::Context> context,
                                                             const Source& source,
                                                             const CodeCache& cache = {});

// Compiles `source` (an ES module) in `isolate`, as compileScript does.
QORJS_API std::expected<CompiledModule, Error> compileModule(v8::Isolate* isolate,
                                                             const Source& source,
                                                             const CodeCache& cache = {});

// A directory of code caches, one file per source, that a V8Runtime uses for
// the scripts and modules it loads from files (V8Runtime::Settings::
// compileCache), or a host for its own. May be shared by runtimes on several
// threads and by several processes.
//
// A source has one entry, its file named by a hash of the source's name.
// What the entry was made from is checked before it is used (see
// CodeCache): an edited file's entry is refused, the file compiled as usual,
// and the entry replaced, so the text is hashed once per start and stale
// entries do not pile up. An entry is written to a temporary file in the
// directory and renamed into place: a reader finds a whole entry or none,
// also when a process died while writing or two wrote the same entry at once.
class CompileCache {
public:
    // Told why the cache cannot be used, once per CompileCache; the cache is
    // then off and runs go on without it.
    using Warn = std::function<void(std::string_view text)>;

    // Uses `directory`, made when missing. An empty `warn` writes the warning
    // to standard error.
    QORJS_API explicit CompileCache(std::filesystem::path directory, Warn warn = {});

    // The entry for the source named `name` (a path or URL) with text `code`,
    // to be checked as compileScript and compileModule do; empty when there
    // is none or the cache is off.
    QORJS_API CodeCache read(std::string_view name, std::string_view code);
    // Stores `cache`, made from `code`, as that entry; false when it could
    // not be (then warned).
    QORJS_API bool write(std::string_view name, std::string_view code, const CodeCache& cache);
    // Counts what a compile made of an entry, for counts().
    QORJS_API void count(CacheUse use);

    // How the cache was used so far: hits, sources that had no entry, entries
    // refused, entries written.
    struct Counts {
        std::uint64_t hits = 0;
        std::uint64_t misses = 0;
        std::uint64_t rejected = 0;
        std::uint64_t written = 0;
    };
    QORJS_API Counts counts() const;
    // False once the directory turned out unusable.
    QORJS_API bool usable() const;
    const std::filesystem::path& directory() const { return where; }

private:
    std::filesystem::path entryFor(std::string_view name) const;
    void turnOff(const std::string& why);

    std::filesystem::path where;
    Warn warn;
    std::atomic<bool> off{false};
    std::once_flag warned;
    std::atomic<std::uint64_t> hits{0}, misses{0}, rejected{0}, written{0};
};

}  // namespace qor::format::engine::javascript

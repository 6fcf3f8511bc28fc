#include <qor/javascript/CodeCache.h>

#include <qor/javascript/V8Helper.h>

#include "cache/Compiling.h"
#include "cache/Hash.h"

#include <qor/javascript/Exception.h>

#include <v8-exception.h>

#include <cstring>
#include <memory>

namespace qor::format::engine::javascript {

namespace {

// The wrapping in front of V8's bytes, written as the machine lays it out: a
// cache is only ever read back where V8's own bytes can be, on the same kind
// of machine.
struct Wrapping {
    char magic[8];
    std::uint32_t v8Tag;
    std::uint32_t kind;
    std::uint64_t textLength;
    std::uint64_t textHash;
    std::uint64_t payloadLength;
    std::uint64_t payloadHash;
};
static_assert(sizeof(Wrapping) == 48);

constexpr char kMagic[8] = {'Q', 'J', 'S', 'C', 'O', 'D', 'E', '1'};
enum Kind : std::uint32_t { kScript = 1, kModule = 2 };

CodeCache wrap(std::unique_ptr<v8::ScriptCompiler::CachedData> cached, std::string_view code, Kind kind)
{
    if (!cached || cached->length <= 0)
        return {};
    Wrapping wrapping{};
    std::memcpy(wrapping.magic, kMagic, sizeof kMagic);
    wrapping.v8Tag = v8::ScriptCompiler::CachedDataVersionTag();
    wrapping.kind = kind;
    wrapping.textLength = code.size();
    wrapping.textHash = hashText(code);
    wrapping.payloadLength = static_cast<std::uint64_t>(cached->length);
    wrapping.payloadHash = hashBytes(cached->data, static_cast<std::size_t>(cached->length));
    std::vector<std::uint8_t> bytes(sizeof wrapping + static_cast<std::size_t>(cached->length));
    std::memcpy(bytes.data(), &wrapping, sizeof wrapping);
    std::memcpy(bytes.data() + sizeof wrapping, cached->data, static_cast<std::size_t>(cached->length));
    return CodeCache::fromBytes(std::move(bytes));
}

// V8's bytes in `cache`, for V8 to read (it copies nothing: the CachedData
// only points into `cache`, which outlives the compile).
std::unique_ptr<v8::ScriptCompiler::CachedData> payloadOf(const CodeCache& cache)
{
    const std::vector<std::uint8_t>& bytes = cache.bytes();
    return std::make_unique<v8::ScriptCompiler::CachedData>(bytes.data() + sizeof(Wrapping),
                                                            static_cast<int>(bytes.size() - sizeof(Wrapping)),
                                                            v8::ScriptCompiler::CachedData::BufferNotOwned);
}

}  // namespace

CodeCache CodeCache::of(v8::Local<v8::UnboundScript> script, std::string_view code)
{
    if (script.IsEmpty())
        return {};
    return wrap(std::unique_ptr<v8::ScriptCompiler::CachedData>(v8::ScriptCompiler::CreateCodeCache(script)), code,
                kScript);
}

CodeCache CodeCache::of(v8::Local<v8::Module> module, std::string_view code)
{
    if (module.IsEmpty() || !module->IsSourceTextModule())
        return {};
    return wrap(std::unique_ptr<v8::ScriptCompiler::CachedData>(
                    v8::ScriptCompiler::CreateCodeCache(module->GetUnboundModuleScript())),
                code, kModule);
}

CodeCache CodeCache::fromBytes(std::vector<std::uint8_t> bytes)
{
    CodeCache cache;
    cache.data = std::move(bytes);
    return cache;
}

std::expected<void, std::string> CodeCache::check(std::string_view code, bool module) const
{
    Wrapping wrapping;
    if (data.size() < sizeof wrapping)
        return std::unexpected(std::string("not a code cache: too short"));
    std::memcpy(&wrapping, data.data(), sizeof wrapping);
    if (std::memcmp(wrapping.magic, kMagic, sizeof kMagic) != 0)
        return std::unexpected(std::string("not a code cache of this library"));
    if (wrapping.kind != (module ? kModule : kScript))
        return std::unexpected(std::string(module ? "the cache is of a classic script, not a module"
                                                  : "the cache is of a module, not a classic script"));
    if (wrapping.v8Tag != v8::ScriptCompiler::CachedDataVersionTag())
        return std::unexpected(std::string("made by another V8 or with other V8 flags"));
    if (wrapping.textLength != code.size() || wrapping.textHash != hashText(code))
        return std::unexpected(std::string("made for another source text"));
    if (wrapping.payloadLength != data.size() - sizeof wrapping || wrapping.payloadLength > 0x7fffffffu)
        return std::unexpected(std::string("damaged: its length is wrong"));
    if (wrapping.payloadHash != hashBytes(data.data() + sizeof wrapping, data.size() - sizeof wrapping))
        return std::unexpected(std::string("damaged: its checksum is wrong"));
    return {};
}

// ---- Compiling --------------------------------------------------------------------

ScriptCompiling compileScriptWith(v8::Local<v8::Context> context,
                                  v8::Local<v8::String> code,
                                  const v8::ScriptOrigin& origin,
                                  std::string_view text,
                                  const CodeCache& cache,
                                  bool eager)
{
    if (cache.empty() || !cache.check(text, false)) {
        v8::ScriptCompiler::Source source(code, origin);
        return {v8::ScriptCompiler::Compile(context, &source,
                                            eager ? v8::ScriptCompiler::kEagerCompile
                                                  : v8::ScriptCompiler::kNoCompileOptions),
                cache.empty() ? CacheUse::None : CacheUse::Rejected};
    }
    // Source takes the CachedData and deletes it; it points into `cache`.
    v8::ScriptCompiler::Source source(code, origin, payloadOf(cache).release());
    ScriptCompiling compiled{v8::ScriptCompiler::Compile(context, &source, v8::ScriptCompiler::kConsumeCodeCache)};
    compiled.cache = source.GetCachedData()->rejected ? CacheUse::Rejected : CacheUse::Accepted;
    return compiled;
}

ModuleCompiling compileModuleWith(v8::Isolate* isolate,
                                  v8::Local<v8::String> code,
                                  const v8::ScriptOrigin& origin,
                                  std::string_view text,
                                  const CodeCache& cache)
{
    if (cache.empty() || !cache.check(text, true)) {
        v8::ScriptCompiler::Source source(code, origin);
        return {v8::ScriptCompiler::CompileModule(isolate, &source),
                cache.empty() ? CacheUse::None : CacheUse::Rejected};
    }
    v8::ScriptCompiler::Source source(code, origin, payloadOf(cache).release());
    ModuleCompiling compiled{
        v8::ScriptCompiler::CompileModule(isolate, &source, v8::ScriptCompiler::kConsumeCodeCache)};
    compiled.cache = source.GetCachedData()->rejected ? CacheUse::Rejected : CacheUse::Accepted;
    return compiled;
}

std::expected<CompiledScript, Error> compileScript(v8::Local<v8::Context> context,
                                                   const Source& source,
                                                   const CodeCache& cache)
{
    v8::Isolate* isolate = context->GetIsolate();
    if (source.isModule)
        return std::unexpected(V8Error::get(Error::Type::Compile, nullptr,
                                            "A module cannot compile as a classic script: use compileModule"));
    v8::Local<v8::String> code = V8Helper::v8_string(source.code, isolate);
    if (code.IsEmpty())
        return std::unexpected(V8Error::get(Error::Type::Compile, nullptr,
                                            "The script text is longer than V8's maximum string length"));
    v8::TryCatch tryCatch(isolate);
    ScriptCompiling compiled = compileScriptWith(context, code, source.getV8Origin(isolate), source.code, cache);
    CompiledScript result{{}, compiled.cache};
    if (!compiled.script.ToLocal(&result.script))
        return std::unexpected(V8Error::get(Error::Type::Compile, isolate, tryCatch));
    return result;
}

std::expected<CompiledModule, Error> compileModule(v8::Isolate* isolate, const Source& source, const CodeCache& cache)
{
    if (!source.isModule)
        return std::unexpected(V8Error::get(Error::Type::Compile, nullptr,
                                            "A classic script cannot compile as a module: use compileScript"));
    v8::Local<v8::String> code = V8Helper::v8_string(source.code, isolate);
    if (code.IsEmpty())
        return std::unexpected(V8Error::get(Error::Type::Compile, nullptr,
                                            "The module text is longer than V8's maximum string length"));
    v8::TryCatch tryCatch(isolate);
    ModuleCompiling compiled = compileModuleWith(isolate, code, source.getV8Origin(isolate), source.code, cache);
    CompiledModule result{{}, compiled.cache};
    if (!compiled.module.ToLocal(&result.module))
        return std::unexpected(V8Error::get(Error::Type::Compile, isolate, tryCatch));
    return result;
}

}  // namespace qor::format::engine::javascript

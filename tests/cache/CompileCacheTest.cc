// Code caches as a host uses them: a cache for the very text is taken and
// changes nothing but the compile, any other (another text, even one of the
// same length, damaged bytes, other flags, the other kind of source) is
// refused and the source compiled as usual; and the on-disk CompileCache a
// runtime uses, with writers in several processes at once and a directory
// that cannot be used.
#include <qor/javascript/QorJavaScript.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;
using namespace ::testing;

// Where V8's flags tag sits in the bytes of a CodeCache: after the 8 bytes
// of its magic.
constexpr std::size_t kTagOffset = 8;
// The wrapping in front of V8's own bytes.
constexpr std::size_t kWrappingSize = 48;

// A directory of its own for each test, removed after it.
class TempDirectory {
public:
    TempDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "qorjs-cache-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path = pattern;
    }
    ~TempDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    // The names of the files in `folder` (the directory itself by default).
    std::vector<std::string> files(const fs::path& folder = {}) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.empty() ? path : folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path path;
};

void writeText(const fs::path& file, std::string_view text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::uint8_t> readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A runtime, and compiling and running sources in it with a cache.
struct Host {
    explicit Host(js::V8Runtime::Settings settings = {}) : runtime(std::move(settings)) {}

    struct Ran {
        js::CacheUse cache = js::CacheUse::None;
        // The completion value as a console shows it; "error: <message>".
        std::string value;
    };

    Ran script(std::string_view code, const js::CodeCache& cache = {}, js::CodeCache* made = nullptr)
    {
        js::V8Runtime::Scope scope(runtime);
        auto compiled = js::compileScript(runtime.context(), {code, "/test/cached.js"}, cache);
        if (!compiled)
            return {js::CacheUse::None, "error: " + compiled.error().message};
        v8::Local<v8::Value> value;
        if (!compiled->script->Run(runtime.context()).ToLocal(&value))
            return {compiled->cache, "error: the script threw"};
        if (made != nullptr)
            *made = js::CodeCache::of(compiled->script->GetUnboundScript(), code);
        return {compiled->cache, runtime.inspect(value)};
    }

    // Compiles `code` as a module without imports, evaluates it and shows
    // its `value` export.
    Ran module(std::string_view code, const js::CodeCache& cache = {}, js::CodeCache* made = nullptr)
    {
        js::V8Runtime::Scope scope(runtime);
        auto compiled = js::compileModule(runtime.isolate(), {code, "/test/cached.mjs", true}, cache);
        if (!compiled)
            return {js::CacheUse::None, "error: " + compiled.error().message};
        v8::Local<v8::Module> module = compiled->module;
        auto noImports = [](v8::Local<v8::Context>, v8::Local<v8::String>, v8::Local<v8::FixedArray>,
                            v8::Local<v8::Module>) { return v8::MaybeLocal<v8::Module>(); };
        v8::Local<v8::Value> evaluated;
        if (!module->InstantiateModule(runtime.context(), noImports).FromMaybe(false) ||
            !module->Evaluate(runtime.context()).ToLocal(&evaluated) || !runtime.await(evaluated))
            return {compiled->cache, "error: the module did not run"};
        if (made != nullptr)
            *made = js::CodeCache::of(module, code);
        auto exports = module->GetModuleNamespace().As<v8::Object>();
        v8::Local<v8::Value> value;
        if (!exports->Get(runtime.context(), js::V8Helper::v8_string("value", runtime.isolate())).ToLocal(&value))
            return {compiled->cache, "error: no value"};
        return {compiled->cache, runtime.inspect(value)};
    }

    // runScript of `code` known as `file`, as the runtime's own cache sees it.
    std::string run(std::string_view code, std::string file)
    {
        js::V8Runtime::Scope scope(runtime);
        auto result = runtime.runScript({code, std::move(file)});
        return result ? runtime.inspect(*result) : "error: " + result.error().message;
    }

    js::V8Runtime runtime;
};

// A script with functions that only compile when called, so that a cache
// made after the run holds more than one made before it.
const std::string kScript = "function square(x) { return x * x; }\n"
                            "function sum(n) { let s = 0; for (let i = 1; i <= n; i++) s += square(i); return s; }\n"
                            "({ total: sum(10), kind: typeof square })";
const std::string kModule = "const base = [1, 2, 3];\n"
                            "function scale(k) { return base.map(x => x * k); }\n"
                            "export const value = scale(7).join('-');";

js::CodeCache cacheOfScript(const std::string& code)
{
    Host host;
    js::CodeCache made;
    host.script(code, {}, &made);
    return made;
}

// Why `cache` cannot be used for `code`; `otherwise` when it can.
std::string why(const js::CodeCache& cache, std::string_view code, bool module, std::string otherwise)
{
    auto checked = cache.check(code, module);
    return checked ? otherwise : checked.error();
}

js::CodeCache changed(const js::CodeCache& cache, const std::function<void(std::vector<std::uint8_t>&)>& change)
{
    std::vector<std::uint8_t> bytes = cache.bytes();
    change(bytes);
    return js::CodeCache::fromBytes(std::move(bytes));
}

// ---- A cache for the same text -------------------------------------------------

TEST(CodeCacheHit, ACacheOfTheSameTextIsAcceptedAndTheResultIsTheSame)
{
    Host host;
    js::CodeCache made;
    const Host::Ran first = host.script(kScript, {}, &made);
    EXPECT_EQ(first.cache, js::CacheUse::None);
    EXPECT_EQ(first.value, "{ total: 385, kind: 'function' }");
    ASSERT_FALSE(made.empty());
    EXPECT_TRUE(made.check(kScript, false));

    // In another runtime, from the bytes a host would have kept.
    Host later;
    const Host::Ran cached = later.script(kScript, js::CodeCache::fromBytes(made.bytes()));
    EXPECT_EQ(cached.cache, js::CacheUse::Accepted);
    EXPECT_EQ(cached.value, first.value);
}

TEST(CodeCacheHit, AnEmptyScriptHasACacheLikeAnyOther)
{
    // No text at all: its view points nowhere.
    const std::string_view empty;
    Host host;
    js::CodeCache made;
    EXPECT_EQ(host.script(empty, {}, &made).value, "undefined");
    ASSERT_FALSE(made.empty());
    EXPECT_TRUE(made.check(empty, false));
    EXPECT_EQ(Host().script(empty, made).cache, js::CacheUse::Accepted);
    EXPECT_EQ(Host().script(" ", made).cache, js::CacheUse::Rejected);
}

TEST(CodeCacheHit, AModuleCacheOfTheSameTextIsAcceptedAndTheModuleRunsTheSame)
{
    Host host;
    js::CodeCache made;
    const Host::Ran first = host.module(kModule, {}, &made);
    EXPECT_EQ(first.cache, js::CacheUse::None);
    EXPECT_EQ(first.value, "'7-14-21'");
    ASSERT_FALSE(made.empty());

    Host later;
    const Host::Ran cached = later.module(kModule, js::CodeCache::fromBytes(made.bytes()));
    EXPECT_EQ(cached.cache, js::CacheUse::Accepted);
    EXPECT_EQ(cached.value, first.value);
}

// ---- A cache for another text ----------------------------------------------------

TEST(CodeCacheMiss, AnEditedTextIsCompiledFromItsSourceEvenWhenItKeptItsLength)
{
    const std::string before = "(function () { return 6 * 7; })()";
    const std::string after = "(function () { return 6 * 8; })()";
    ASSERT_EQ(before.size(), after.size());
    const js::CodeCache cache = cacheOfScript(before);

    // V8 alone compares only the length of the text, so its bytes alone run
    // the old code for the new text: the wrapping's hash is what stops that.
    // (In a runtime of its own: V8 keeps what it compiled for a text and
    // would hand that out again for the same text in the same isolate.)
    {
        Host host;
        js::V8Runtime::Scope scope(host.runtime);
        v8::Isolate* isolate = host.runtime.isolate();
        const std::vector<std::uint8_t>& bytes = cache.bytes();
        auto* data = new v8::ScriptCompiler::CachedData(bytes.data() + kWrappingSize,
                                                        static_cast<int>(bytes.size() - kWrappingSize));
        v8::ScriptOrigin origin(isolate, js::V8Helper::v8_string("/test/cached.js", isolate));
        v8::ScriptCompiler::Source source(js::V8Helper::v8_string(after, isolate), origin, data);
        auto script = v8::ScriptCompiler::Compile(host.runtime.context(), &source,
                                                  v8::ScriptCompiler::kConsumeCodeCache)
                          .ToLocalChecked();
        EXPECT_FALSE(source.GetCachedData()->rejected);
        EXPECT_EQ(host.runtime.inspect(script->Run(host.runtime.context()).ToLocalChecked()), "42");
    }

    EXPECT_EQ(why(cache, after, false, ""), "made for another source text");
    Host host;
    const Host::Ran ran = host.script(after, cache);
    EXPECT_EQ(ran.cache, js::CacheUse::Rejected);
    EXPECT_EQ(ran.value, "48");

    const Host::Ran longer = host.script("(function () { return 6 * 9; })() ", cache);
    EXPECT_EQ(longer.cache, js::CacheUse::Rejected);
    EXPECT_EQ(longer.value, "54");
}

// ---- A refused cache -------------------------------------------------------------

TEST(CodeCacheRejected, DamagedForeignOrMismatchedCachesAreRefusedAndTheSourceCompiledAsUsual)
{
    const js::CodeCache good = cacheOfScript(kScript);
    ASSERT_GT(good.bytes().size(), kWrappingSize + 16);
    js::CodeCache moduleCache;
    Host().module(kModule, {}, &moduleCache);

    struct Case {
        const char* what;
        js::CodeCache cache;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"a payload byte flipped",
         changed(good, [](auto& bytes) { bytes[kWrappingSize + (bytes.size() - kWrappingSize) / 2] ^= 0x10; }),
         "damaged: its checksum is wrong"},
        {"the payload's last byte flipped", changed(good, [](auto& bytes) { bytes.back() ^= 1; }),
         "damaged: its checksum is wrong"},
        {"other V8 flags",
         changed(good,
                 [](auto& bytes) {
                     std::uint32_t tag;
                     std::memcpy(&tag, bytes.data() + kTagOffset, sizeof tag);
                     tag ^= 0x5a5a5a5a;
                     std::memcpy(bytes.data() + kTagOffset, &tag, sizeof tag);
                 }),
         "made by another V8 or with other V8 flags"},
        {"cut short", changed(good, [](auto& bytes) { bytes.erase(bytes.end() - 7, bytes.end()); }),
         "damaged: its length is wrong"},
        {"one byte more", changed(good, [](auto& bytes) { bytes.push_back(0); }), "damaged: its length is wrong"},
        {"only the wrapping", changed(good, [](auto& bytes) { bytes.resize(kWrappingSize); }),
         "damaged: its length is wrong"},
        {"shorter than the wrapping", changed(good, [](auto& bytes) { bytes.resize(kWrappingSize - 1); }),
         "not a code cache: too short"},
        {"random bytes", changed(good, [](auto& bytes) {
             for (std::size_t at = 0; at < bytes.size(); ++at)
                 bytes[at] = static_cast<std::uint8_t>(at * 131 + 17);
         }),
         "not a code cache of this library"},
        {"a module's cache", moduleCache, "the cache is of a module, not a classic script"},
    };
    Host host;
    for (const Case& each : cases) {
        ASSERT_FALSE(each.cache.empty()) << each.what;
        EXPECT_EQ(why(each.cache, kScript, false, "accepted"), each.why) << each.what;
        const Host::Ran ran = host.script(kScript, each.cache);
        EXPECT_EQ(ran.cache, js::CacheUse::Rejected) << each.what;
        EXPECT_EQ(ran.value, "{ total: 385, kind: 'function' }") << each.what;
    }

    // Each bit of the wrapping counts.
    for (std::size_t bit = 0; bit < kWrappingSize * 8; ++bit) {
        const js::CodeCache flipped =
            changed(good, [bit](auto& bytes) { bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8)); });
        EXPECT_FALSE(flipped.check(kScript, false)) << "bit " << bit;
    }

    // A script's cache for a module, the other way round.
    EXPECT_EQ(why(good, kModule, true, "accepted"), "the cache is of a classic script, not a module");
    const Host::Ran asModule = host.module(kModule, good);
    EXPECT_EQ(asModule.cache, js::CacheUse::Rejected);
    EXPECT_EQ(asModule.value, "'7-14-21'");
    // No cache at all is no refusal.
    EXPECT_EQ(host.script(kScript, js::CodeCache::fromBytes({})).cache, js::CacheUse::None);
}

TEST(CodeCacheRejected, AFailedCompileIsACompileErrorWithOrWithoutACache)
{
    Host host;
    const std::string broken = "let = = 1;";
    for (const js::CodeCache& cache : {js::CodeCache(), cacheOfScript("let x = 1;")}) {
        js::V8Runtime::Scope scope(host.runtime);
        auto compiled = js::compileScript(host.runtime.context(), {broken, "/test/broken.js"}, cache);
        ASSERT_FALSE(compiled);
        EXPECT_EQ(compiled.error().type, js::Error::Type::Compile);
        EXPECT_THAT(compiled.error().message, HasSubstr("SyntaxError"));
    }
    js::V8Runtime::Scope scope(host.runtime);
    EXPECT_FALSE(js::compileScript(host.runtime.context(), {"export {};", "/m.mjs", true}));
    EXPECT_FALSE(js::compileModule(host.runtime.isolate(), {"1", "/s.js", false}));
}

// ---- The runtime's cache -----------------------------------------------------------

struct Warnings {
    js::CompileCache::Warn sink()
    {
        return [this](std::string_view text) { seen.emplace_back(text); };
    }
    std::vector<std::string> seen;
};

std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t> countsOf(const js::CompileCache& cache)
{
    const js::CompileCache::Counts counts = cache.counts();
    return {counts.hits, counts.misses, counts.rejected, counts.written};
}

TEST(RuntimeCompileCache, TheFirstRunWritesAnEntryAndTheNextRunsUseIt)
{
    TempDirectory directory;
    Warnings warnings;
    auto cache = std::make_shared<js::CompileCache>(directory.path / "made/here", warnings.sink());
    ASSERT_TRUE(cache->usable());
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;

    {
        Host first(settings);
        EXPECT_EQ(first.run(kScript, "/app/lib.js"), "{ total: 385, kind: 'function' }");
        // (hits, misses, rejected, written)
        EXPECT_EQ(countsOf(*cache), std::make_tuple(0, 1, 0, 1));
        // A script without a file name is not cached.
        EXPECT_EQ(first.run("1 + 1", ""), "2");
        EXPECT_EQ(countsOf(*cache), std::make_tuple(0, 1, 0, 1));
    }
    ASSERT_THAT(directory.files(directory.path / "made/here"), ElementsAre(EndsWith(".qjscache")));

    for (int round = 0; round < 2; ++round) {
        Host next(settings);
        EXPECT_EQ(next.run(kScript, "/app/lib.js"), "{ total: 385, kind: 'function' }");
    }
    EXPECT_EQ(countsOf(*cache), std::make_tuple(2, 1, 0, 1));

    // Another CompileCache on the same directory (another process, later)
    // finds the entry; the same text under another name does not.
    auto again = std::make_shared<js::CompileCache>(directory.path / "made/here", warnings.sink());
    settings.compileCache = again;
    Host other(settings);
    EXPECT_EQ(other.run(kScript, "/app/lib.js"), "{ total: 385, kind: 'function' }");
    EXPECT_EQ(other.run(kScript, "/app/copy.js"), "{ total: 385, kind: 'function' }");
    EXPECT_EQ(countsOf(*again), std::make_tuple(1, 1, 0, 1));
    EXPECT_THAT(warnings.seen, IsEmpty());
}

TEST(RuntimeCompileCache, AnEditedFileRefusesItsEntryWhichIsReplacedAndSoIsADamagedEntry)
{
    TempDirectory directory;
    auto cache = std::make_shared<js::CompileCache>(directory.path);
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;

    // The same length: V8 alone would take the old entry and run 42.
    const std::string before = "var answer = (function () { return 6 * 7; })(); answer";
    const std::string after = "var answer = (function () { return 6 * 8; })(); answer";
    EXPECT_EQ(Host(settings).run(before, "/app/answer.js"), "42");
    // (hits, misses, rejected, written)
    EXPECT_EQ(countsOf(*cache), std::make_tuple(0, 1, 0, 1));
    EXPECT_EQ(Host(settings).run(after, "/app/answer.js"), "48");
    EXPECT_EQ(countsOf(*cache), std::make_tuple(0, 1, 1, 2));
    EXPECT_EQ(Host(settings).run(after, "/app/answer.js"), "48");
    EXPECT_EQ(countsOf(*cache), std::make_tuple(1, 1, 1, 2));
    // One entry per file: the edited file's replaced its old one.
    ASSERT_EQ(directory.files().size(), 1u);

    // Damaged where V8's part is.
    const fs::path entry = directory.path / directory.files()[0];
    std::vector<std::uint8_t> bytes = readBytes(entry);
    bytes[bytes.size() - 3] ^= 0xff;
    writeText(entry, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(Host(settings).run(after, "/app/answer.js"), "48");
    EXPECT_EQ(countsOf(*cache), std::make_tuple(1, 1, 2, 3));
    EXPECT_EQ(Host(settings).run(after, "/app/answer.js"), "48");
    EXPECT_EQ(countsOf(*cache), std::make_tuple(2, 1, 2, 3));

    // Cut to nothing: written whole again.
    writeText(entry, "");
    EXPECT_EQ(Host(settings).run(after, "/app/answer.js"), "48");
    EXPECT_EQ(Host(settings).run(after, "/app/answer.js"), "48");
    EXPECT_EQ(cache->counts().hits, 3u);
    EXPECT_EQ(cache->counts().written, 4u);
}

TEST(RuntimeCompileCache, ModulesFromFilesAreCachedAfterTheyRan)
{
    TempDirectory directory;
    TempDirectory modules;
    writeText(modules.path / "main.mjs", "import { scale } from './dep.mjs';\nexport const value = scale(3);\n");
    writeText(modules.path / "dep.mjs", "export function scale(k) { return [1, 2].map(x => x * k).join(); }\n");
    auto cache = std::make_shared<js::CompileCache>(directory.path);
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;

    auto runMain = [&] {
        Host host(settings);
        js::V8Runtime::Scope scope(host.runtime);
        auto exports = host.runtime.runModuleFile(modules.path / "main.mjs");
        if (!exports)
            return "error: " + exports.error().message;
        v8::Local<v8::Value> value =
            (*exports)->Get(host.runtime.context(), js::V8Helper::v8_string("value", host.runtime.isolate()))
                .ToLocalChecked();
        return host.runtime.inspect(value);
    };
    EXPECT_EQ(runMain(), "'3,6'");
    EXPECT_EQ(countsOf(*cache), std::make_tuple(0, 2, 0, 2));
    EXPECT_EQ(directory.files().size(), 2u);
    EXPECT_EQ(runMain(), "'3,6'");
    EXPECT_EQ(countsOf(*cache), std::make_tuple(2, 2, 0, 2));

    // A module the host hands over under a URL of its own is not a file's.
    Host host(settings);
    js::V8Runtime::Scope scope(host.runtime);
    ASSERT_TRUE(host.runtime.runModuleText("export const value = 1;", "app:/inline.mjs"));
    EXPECT_EQ(countsOf(*cache), std::make_tuple(2, 2, 0, 2));
}

// ---- Writers at once -----------------------------------------------------------

// Two caches for kScript of different lengths (before and after its
// functions ran), so that two writes mixed in one file would show.
std::pair<js::CodeCache, js::CodeCache> twoCachesOfTheScript()
{
    Host host;
    js::CodeCache before, after;
    {
        js::V8Runtime::Scope scope(host.runtime);
        auto compiled = js::compileScript(host.runtime.context(), {kScript, "/test/cached.js"});
        before = js::CodeCache::of(compiled->script->GetUnboundScript(), kScript);
        EXPECT_FALSE(compiled->script->Run(host.runtime.context()).IsEmpty());
        after = js::CodeCache::of(compiled->script->GetUnboundScript(), kScript);
    }
    return {before, after};
}

// The one entry in `directory` is whole and accepted, and nothing else is
// left there.
void expectOneWholeEntry(const TempDirectory& directory)
{
    const std::vector<std::string> files = directory.files();
    ASSERT_THAT(files, ElementsAre(EndsWith(".qjscache")));
    const js::CodeCache entry = js::CodeCache::fromBytes(readBytes(directory.path / files[0]));
    EXPECT_TRUE(entry.check(kScript, false)) << why(entry, kScript, false, "");
    Host host;
    const Host::Ran ran = host.script(kScript, entry);
    EXPECT_EQ(ran.cache, js::CacheUse::Accepted);
    EXPECT_EQ(ran.value, "{ total: 385, kind: 'function' }");
}

TEST(CompileCacheWriters, ProcessesWritingTheSameEntryAtOnceLeaveAWholeEntryAndNoTemporaryFiles)
{
    const auto [before, after] = twoCachesOfTheScript();
    ASSERT_NE(before.bytes().size(), after.bytes().size());
    TempDirectory directory;
    Warnings warnings;
    js::CompileCache cache(directory.path, warnings.sink());
    // The parent wrote before it forked, as a server that warmed its cache
    // and then started its workers would have.
    ASSERT_TRUE(cache.write("/app/lib.js", kScript, after));

    constexpr int kWriters = 4;
    constexpr int kWrites = 300;
    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            // Only the cache's own writing here: no V8, no test framework.
            int failed = 0;
            for (int write = 0; write < kWrites; ++write)
                failed += !cache.write("/app/lib.js", kScript, (write + writer) % 2 ? after : before);
            ::_exit(failed == 0 && warnings.seen.empty() ? 0 : 1);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed or was warned";
    }
    EXPECT_TRUE(cache.usable());
    expectOneWholeEntry(directory);
}

TEST(CompileCacheWriters, ThreadsWritingTheSameEntryAtOnceLeaveAWholeEntryAndNoTemporaryFiles)
{
    const auto [before, after] = twoCachesOfTheScript();
    TempDirectory directory;
    Warnings warnings;
    js::CompileCache cache(directory.path, warnings.sink());
    std::atomic<int> failed{0};
    {
        std::vector<std::jthread> writers;
        for (int writer = 0; writer < 4; ++writer)
            writers.emplace_back([&, writer] {
                for (int write = 0; write < 200; ++write)
                    failed += !cache.write("/app/lib.js", kScript, (write + writer) % 2 ? after : before);
            });
    }
    EXPECT_EQ(failed.load(), 0);
    EXPECT_THAT(warnings.seen, IsEmpty());
    EXPECT_EQ(cache.counts().written, 800u);
    expectOneWholeEntry(directory);
}

TEST(CompileCacheWriters, RuntimesOnSeveralThreadsShareOneCache)
{
    TempDirectory directory;
    Warnings warnings;
    auto cache = std::make_shared<js::CompileCache>(directory.path, warnings.sink());
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;
    constexpr int kThreads = 4;
    constexpr int kRuns = 5;
    std::vector<std::string> wrong(kThreads);
    // V8 is started from one thread first, as V8Engine asks.
    { js::V8Runtime first; }
    {
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < kThreads; ++thread)
            threads.emplace_back([&, thread] {
                for (int run = 0; run < kRuns; ++run) {
                    Host host(settings);
                    const std::string value = host.run(kScript, "/app/lib.js");
                    if (value != "{ total: 385, kind: 'function' }")
                        wrong[static_cast<std::size_t>(thread)] = value;
                }
            });
    }
    EXPECT_THAT(wrong, Each(IsEmpty()));
    const js::CompileCache::Counts counts = cache->counts();
    EXPECT_EQ(counts.hits + counts.misses + counts.rejected, std::uint64_t{kThreads * kRuns});
    EXPECT_GE(counts.hits, 1u);
    EXPECT_EQ(counts.rejected, 0u);
    EXPECT_THAT(warnings.seen, IsEmpty());
    expectOneWholeEntry(directory);
}

// ---- A directory that cannot be used --------------------------------------------

TEST(UnusableCompileCache, ADirectoryBelowARegularFileWarnsOnceAndRunsGoOnWithoutTheCache)
{
    TempDirectory directory;
    writeText(directory.path / "file", "not a directory");
    Warnings warnings;
    // Below a regular file nothing can be made, root or not.
    auto cache = std::make_shared<js::CompileCache>(directory.path / "file" / "cache", warnings.sink());
    EXPECT_FALSE(cache->usable());
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;
    for (int round = 0; round < 3; ++round) {
        Host host(settings);
        EXPECT_EQ(host.run(kScript, "/app/lib.js"), "{ total: 385, kind: 'function' }");
        EXPECT_EQ(host.run("[1, 2].map(x => x + 1)", "/app/other.js"), "[ 2, 3 ]");
    }
    ASSERT_EQ(warnings.seen.size(), 1u);
    EXPECT_THAT(warnings.seen[0], HasSubstr((directory.path / "file" / "cache").string()));
    EXPECT_THAT(warnings.seen[0], HasSubstr("is off"));
    EXPECT_EQ(cache->counts().written, 0u);
    EXPECT_EQ(cache->counts().hits, 0u);
    EXPECT_FALSE(cache->write("/app/lib.js", kScript, cacheOfScript(kScript)));
    EXPECT_EQ(warnings.seen.size(), 1u);
    EXPECT_THAT(directory.files(), ElementsAre("file"));
}

TEST(UnusableCompileCache, ADirectoryThatGoesAwayLaterWarnsOnceAtTheFirstWriteAndTheRunGoesOn)
{
    TempDirectory directory;
    Warnings warnings;
    auto cache = std::make_shared<js::CompileCache>(directory.path / "cache", warnings.sink());
    ASSERT_TRUE(cache->usable());
    // Replaced by a file after the cache was made.
    fs::remove(directory.path / "cache");
    writeText(directory.path / "cache", "in the way");
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;
    Host host(settings);
    EXPECT_EQ(host.run(kScript, "/app/lib.js"), "{ total: 385, kind: 'function' }");
    EXPECT_EQ(host.run("'second'", "/app/second.js"), "'second'");
    ASSERT_EQ(warnings.seen.size(), 1u);
    EXPECT_THAT(warnings.seen[0], HasSubstr("cannot write"));
    EXPECT_FALSE(cache->usable());
    EXPECT_EQ(cache->counts().written, 0u);
    EXPECT_THAT(directory.files(), ElementsAre("cache"));
}

}  // namespace

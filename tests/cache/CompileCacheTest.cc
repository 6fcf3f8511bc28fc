// Code caches as a host uses them: a cache for the very text is taken and
// changes nothing but the compile, any other (another text, even one of the
// same length, damaged bytes, other flags, the other kind of source) is
// refused and the source compiled as usual; and the on-disk CompileCache a
// runtime uses, with writers in several processes and threads at once and a
// directory that cannot be used.
#include <qor/javascript/QorJavaScript.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;
using namespace ::testing;

// The wrapping in front of V8's own bytes: its magic (8 bytes), V8's flags
// tag and the kind of source (4 each), then the text's length and hash and
// V8's bytes' length and checksum (8 each).
constexpr std::size_t kWrappingSize = 48;

// A directory of its own for each test, removed after it.
struct TempDirectory {
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
    fs::path path;
};

// The names of the files in `directory`, sorted.
std::vector<std::string> filesIn(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void writeText(const fs::path& file, std::string_view text)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::uint8_t> readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A runtime, and compiling and running sources in it with a cache.
struct Host {
    explicit Host(js::V8Runtime::Settings settings = {}) : runtime(std::move(settings)) {}

    // What became of `cache` ("none", "accepted" or "rejected") and the
    // completion value as a console shows it; `made` is the cache of the run.
    std::string script(std::string_view code, const js::CodeCache& cache = {}, js::CodeCache* made = nullptr)
    {
        js::V8Runtime::Scope scope(runtime);
        auto compiled = js::compileScript(runtime.context(), {code, "/test/cached.js"}, cache);
        v8::Local<v8::Value> value;
        if (!compiled || !compiled->script->Run(runtime.context()).ToLocal(&value))
            return "error";
        if (made != nullptr)
            *made = js::CodeCache::of(compiled->script->GetUnboundScript(), code);
        return use(compiled->cache) + " " + runtime.inspect(value);
    }

    // As script(), for a module compiled only: what became of `cache` (the
    // runtime's own cache runs cached modules, below).
    std::string module(std::string_view code, const js::CodeCache& cache = {}, js::CodeCache* made = nullptr)
    {
        js::V8Runtime::Scope scope(runtime);
        auto compiled = js::compileModule(runtime.isolate(), {code, "/test/cached.mjs", true}, cache);
        if (!compiled)
            return "error";
        if (made != nullptr)
            *made = js::CodeCache::of(compiled->module, code);
        return use(compiled->cache);
    }

    // runScript of `code` known as `file`, as the runtime's own cache sees it.
    std::string run(std::string_view code, std::string file)
    {
        js::V8Runtime::Scope scope(runtime);
        auto result = runtime.runScript({code, std::move(file)});
        return result ? runtime.inspect(*result) : "error: " + result.error().message;
    }

    static std::string use(js::CacheUse use)
    {
        return use == js::CacheUse::Accepted ? "accepted" : use == js::CacheUse::Rejected ? "rejected" : "none";
    }

    js::V8Runtime runtime;
};

// A script with functions that only compile when called, so that a cache
// made after the run holds more than one made before it.
const std::string kScript = "function square(x) { return x * x; }\n"
                            "function sum(n) { let s = 0; for (let i = 1; i <= n; i++) s += square(i); return s; }\n"
                            "({ total: sum(10), kind: typeof square })";
const std::string kValue = "{ total: 385, kind: 'function' }";
const std::string kModule = "const base = [1, 2, 3];\n"
                            "function scale(k) { return base.map(x => x * k); }\n"
                            "export const value = scale(7).join('-');";

js::CodeCache cacheOfScript(std::string_view code)
{
    js::CodeCache made;
    Host().script(code, {}, &made);
    return made;
}

// Why `cache` cannot be used for `code`; "accepted" when it can.
std::string why(const js::CodeCache& cache, std::string_view code, bool module)
{
    auto checked = cache.check(code, module);
    return checked ? "accepted" : checked.error();
}

js::CodeCache changed(const js::CodeCache& cache, const std::function<void(std::vector<std::uint8_t>&)>& change)
{
    std::vector<std::uint8_t> bytes = cache.bytes();
    change(bytes);
    return js::CodeCache::fromBytes(std::move(bytes));
}

js::CompileCache::Warn into(std::vector<std::string>& warned)
{
    return [&warned](std::string_view text) { warned.emplace_back(text); };
}

// "hits/misses/rejected/written"
std::string countsOf(const js::CompileCache& cache)
{
    const js::CompileCache::Counts counts = cache.counts();
    return std::to_string(counts.hits) + "/" + std::to_string(counts.misses) + "/" + std::to_string(counts.rejected) +
           "/" + std::to_string(counts.written);
}

// ---- Caches given to a compile -------------------------------------------------

TEST(CodeCache, ACacheOfTheSameTextIsAcceptedInAnotherRuntimeAndTheResultIsTheSame)
{
    js::CodeCache script, module, empty;
    EXPECT_EQ(Host().script(kScript, {}, &script), "none " + kValue);
    EXPECT_EQ(Host().module(kModule, {}, &module), "none");
    // No text at all: its view points nowhere.
    EXPECT_EQ(Host().script(std::string_view(), {}, &empty), "none undefined");

    // From the bytes a host would have kept.
    EXPECT_EQ(Host().script(kScript, js::CodeCache::fromBytes(script.bytes())), "accepted " + kValue);
    EXPECT_EQ(Host().module(kModule, js::CodeCache::fromBytes(module.bytes())), "accepted");
    EXPECT_EQ(Host().script(std::string_view(), empty), "accepted undefined");
    EXPECT_EQ(Host().script(" ", empty), "rejected undefined");
}

TEST(CodeCache, AnEditedTextIsCompiledFromItsSourceEvenWhenItKeptItsLength)
{
    // Edited in its last byte, which the hash reads apart from the whole
    // eight-byte words before it.
    const std::string before = "(function () { return 6; })() * 7";
    const std::string after = "(function () { return 6; })() * 8";
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
        v8::ScriptCompiler::Source source(
            js::V8Helper::v8_string(after, isolate), v8::ScriptOrigin(isolate, js::V8Helper::v8_string("/a", isolate)),
            new v8::ScriptCompiler::CachedData(bytes.data() + kWrappingSize, int(bytes.size() - kWrappingSize)));
        v8::Local<v8::Context> context = host.runtime.context();
        auto script = v8::ScriptCompiler::Compile(context, &source, v8::ScriptCompiler::kConsumeCodeCache);
        EXPECT_FALSE(source.GetCachedData()->rejected);
        EXPECT_EQ(host.runtime.inspect(script.ToLocalChecked()->Run(context).ToLocalChecked()), "42");
    }

    EXPECT_EQ(why(cache, after, false), "made for another source text");
    EXPECT_EQ(Host().script(after, cache), "rejected 48");
    // A module's likewise.
    js::CodeCache module;
    Host().module("export const value = 6 * 7;", {}, &module);
    EXPECT_EQ(Host().module("export const value = 6 * 8;", module), "rejected");
}

TEST(CodeCache, DamagedForeignOrMismatchedCachesAreRefusedAndTheSourceCompiledAsUsual)
{
    const js::CodeCache good = cacheOfScript(kScript);
    const std::size_t size = good.bytes().size();
    ASSERT_GT(size, kWrappingSize + 16);
    js::CodeCache moduleCache;
    Host().module(kModule, {}, &moduleCache);
    auto flipped = [&](std::size_t at) { return changed(good, [at](auto& bytes) { bytes[at] ^= 0x10; }); };

    const std::vector<std::tuple<const char*, js::CodeCache, const char*>> cases = {
        {"its magic", flipped(0), "not a code cache of this library"},
        {"V8's flags tag", flipped(8), "made by another V8 or with other V8 flags"},
        {"its kind", flipped(12), "the cache is of a module, not a classic script"},
        {"the text's length", flipped(16), "made for another source text"},
        {"the text's hash", flipped(24), "made for another source text"},
        {"the payload's length", flipped(32), "damaged: its length is wrong"},
        {"the payload's checksum", flipped(40), "damaged: its checksum is wrong"},
        {"a payload byte", flipped(kWrappingSize + (size - kWrappingSize) / 2), "damaged: its checksum is wrong"},
        {"the payload's last byte", flipped(size - 1), "damaged: its checksum is wrong"},
        {"cut short", changed(good, [](auto& bytes) { bytes.erase(bytes.end() - 7, bytes.end()); }),
         "damaged: its length is wrong"},
        {"only the wrapping", changed(good, [](auto& bytes) { bytes.resize(kWrappingSize); }),
         "damaged: its length is wrong"},
        {"shorter than the wrapping", changed(good, [](auto& bytes) { bytes.resize(kWrappingSize - 1); }),
         "not a code cache: too short"},
        {"a module's cache", moduleCache, "the cache is of a module, not a classic script"},
    };
    Host host;
    for (const auto& [what, cache, reason] : cases) {
        EXPECT_EQ(why(cache, kScript, false), reason) << what;
        EXPECT_EQ(host.script(kScript, cache), "rejected " + kValue) << what;
    }

    // A script's cache for a module, the other way round.
    EXPECT_EQ(why(good, kModule, true), "the cache is of a classic script, not a module");
    EXPECT_EQ(host.module(kModule, good), "rejected");
    // No cache at all is no refusal.
    EXPECT_EQ(host.script(kScript, js::CodeCache::fromBytes({})), "none " + kValue);

    // A failed compile is a Compile Error, with a cache as without.
    js::V8Runtime::Scope scope(host.runtime);
    auto broken = js::compileScript(host.runtime.context(), {"let = = 1;", "/test/broken.js"}, good);
    ASSERT_FALSE(broken);
    EXPECT_EQ(broken.error().type, js::Error::Type::Compile);
    EXPECT_THAT(broken.error().message, HasSubstr("SyntaxError"));
    EXPECT_FALSE(js::compileScript(host.runtime.context(), {"export {};", "/m.mjs", true}));
    EXPECT_FALSE(js::compileModule(host.runtime.isolate(), {"1", "/s.js", false}));
}

// ---- The runtime's cache -----------------------------------------------------------

TEST(RuntimeCompileCache, EntriesAreWrittenUsedAndWhenEditedOrDamagedRefusedAndReplaced)
{
    TempDirectory directory;
    const fs::path where = directory.path / "made/here";
    std::vector<std::string> warned;
    js::V8Runtime::Settings settings;
    settings.compileCache = std::make_shared<js::CompileCache>(where, into(warned));
    ASSERT_TRUE(settings.compileCache->usable());
    // A run in a runtime of its own: its value, and the counts after it.
    auto run = [&](std::string_view code, std::string file) {
        const std::string value = Host(settings).run(code, std::move(file));
        return value + " " + countsOf(*settings.compileCache);
    };

    // The same length: V8 alone would take the old entry and run 42.
    const std::string before = "var answer = (function () { return 6 * 7; })(); answer";
    const std::string after = "var answer = (function () { return 6 * 8; })(); answer";
    EXPECT_EQ(run(before, "/app/answer.js"), "42 0/1/0/1");
    EXPECT_EQ(run(before, "/app/answer.js"), "42 1/1/0/1");
    // A script without a file name is not cached.
    EXPECT_EQ(run("1 + 1", ""), "2 1/1/0/1");
    EXPECT_EQ(run(after, "/app/answer.js"), "48 1/1/1/2");
    EXPECT_EQ(run(after, "/app/answer.js"), "48 2/1/1/2");
    // One entry per file: the edited file's replaced its old one.
    const std::vector<std::string> files = filesIn(where);
    ASSERT_THAT(files, ElementsAre(EndsWith(".qjscache")));

    // Damaged where V8's part is, then cut to nothing: written whole again.
    const fs::path entry = where / files[0];
    std::vector<std::uint8_t> bytes = readBytes(entry);
    bytes[bytes.size() - 3] ^= 0xff;
    writeText(entry, std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(run(after, "/app/answer.js"), "48 2/1/2/3");
    EXPECT_EQ(run(after, "/app/answer.js"), "48 3/1/2/3");
    writeText(entry, "");
    EXPECT_EQ(run(after, "/app/answer.js"), "48 3/2/2/4");
    EXPECT_EQ(run(after, "/app/answer.js"), "48 4/2/2/4");

    // Another CompileCache on the same directory (another process, later)
    // finds the entry; the same text under another name does not.
    settings.compileCache = std::make_shared<js::CompileCache>(where, into(warned));
    EXPECT_EQ(run(after, "/app/answer.js"), "48 1/0/0/0");
    EXPECT_EQ(run(after, "/app/copy.js"), "48 1/1/0/1");
    EXPECT_THAT(warned, IsEmpty());
}

TEST(RuntimeCompileCache, ModulesFromFilesAreCachedAfterTheyRanAndOthersAreNot)
{
    TempDirectory directory;
    TempDirectory modules;
    writeText(modules.path / "main.mjs", "import { scale } from './dep.mjs';\nglobalThis.value = scale(3);\n");
    writeText(modules.path / "dep.mjs", "export function scale(k) { return [1, 2].map(x => x * k).join(); }\n");
    auto cache = std::make_shared<js::CompileCache>(directory.path);
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;

    for (int round = 0; round < 2; ++round) {
        Host host(settings);
        js::V8Runtime::Scope scope(host.runtime);
        ASSERT_TRUE(host.runtime.runModuleFile(modules.path / "main.mjs"));
        // (A script without a name, which the cache does not count.)
        EXPECT_EQ(host.run("value", ""), "'3,6'");
    }
    EXPECT_EQ(countsOf(*cache), "2/2/0/2");
    EXPECT_EQ(filesIn(directory.path).size(), 2u);

    // A module the host hands over under a URL of its own is not a file's.
    Host host(settings);
    js::V8Runtime::Scope scope(host.runtime);
    ASSERT_TRUE(host.runtime.runModuleText("export const value = 1;", "app:/inline.mjs"));
    EXPECT_EQ(countsOf(*cache), "2/2/0/2");
}

// ---- Writers at once -----------------------------------------------------------

// The one entry in `directory` is whole and accepted, and nothing else is
// left there.
void expectOneWholeEntry(const fs::path& directory)
{
    const std::vector<std::string> files = filesIn(directory);
    ASSERT_THAT(files, ElementsAre(EndsWith(".qjscache")));
    const js::CodeCache entry = js::CodeCache::fromBytes(readBytes(directory / files[0]));
    EXPECT_EQ(why(entry, kScript, false), "accepted");
    EXPECT_EQ(Host().script(kScript, entry), "accepted " + kValue);
}

TEST(CompileCacheWriters, ProcessesWritingTheSameEntryAtOnceLeaveAWholeEntryAndNoTemporaryFiles)
{
    // Two caches of different lengths (before and after the functions ran),
    // so that two writes mixed in one file would show.
    js::CodeCache before, after;
    {
        Host host;
        js::V8Runtime::Scope scope(host.runtime);
        auto compiled = js::compileScript(host.runtime.context(), {kScript, "/test/cached.js"});
        before = js::CodeCache::of(compiled->script->GetUnboundScript(), kScript);
        ASSERT_FALSE(compiled->script->Run(host.runtime.context()).IsEmpty());
        after = js::CodeCache::of(compiled->script->GetUnboundScript(), kScript);
    }
    ASSERT_NE(before.bytes().size(), after.bytes().size());
    TempDirectory directory;
    std::vector<std::string> warned;
    js::CompileCache cache(directory.path, into(warned));
    // Nothing to write is not written. The parent wrote before it forked, as
    // a server that warmed its cache and then started its workers would have.
    EXPECT_FALSE(cache.write("/app/lib.js", kScript, {}));
    ASSERT_TRUE(cache.write("/app/lib.js", kScript, after));

    std::vector<pid_t> writers;
    for (int writer = 0; writer < 4; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            // Only the cache's own writing here: no V8, no test framework.
            int failed = 0;
            for (int write = 0; write < 300; ++write)
                failed += !cache.write("/app/lib.js", kScript, (write + writer) % 2 ? after : before);
            ::_exit(failed == 0 && warned.empty() ? 0 : 1);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed or was warned";
    }
    EXPECT_TRUE(cache.usable());
    expectOneWholeEntry(directory.path);
}

TEST(CompileCacheWriters, RuntimesOnSeveralThreadsShareOneCache)
{
    TempDirectory directory;
    std::vector<std::string> warned;
    auto cache = std::make_shared<js::CompileCache>(directory.path, into(warned));
    js::V8Runtime::Settings settings;
    settings.compileCache = cache;
    constexpr int kThreads = 4;
    constexpr int kRuns = 5;
    std::atomic<int> wrong{0};
    // V8 is started from one thread first, as V8Engine asks.
    { js::V8Runtime first; }
    {
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < kThreads; ++thread)
            threads.emplace_back([&] {
                for (int run = 0; run < kRuns; ++run)
                    wrong += Host(settings).run(kScript, "/app/lib.js") != kValue;
            });
    }
    EXPECT_EQ(wrong.load(), 0);
    const js::CompileCache::Counts counts = cache->counts();
    EXPECT_EQ(counts.hits + counts.misses, std::uint64_t{kThreads * kRuns});
    EXPECT_GE(counts.hits, 1u);
    EXPECT_EQ(counts.rejected, 0u);
    EXPECT_THAT(warned, IsEmpty());
    expectOneWholeEntry(directory.path);
}

// ---- A directory that cannot be used --------------------------------------------

TEST(UnusableCompileCache, ADirectoryThatCannotBeUsedWarnsOnceAndRunsGoOnWithoutTheCache)
{
    // Below a regular file nothing can be made, root or not; a directory
    // replaced by a file after the cache was made fails at the first write,
    // and so does an entry a directory stands in the way of.
    for (const std::string kind : {"below a file", "replaced by a file", "an entry in the way"}) {
        TempDirectory directory;
        const fs::path where = directory.path / (kind == "below a file" ? "file/cache" : "cache");
        if (kind == "below a file")
            writeText(directory.path / "file", "not a directory");
        std::vector<std::string> warned;
        auto cache = std::make_shared<js::CompileCache>(where, into(warned));
        EXPECT_EQ(cache->usable(), kind != "below a file") << kind;
        if (kind == "replaced by a file") {
            fs::remove(where);
            writeText(where, "in the way");
        } else if (kind == "an entry in the way") {
            ASSERT_TRUE(js::CompileCache(where).write("/app/lib.js", kScript, cacheOfScript(kScript)));
            const fs::path entry = where / filesIn(where).at(0);
            fs::remove(entry);
            fs::create_directories(entry / "inside");
        }
        EXPECT_FALSE(cache->write("/app/lib.js", kScript, cacheOfScript(kScript))) << kind;
        js::V8Runtime::Settings settings;
        settings.compileCache = cache;
        for (int round = 0; round < 2; ++round) {
            Host host(settings);
            EXPECT_EQ(host.run(kScript, "/app/lib.js"), kValue) << kind;
            EXPECT_EQ(host.run("[1, 2].map(x => x + 1)", "/app/other.js"), "[ 2, 3 ]") << kind;
        }
        ASSERT_EQ(warned.size(), 1u) << kind;
        EXPECT_THAT(warned[0], AllOf(HasSubstr(where.string()), HasSubstr(" is off: "),
                                     HasSubstr(kind == "below a file" ? "cannot make the directory" : "cannot write")));
        EXPECT_FALSE(cache->usable());
        EXPECT_EQ(cache->counts().written, 0u);
        EXPECT_EQ(cache->counts().hits, 0u);
        EXPECT_THAT(filesIn(directory.path), ElementsAre(kind == "below a file" ? "file" : "cache"));
        // No temporary file left beside the entry in the way.
        if (kind == "an entry in the way") {
            EXPECT_THAT(filesIn(where), ElementsAre(EndsWith(".qjscache")));
        }
    }
}

}  // namespace

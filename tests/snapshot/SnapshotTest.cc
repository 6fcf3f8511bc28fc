// Startup snapshots as a host uses them: the state a script left (functions,
// classes, closures, data) in a restored runtime and in each new context of
// its isolate, its console and timers, host functions exposed again and the
// references the state holds to them; what a snapshot cannot hold, refused
// when it is built; and bytes that are not a snapshot of this build, refused
// with an Error before V8 reads them (an internal test: it reseals bytes with
// the snapshot's own checksum, to show that those are checked too).
#include <qor/javascript/QorJavaScript.h>

#include "snapshot/Contents.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;
using namespace ::testing;

// The header's fields, by their offsets in the bytes.
constexpr std::size_t kHeaderSize = 96;
constexpr std::size_t kLibraryOffset = 8;      // 16 characters
constexpr std::size_t kV8Offset = 24;          // 32 characters
constexpr std::size_t kTagOffset = 56;         // uint32
constexpr std::size_t kReferencesOffset = 60;  // uint32
constexpr std::size_t kNamesSizeOffset = 64;   // uint64
constexpr std::size_t kBlobOffsetOffset = 72;  // uint64
constexpr std::size_t kBlobSizeOffset = 80;    // uint64
constexpr std::size_t kChecksumOffset = 88;    // uint64

const std::string kRefused = "not a usable startup snapshot: ";

template <class T>
T field(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <class T>
void setField(std::vector<std::uint8_t>& bytes, std::size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

js::StartupSnapshot fromBytesOf(const js::StartupSnapshot& snapshot)
{
    return js::StartupSnapshot::fromBytes(snapshot.bytes()).value();
}

// The Error of fromBytes; "accepted" when it took the bytes.
std::string refusal(std::vector<std::uint8_t> bytes)
{
    auto snapshot = js::StartupSnapshot::fromBytes(std::move(bytes));
    return snapshot ? "accepted" : snapshot.error().message;
}

using Prepare = std::function<void(js::V8Runtime&)>;

js::V8Runtime::Settings settingsWith(bool console, js::ConsoleSink sink = [](js::ConsoleLevel, std::string_view) {})
{
    js::V8Runtime::Settings settings;
    settings.console = console;
    settings.timers = true;
    settings.consoleSink = std::move(sink);
    return settings;
}

// The snapshot of what `code` leaves in a builder's runtime once its loop
// ran, with what `prepare` did there first.
js::StartupSnapshot built(std::string_view code, const Prepare& prepare = {}, bool console = true)
{
    js::SnapshotBuilder builder(settingsWith(console));
    if (prepare)
        prepare(builder.runtime());
    {
        js::V8Runtime::Scope scope(builder.runtime());
        auto ran = builder.runtime().runScript({code, "/snapshot/state.js"});
        if (!ran || !builder.runtime().runLoop())
            throw std::runtime_error("the state's script failed: " + (ran ? "in the loop" : ran.error().message));
    }
    auto snapshot = builder.build();
    if (!snapshot)
        throw std::runtime_error("the snapshot was not made: " + snapshot.error().message);
    return *snapshot;
}

void exposeF(js::V8Runtime& runtime)
{
    ASSERT_TRUE(js::expose(runtime, "host.f", [] { return 1; }));
}

// Exposes host.twice, which doubles and adds `plus`.
Prepare exposeTwice(int plus)
{
    return [plus](js::V8Runtime& runtime) {
        ASSERT_TRUE(js::expose(runtime, "host.twice", [plus](int n) { return 2 * n + plus; }));
    };
}

// A runtime restored from a snapshot, with what its console printed.
struct Restored {
    explicit Restored(const js::StartupSnapshot& snapshot, const Prepare& exposeAgain = {})
    {
        auto print = [this](js::ConsoleLevel, std::string_view text) { printed.emplace_back(text); };
        auto made = js::restoreRuntime(snapshot, settingsWith(true, print), exposeAgain);
        if (!made)
            throw std::runtime_error("not restored: " + made.error().message);
        runtime = std::move(*made);
    }

    // The completion value of `code` as a console shows it, or "error: <message>".
    std::string show(std::string_view code)
    {
        js::V8Runtime::Scope scope(*runtime);
        auto result = runtime->runScript({code, "/snapshot/after.js"});
        return result ? runtime->inspect(*result) : "error: " + result.error().message;
    }

    // String() of `code`'s value in `context`, another one of the runtime's
    // isolate; needs a Scope of the runtime.
    std::string in(v8::Local<v8::Context> context, const std::string& code)
    {
        v8::Context::Scope contextScope(context);
        v8::TryCatch tryCatch(runtime->isolate());
        auto script = v8::Script::Compile(context, js::V8Helper::v8_string("String(" + code + ")", runtime->isolate()));
        v8::Local<v8::Value> value;
        if (script.IsEmpty() || !script.ToLocalChecked()->Run(context).ToLocal(&value))
            return "error";
        return js::V8Helper::qor_string(value, runtime->isolate());
    }

    std::unique_ptr<js::V8Runtime> runtime;
    std::vector<std::string> printed;
};

const std::string kState = R"(
class Shape {
    constructor(w, h) { this.w = w; this.h = h; }
    area() { return this.w * this.h; }
}
class Square extends Shape {
    #side;
    constructor(side) { super(side, side); this.#side = side; }
    get side() { return this.#side; }
}
function makeCounter() { let n = 0; return () => ++n; }
var counter = makeCounter();
counter(); counter();
let secret = 'kept in a closure';
const reveal = () => secret;
var data = {
    list: [1, 'two', { three: 3 }],
    map: new Map([['a', 1], [2, { b: true }]]),
    bytes: new Uint8Array([1, 2, 250]),
};
data.shared = data.list[2];
data.view = new DataView(data.bytes.buffer, 1);
)";

// ---- The state comes back ------------------------------------------------------

// With the console on: its methods once carried a JavaScript object as their
// data, which V8 keeps with their templates in the isolate's part of the
// snapshot, dragging objects of the context along; an ArrayBuffer among them
// crashed V8 as the snapshot was made, or failed its checks as it was restored.
TEST(SnapshotRoundTrip, TheStateComesBackInTheRuntimeAndInEachNewContextWithTheConsoleAndTimers)
{
    const js::StartupSnapshot snapshot = built(kState + R"(
        const log = console.log;
        const later = setTimeout;
        const never = clearTimeout;
        function report(text) { log('report: ' + text); }
        function schedule(text, ms) { return later(() => report(text), ms); }
        const twice = host.twice;
        var calls = () => twice(21);
        console.log('while building');
    )",
                                               exposeTwice(0));
    Restored restored(snapshot, exposeTwice(1));
    EXPECT_EQ(restored.show("[new Square(3).area(), new Square(4).side, new Square(2) instanceof Shape, counter(),"
                            " counter(), reveal()]"),
              "[ 9, 4, true, 3, 4, 'kept in a closure' ]");
    EXPECT_EQ(restored.show("[JSON.stringify(data.list), data.map.get(2).b, data.shared === data.list[2]]"),
              "[ '[1,\"two\",{\"three\":3}]', true, true ]");
    // The restored state goes on as live state: the typed array's memory too.
    EXPECT_EQ(restored.show("data.bytes[0] = 9; console.log(data.bytes); data.view.getUint8(0) + ',' + data.bytes[0]"),
              "'2,9'");
    // The console and timers, also through the references the state held.
    EXPECT_EQ(restored.show("report('now'); schedule('second', 5); schedule('first', 0); never(schedule('no', 1));"
                            " setTimeout(() => console.info('plain timer'), 2); undefined"),
              "undefined");
    ASSERT_TRUE(restored.runtime->runLoop());
    EXPECT_THAT(restored.printed, ElementsAre("Uint8Array(3) [ 9, 2, 250 ]", "report: now", "report: first",
                                              "plain timer", "report: second"));

    // Each new context starts with the state, keeps its changes to itself,
    // and reaches the runtime's console, timers and host functions.
    restored.printed.clear();
    {
        js::V8Runtime::Scope scope(*restored.runtime);
        v8::Local<v8::Context> first = v8::Context::New(restored.runtime->isolate());
        v8::Local<v8::Context> second = v8::Context::New(restored.runtime->isolate());
        for (v8::Local<v8::Context> context : {first, second})
            EXPECT_EQ(restored.in(context, "[new Square(2).area(), counter(), reveal(), data.bytes[0], calls(),"
                                           " host.twice(1)]"),
                      "4,3,kept in a closure,1,43,3");
        EXPECT_EQ(restored.in(first, "[counter(), data.list.push(4), globalThis.added = 'first']"), "4,4,first");
        EXPECT_EQ(restored.in(second, "[counter(), data.list.length, typeof added]"), "4,3,undefined");
        EXPECT_EQ(restored.in(first, "[counter(), data.list.length]"), "5,4");
        // Each context's objects are its own.
        EXPECT_EQ(restored.in(second, "Object.getPrototypeOf(Square)"), restored.in(second, "Shape"));
        EXPECT_EQ(restored.in(first, "report('from a new context'), schedule('later', 0), console.warn('warned')"),
                  "undefined");
    }
    // The runtime's own context is one more, untouched by the two.
    EXPECT_EQ(restored.show("[counter(), data.list.length, typeof added]"), "[ 5, 3, 'undefined' ]");
    ASSERT_TRUE(restored.runtime->runLoop());
    EXPECT_THAT(restored.printed, ElementsAre("report: from a new context", "warned", "report: later"));
}

// ---- Host functions --------------------------------------------------------------

TEST(SnapshotHostFunctions, ReferencesTheStateHoldsCallWhatIsExposedAgainAndEachOneMissingIsNamed)
{
    int builderCalls = 0, restoredCalls = 0;
    // Read back from its bytes, which hold the names.
    const js::StartupSnapshot snapshot = fromBytesOf(built(
        "const add = host.math.add; const greet = host.greet; globalThis.viaClosure = () => add(1, 2);"
        " globalThis.table = { add, greet }; globalThis.atBuild = add(20, 22); const f = host.f;",
        [&](js::V8Runtime& runtime) {
            ASSERT_TRUE(js::expose(runtime, "host.math.add", [&](double a, double b) {
                ++builderCalls;
                return a + b;
            }));
            ASSERT_TRUE(js::expose(runtime, "host.greet", [](std::string name) { return "hello " + name; }));
            exposeF(runtime);
        },
        false));
    EXPECT_EQ(builderCalls, 1);
    EXPECT_THAT(snapshot.hostFunctions(), ElementsAre("host.math.add", "host.greet", "host.f"));

    Restored restored(snapshot, [&](js::V8Runtime& runtime) {
        exposeF(runtime);
        ASSERT_TRUE(js::expose(runtime, "host.greet", [](std::string name) { return "welcome " + name; }));
        ASSERT_TRUE(js::expose(runtime, "host.math.add", [&](double a, double b) {
            ++restoredCalls;
            return 10 * (a + b);
        }));
    });
    EXPECT_EQ(restored.show("[atBuild, viaClosure(), table.add(2, 3), host.math.add(1, 1), table.greet('you')]"),
              "[ 42, 30, 50, 20, 'welcome you' ]");
    EXPECT_EQ(restoredCalls, 3);
    EXPECT_EQ(builderCalls, 1);
    // The conversions of the function exposed again apply.
    EXPECT_THAT(restored.show("table.add('x', 1)"), HasSubstr("expected a number"));

    // A function of another name does not stand in for a missing one.
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{}, "exposed again: host.math.add, host.greet and host.f"},
        {{"host.greet"}, "exposed again: host.math.add and host.f"},
        {{"host.math.add", "host.greet", "host.g"}, "exposed again: host.f"},
    };
    for (const auto& [exposed, missing] : cases) {
        auto refused = js::restoreRuntime(snapshot, {}, [&](js::V8Runtime& runtime) {
            for (const char* path : exposed)
                ASSERT_TRUE(js::expose(runtime, path, [] { return 2; }));
        });
        ASSERT_FALSE(refused) << missing;
        EXPECT_THAT(refused.error().message, EndsWith(missing));
    }

    // A path exposed twice (the first function replaced) holds two, which
    // exposing the path twice again restores.
    auto exposeFTwice = [](int second) -> Prepare {
        return [second](js::V8Runtime& runtime) {
            exposeF(runtime);
            ASSERT_TRUE(js::expose(runtime, "host.f", [second] { return second; }));
        };
    };
    const js::StartupSnapshot replaced = built("const f = host.f;", exposeFTwice(2), false);
    EXPECT_THAT(replaced.hostFunctions(), ElementsAre("host.f", "host.f#2"));
    EXPECT_EQ(Restored(replaced, exposeFTwice(3)).show("[f(), host.f()]"), "[ 3, 3 ]");
}

// ---- What a snapshot can and cannot hold ------------------------------------------

struct Counter {
    int count = 0;
};

TEST(SnapshotBuild, WhatASnapshotCannotHoldRefusesTheBuildAndIsNamed)
{
    std::vector<js::V8Runtime::KeepAlive> held;
    std::optional<js::HostPromise<int>> promise;
    auto running = [](std::string code, bool module) -> Prepare {
        return [=](js::V8Runtime& runtime) {
            js::V8Runtime::Scope scope(runtime);
            ASSERT_TRUE(module ? bool(runtime.runModuleText(code, "app:/state.mjs"))
                               : bool(runtime.runScript({code, "/snapshot/state.js"})));
        };
    };
    const std::vector<std::tuple<const char*, Prepare, const char*>> cases = {
        {"a pending timer", running("setTimeout(() => {}, 60000)", false), "timers are set"},
        {"an ES module", running("globalThis.fromModule = 1;", true), "it holds ES modules"},
        {"a host class",
         [](js::V8Runtime& runtime) {
             js::HostClass<Counter> counters(runtime, "Counter");
             counters.method("add", [](Counter& counter, int n) { return counter.count += n; });
             ASSERT_TRUE(js::expose(runtime, "host.Counter", counters));
         },
         "host classes (Counter)"},
        {"a KeepAlive", [&](js::V8Runtime& runtime) { held.push_back(runtime.remote().keepAlive()); },
         "the host still holds a KeepAlive"},
        {"an unsettled HostPromise", [&](js::V8Runtime& runtime) { promise.emplace(runtime); },
         "the host still holds a KeepAlive"},
        {"a posted task", [](js::V8Runtime& runtime) { ASSERT_TRUE(runtime.remote().post([](js::V8Runtime&) {})); },
         "tasks posted to the runtime have not run yet"},
    };
    for (const auto& [what, make, named] : cases) {
        js::SnapshotBuilder builder(settingsWith(true));
        make(builder.runtime());
        auto snapshot = builder.build();
        ASSERT_FALSE(snapshot) << what;
        EXPECT_THAT(snapshot.error().message, StartsWith("cannot make a snapshot of this runtime: ")) << what;
        EXPECT_THAT(snapshot.error().message, HasSubstr(named)) << what;
        // The runtime went with the refused build.
        EXPECT_THROW(builder.runtime(), std::logic_error) << what;
        EXPECT_FALSE(builder.build()) << what;
    }

    // Once the timers ran or were cleared and the host let go (its KeepAlive
    // released by a task it posted), the snapshot is made.
    const js::StartupSnapshot snapshot = built(
        "var ticks = 0; const id = setInterval(() => { if (++ticks === 3) clearInterval(id); }, 1);"
        " clearTimeout(setTimeout(() => {}, 60000)); setTimeout(() => { globalThis.fired = true; }, 1);"
        " var pending = new Promise(() => {});",
        [](js::V8Runtime& runtime) {
            auto keep = std::make_shared<js::V8Runtime::KeepAlive>(runtime.remote().keepAlive());
            ASSERT_TRUE(runtime.remote().post([keep](js::V8Runtime& on) {
                js::V8Runtime::Scope scope(on);
                ASSERT_TRUE(on.runScript({"globalThis.posted = 'ran';", "/snapshot/posted.js"}));
                keep->release();
            }));
        });
    // (Read back from its bytes: one without host functions.)
    EXPECT_EQ(Restored(fromBytesOf(snapshot)).show("[ticks, fired, posted, typeof pending.then]"),
              "[ 3, true, 'ran', 'function' ]");
}

// ---- Bytes that are not a snapshot of this build -----------------------------------

TEST(SnapshotBytes, CutFlippedForgedAndForeignBytesAreRefusedWithAnError)
{
    const std::vector<std::uint8_t> good = built("var x = 1; const f = host.f;", exposeF).bytes();
    ASSERT_GT(good.size(), 100000u);
    EXPECT_EQ(refusal(good), "accepted");
    const auto blobOffset = field<std::uint64_t>(good, kBlobOffsetOffset);
    const auto namesSize = field<std::uint64_t>(good, kNamesSizeOffset);
    ASSERT_EQ(namesSize, std::string_view("host.f").size() + 1);

    for (std::size_t size : {std::size_t{0}, kHeaderSize - 1, kHeaderSize, good.size() / 2, good.size() - 1})
        EXPECT_THAT(refusal({good.begin(), good.begin() + std::ptrdiff_t(size)}), StartsWith(kRefused)) << size;

    // A byte changed in the magic, the sizes, the fields only the checksum
    // covers (a name's padding too), the names, and V8's part to its end.
    const std::vector<std::pair<std::size_t, std::string>> flips = {
        {0, "it is not a snapshot this library made"},
        {kNamesSizeOffset + 7, "its parts do not add up"},
        {kBlobOffsetOffset, "its parts do not add up"},
        {kBlobSizeOffset, "its parts do not add up"},
        {kLibraryOffset + 15, "its checksum is wrong"},
        {kTagOffset, "its checksum is wrong"},
        {kHeaderSize, "its checksum is wrong"},
        {good.size() / 2, "its checksum is wrong"},
        {good.size() - 1, "its checksum is wrong"},
    };
    for (const auto& [at, why] : flips) {
        std::vector<std::uint8_t> flipped = good;
        flipped[at] ^= 0x01;
        EXPECT_THAT(refusal(std::move(flipped)), AllOf(StartsWith(kRefused), HasSubstr(why))) << "byte " << at;
    }

    // Changed, with the checksum made right again as a forger would: checked
    // all the same.
    using Change = std::function<void(std::vector<std::uint8_t>&)>;
    auto resealed = [&](const Change& change) {
        std::vector<std::uint8_t> bytes = good;
        change(bytes);
        setField(bytes, kChecksumOffset, js::snapshotChecksum(bytes.data(), bytes.size()));
        return bytes;
    };
    auto text = [](std::size_t offset, std::size_t size, std::string_view value) -> Change {
        return [=](auto& bytes) {
            std::memset(bytes.data() + offset, 0, size);
            std::memcpy(bytes.data() + offset, value.data(), value.size());
        };
    };
    // V8's part cut down to `size` bytes: V8 would end the process reading
    // its own header from it.
    auto cut = [&](std::uint64_t size) -> Change {
        return [=](auto& bytes) {
            bytes.resize(blobOffset + size);
            setField(bytes, kBlobSizeOffset, size);
        };
    };
    const std::vector<std::pair<Change, std::string>> forged = {
        {text(kLibraryOffset, 16, "99.1.7"),
         "it was made by QorJavaScript 99.1.7, this is " QORJAVASCRIPT_VERSION "; make it again"},
        // Sixteen characters and no end: read as sixteen, and no further.
        {text(kLibraryOffset, 16, "9999999999999999"), "made by QorJavaScript 9999999999999999, this is"},
        {text(kV8Offset, 32, "9.8.177.11"), "it was made with V8 9.8.177.11, this is V8 10.2."},
        // A build with other library callbacks numbers them otherwise.
        {[&](auto& bytes) { setField(bytes, kReferencesOffset, field<std::uint32_t>(good, kReferencesOffset) + 1); },
         "it was made by another build of QorJavaScript; make it again"},
        {cut(1), "it is damaged: V8's part is 1 bytes"},
        {cut(200), "it is damaged: V8's part is 200 bytes"},
        {[&](auto& bytes) { setField(bytes, kNamesSizeOffset, namesSize - 1); },
         "it is damaged: its list of host functions is cut short"},
        // V8's part moved off its alignment, or overlapping the names.
        {[&](auto& bytes) {
             bytes.insert(bytes.begin() + std::ptrdiff_t(blobOffset), std::uint8_t{0});
             setField(bytes, kBlobOffsetOffset, blobOffset + 1);
         },
         "its parts do not add up"},
        {[&](auto& bytes) { setField(bytes, kNamesSizeOffset, blobOffset); }, "its parts do not add up"},
    };
    for (const auto& [change, why] : forged)
        EXPECT_THAT(refusal(resealed(change)), AllOf(StartsWith(kRefused), HasSubstr(why)));

    // Made with other V8 flags: taken as bytes (V8's flags are final only
    // once it runs), refused when restored.
    auto otherFlags = js::StartupSnapshot::fromBytes(
        resealed([&](auto& bytes) { setField(bytes, kTagOffset, field<std::uint32_t>(good, kTagOffset) ^ 0x10u); }));
    ASSERT_TRUE(otherFlags) << otherFlags.error().message;
    auto restored = js::restoreRuntime(*otherFlags, {}, exposeF);
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().message, kRefused + "it was made with other V8 flags; make it again");

    // Not a snapshot at all: noise, and a code cache.
    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(good.size());
    for (std::uint8_t& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    EXPECT_EQ(refusal(noise), kRefused + "it is not a snapshot this library made");
    js::V8Runtime runtime;
    js::V8Runtime::Scope scope(runtime);
    auto compiled = js::compileScript(runtime.context(), {"var x = 1; x", "/snapshot/code.js"});
    const js::CodeCache codeCache = js::CodeCache::of(compiled->script->GetUnboundScript(), "var x = 1; x");
    ASSERT_FALSE(codeCache.empty());
    EXPECT_EQ(refusal(codeCache.bytes()), kRefused + "it is not a snapshot this library made");
}

// ---- Files ---------------------------------------------------------------------

TEST(SnapshotFiles, AWrittenFileReadsBackAsTheSameSnapshotAndAMissingOrDamagedFileIsAnError)
{
    std::string pattern = (fs::temp_directory_path() / "qorjs-snapshot-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path directory = pattern;
    const js::StartupSnapshot snapshot = built("var answer = 42; const f = host.f;", exposeF);
    auto count = [&] { return std::distance(fs::directory_iterator(directory), fs::directory_iterator()); };

    const fs::path file = directory / "state.snapshot";
    ASSERT_TRUE(snapshot.writeFile(file));
    // Written again over itself, through a temporary file that does not stay.
    ASSERT_TRUE(snapshot.writeFile(file));
    EXPECT_EQ(count(), 1);
    auto read = js::StartupSnapshot::readFile(file);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->bytes(), snapshot.bytes());
    EXPECT_THAT(read->hostFunctions(), ElementsAre("host.f"));
    EXPECT_EQ(Restored(*read, exposeF).show("answer"), "42");

    auto missing = js::StartupSnapshot::readFile(directory / "missing.snapshot");
    ASSERT_FALSE(missing);
    EXPECT_THAT(missing.error().message, AllOf(HasSubstr("missing.snapshot"), HasSubstr("No such file")));
    EXPECT_FALSE(js::StartupSnapshot::readFile(directory));
    {
        std::fstream damage(file, std::ios::in | std::ios::out | std::ios::binary);
        damage.seekp(5000);
        damage.put('\x7f');
    }
    auto damaged = js::StartupSnapshot::readFile(file);
    ASSERT_FALSE(damaged);
    EXPECT_EQ(damaged.error().message, file.string() + " is " + kRefused + "it is damaged: its checksum is wrong");

    // Where no file can be written, or none can take the place of what is
    // there: an Error, and nothing left behind.
    fs::create_directories(directory / "taken" / "inside");
    EXPECT_FALSE(snapshot.writeFile(directory / "no" / "such" / "dir.snapshot"));
    EXPECT_FALSE(snapshot.writeFile(file / "below-a-file.snapshot"));
    EXPECT_FALSE(snapshot.writeFile(directory / "taken"));
    EXPECT_EQ(count(), 2);
    fs::remove_all(directory);
}

}  // namespace

// Startup snapshots as a host uses them: the state a script left (functions,
// classes, closures, data) in a restored runtime and in each new context of
// its isolate, its console and timers, host functions exposed again and the
// references the state holds to them; what a snapshot cannot hold, refused
// when it is built; and bytes that are not a snapshot of this build, refused
// with an Error before V8 reads them.
//
// An internal test: it reseals bytes with the snapshot's own checksum, to
// show that bytes whose checksum agrees still do not reach V8 unchecked.
#include <qor/javascript/QorJavaScript.h>

#include "snapshot/Contents.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace {

namespace js = qor::format::engine::javascript;
namespace fs = std::filesystem;
using namespace ::testing;

// The header's fields, by their offsets in the bytes.
constexpr std::size_t kHeaderSize = 96;
constexpr std::size_t kLibraryOffset = 8;   // 16 characters
constexpr std::size_t kV8Offset = 24;       // 32 characters
constexpr std::size_t kTagOffset = 56;      // uint32
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

// The bytes with their checksum made right again, as a forger would.
std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> bytes)
{
    setField(bytes, kChecksumOffset, js::snapshotChecksum(bytes.data(), bytes.size()));
    return bytes;
}

// The Error of fromBytes; "accepted" when it took the bytes.
std::string refusal(std::vector<std::uint8_t> bytes)
{
    auto snapshot = js::StartupSnapshot::fromBytes(std::move(bytes));
    return snapshot ? "accepted" : snapshot.error().message;
}

js::V8Runtime::Settings withConsoleAndTimers(js::ConsoleSink sink = [](js::ConsoleLevel, std::string_view) {})
{
    js::V8Runtime::Settings settings;
    settings.console = true;
    settings.timers = true;
    settings.consoleSink = std::move(sink);
    return settings;
}

// The snapshot of what `code` leaves in a builder's runtime, with what
// `prepare` exposed there first.
std::expected<js::StartupSnapshot, js::Error> buildFrom(std::string_view code,
                                                        const std::function<void(js::V8Runtime&)>& prepare = {},
                                                        bool console = true)
{
    js::V8Runtime::Settings settings = withConsoleAndTimers();
    settings.console = console;
    js::SnapshotBuilder builder(std::move(settings));
    if (prepare)
        prepare(builder.runtime());
    {
        js::V8Runtime::Scope scope(builder.runtime());
        auto ran = builder.runtime().runScript({code, "/snapshot/state.js"});
        if (!ran)
            return std::unexpected(ran.error());
    }
    return builder.build();
}

js::StartupSnapshot built(std::string_view code,
                         const std::function<void(js::V8Runtime&)>& prepare = {},
                         bool console = true)
{
    auto snapshot = buildFrom(code, prepare, console);
    if (!snapshot)
        throw std::runtime_error("the snapshot was not made: " + snapshot.error().message);
    return *snapshot;
}

// A runtime restored from a snapshot, with what its console printed.
class Restored {
public:
    explicit Restored(const js::StartupSnapshot& snapshot, const std::function<void(js::V8Runtime&)>& exposeAgain = {})
    {
        auto made = js::restoreRuntime(
            snapshot, withConsoleAndTimers([this](js::ConsoleLevel, std::string_view text) { printed.emplace_back(text); }),
            exposeAgain);
        if (!made)
            throw std::runtime_error("not restored: " + made.error().message);
        runtime = std::move(*made);
    }
    Restored(const Restored&) = delete;
    Restored& operator=(const Restored&) = delete;

    // The completion value of `code` as a console shows it; a failure as
    // "error: <message>".
    std::string show(std::string_view code)
    {
        js::V8Runtime::Scope scope(*runtime);
        auto result = runtime->runScript({code, "/snapshot/after.js"});
        return result ? runtime->inspect(*result) : "error: " + result.error().message;
    }

    std::unique_ptr<js::V8Runtime> runtime;
    std::vector<std::string> printed;
};

const std::string kState = R"(
class Shape {
    constructor(w, h) { this.w = w; this.h = h; }
    area() { return this.w * this.h; }
    static unit() { return new this(1, 1); }
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
function* numbers() { yield 1; yield 2; }
var data = {
    nested: { deep: { list: [1, 'two', { three: 3 }] } },
    map: new Map([['a', 1], [2, { b: true }]]),
    set: new Set(['x', 'y']),
    bytes: new Uint8Array([1, 2, 250]),
    floats: new Float64Array([0.5, -1]),
    shared: null,
    date: new Date(86400000),
    pattern: /a+b/gi,
    big: 2n ** 70n,
    symbol: Symbol.for('kept'),
};
data.shared = data.nested.deep;
data.view = new DataView(data.bytes.buffer, 1);
)";

// ---- The state comes back ------------------------------------------------------

TEST(SnapshotRoundTrip, FunctionsClassesClosuresAndDataComeBackAsTheyWere)
{
    const js::StartupSnapshot snapshot = built(kState, {}, false);
    EXPECT_THAT(snapshot.hostFunctions(), IsEmpty());
    Restored restored(snapshot);

    EXPECT_EQ(restored.show("[new Square(3).area(), new Square(2) instanceof Shape, Shape.unit().area(),"
                            " new Square(4).side, Object.getPrototypeOf(Square) === Shape]"),
              "[ 9, true, 1, 4, true ]");
    EXPECT_EQ(restored.show("[counter(), counter(), reveal(), [...numbers()].join()]"),
              "[ 3, 4, 'kept in a closure', '1,2' ]");
    EXPECT_EQ(restored.show("JSON.stringify(data.nested)"), "'{\"deep\":{\"list\":[1,\"two\",{\"three\":3}]}}'");
    EXPECT_EQ(restored.show("[data.map.get(2).b, data.map.size, [...data.set].join(), data.shared === data.nested.deep]"),
              "[ true, 2, 'x,y', true ]");
    EXPECT_EQ(restored.show("[data.bytes[2], data.floats[1], data.view.getUint8(1), data.bytes.buffer.byteLength]"),
              "[ 250, -1, 250, 3 ]");
    EXPECT_EQ(restored.show("[data.date.toISOString(), data.pattern.flags, data.pattern.test('xAAB')]"),
              "[ '1970-01-02T00:00:00.000Z', 'gi', true ]");
    EXPECT_EQ(restored.show("[data.big, data.symbol === Symbol.for('kept')]"), "[ 1180591620717411303424n, true ]");
    // The restored state goes on as live state: the typed array's memory too.
    EXPECT_EQ(restored.show("data.bytes[0] = 9; data.view.getUint8(0) + ',' + data.bytes[0]"), "'2,9'");
}

TEST(SnapshotRoundTrip, ConsoleAndTimersWorkAfterTheRestoreAlsoThroughReferencesTheStateHeld)
{
    const js::StartupSnapshot snapshot = built(R"(
        const log = console.log;
        const later = setTimeout;
        const never = clearTimeout;
        function report(text) { log('report: ' + text); }
        function schedule(text, ms) { return later(() => report(text), ms); }
        console.log('while building');
    )");
    Restored restored(snapshot);
    EXPECT_THAT(restored.printed, IsEmpty());

    EXPECT_EQ(restored.show("report('now'); console.info({ fresh: true }); undefined"), "undefined");
    EXPECT_EQ(restored.show("schedule('second', 5); schedule('first', 0); never(schedule('cancelled', 1));"
                            " setTimeout(() => console.log('plain timer'), 2); undefined"),
              "undefined");
    ASSERT_TRUE(restored.runtime->runLoop());
    EXPECT_THAT(restored.printed,
                ElementsAre("report: now", "{ fresh: true }", "report: first", "plain timer", "report: second"));

    // A new context starts with the same console and timers, writing to the
    // runtime's.
    restored.printed.clear();
    {
        js::V8Runtime::Scope scope(*restored.runtime);
        v8::Local<v8::Context> context = v8::Context::New(restored.runtime->isolate());
        v8::Context::Scope contextScope(context);
        v8::Local<v8::Script> script =
            v8::Script::Compile(context, js::V8Helper::v8_string("report('from a new context'); schedule('later', 0);"
                                                                 " console.warn('warned')",
                                                                 restored.runtime->isolate()))
                .ToLocalChecked();
        ASSERT_FALSE(script->Run(context).IsEmpty());
    }
    ASSERT_TRUE(restored.runtime->runLoop());
    EXPECT_THAT(restored.printed, ElementsAre("report: from a new context", "warned", "report: later"));
}

// The console's methods once carried a JavaScript object as their data,
// which V8 keeps with their templates in the isolate's part of the snapshot,
// dragging objects of the context along: an ArrayBuffer among them crashed
// V8 as the snapshot was made, or failed its checks as it was restored.
TEST(SnapshotRoundTrip, ArrayBuffersAndTheConsoleTogether)
{
    const js::StartupSnapshot snapshot = built(kState);
    Restored restored(snapshot);
    EXPECT_EQ(restored.show("data.bytes[0] = 9; console.log(data.bytes); data.view.getUint8(0) + ',' + data.bytes[0]"),
              "'2,9'");
    EXPECT_THAT(restored.printed, ElementsAre("Uint8Array(3) [ 9, 2, 250 ]"));
}

// ---- Host functions --------------------------------------------------------------

TEST(SnapshotHostFunctions, ReferencesTheStateHoldsCallWhatTheHostExposedAgain)
{
    int builderCalls = 0;
    const js::StartupSnapshot snapshot = built(
        R"(
        const add = host.math.add;
        const greet = host.greet;
        globalThis.viaClosure = () => add(1, 2);
        globalThis.table = { add, greet };
        globalThis.atBuild = add(20, 22);
    )",
        [&](js::V8Runtime& runtime) {
            ASSERT_TRUE(js::expose(runtime, "host.math.add", [&](double a, double b) {
                ++builderCalls;
                return a + b;
            }));
            ASSERT_TRUE(js::expose(runtime, "host.greet", [](std::string name) { return "hello " + name; }));
        });
    EXPECT_EQ(builderCalls, 1);
    EXPECT_THAT(snapshot.hostFunctions(), UnorderedElementsAre("host.math.add", "host.greet"));

    int restoredCalls = 0;
    Restored restored(snapshot, [&](js::V8Runtime& runtime) {
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
}

TEST(SnapshotHostFunctions, AFunctionNotExposedAgainRefusesTheRestoreAndNamesEachOneMissing)
{
    const js::StartupSnapshot snapshot = built("const kept = [host.one, host.two, host.three];", [](js::V8Runtime& runtime) {
        for (const char* path : {"host.one", "host.two", "host.three"})
            ASSERT_TRUE(js::expose(runtime, path, [] { return 1; }));
    });

    auto none = js::restoreRuntime(snapshot, {});
    ASSERT_FALSE(none);
    EXPECT_THAT(none.error().message, HasSubstr("host.one, host.two and host.three"));

    auto some = js::restoreRuntime(snapshot, {}, [](js::V8Runtime& runtime) {
        ASSERT_TRUE(js::expose(runtime, "host.two", [] { return 2; }));
    });
    ASSERT_FALSE(some);
    EXPECT_THAT(some.error().message, EndsWith("host.one and host.three"));

    // A function of another name does not stand in for a missing one.
    auto other = js::restoreRuntime(snapshot, {}, [](js::V8Runtime& runtime) {
        for (const char* path : {"host.one", "host.two", "host.four"})
            ASSERT_TRUE(js::expose(runtime, path, [] { return 4; }));
    });
    ASSERT_FALSE(other);
    EXPECT_THAT(other.error().message, EndsWith("host.three"));
}

// ---- New contexts in a restored runtime -------------------------------------------

// Runs `code` in `context` and gives String() of its value.
std::string inContext(js::V8Runtime& runtime, v8::Local<v8::Context> context, std::string_view code)
{
    v8::Isolate* isolate = runtime.isolate();
    v8::Context::Scope contextScope(context);
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Script> script;
    v8::Local<v8::Value> value;
    if (!v8::Script::Compile(context, js::V8Helper::v8_string("String(" + std::string(code) + ")", isolate))
             .ToLocal(&script) ||
        !script->Run(context).ToLocal(&value))
        return "error: " + js::V8Helper::qor_string(tryCatch.Exception(), isolate);
    return js::V8Helper::qor_string(value, isolate);
}

TEST(SnapshotContexts, EachNewContextStartsWithTheStateAndKeepsItsChangesToItself)
{
    const js::StartupSnapshot snapshot = built(
        kState + "const twice = host.twice; var calls = () => twice(21);",
        [](js::V8Runtime& runtime) { ASSERT_TRUE(js::expose(runtime, "host.twice", [](int n) { return 2 * n; })); },
        false);
    Restored restored(snapshot, [](js::V8Runtime& runtime) {
        ASSERT_TRUE(js::expose(runtime, "host.twice", [](int n) { return 2 * n + 1; }));
    });
    js::V8Runtime& runtime = *restored.runtime;
    js::V8Runtime::Scope scope(runtime);
    v8::Local<v8::Context> first = v8::Context::New(runtime.isolate());
    v8::Local<v8::Context> second = v8::Context::New(runtime.isolate());

    for (v8::Local<v8::Context> context : {first, second})
        EXPECT_EQ(inContext(runtime, context, "[new Square(2).area(), counter(), reveal(), data.map.get('a')]"),
                  "4,3,kept in a closure,1");
    EXPECT_EQ(inContext(runtime, first, "[counter(), data.nested.deep.list.push(4), globalThis.added = 'first']"),
              "4,4,first");
    EXPECT_EQ(inContext(runtime, second, "[counter(), data.nested.deep.list.length, typeof added]"), "4,3,undefined");
    EXPECT_EQ(inContext(runtime, first, "[counter(), data.nested.deep.list.length]"), "5,4");
    // Each context's objects are its own.
    EXPECT_EQ(inContext(runtime, second, "Object.getPrototypeOf(Square)"), inContext(runtime, second, "Shape"));

    // The runtime's own context is one more, untouched by the two.
    EXPECT_EQ(restored.show("[counter(), data.nested.deep.list.length, typeof added]"), "[ 3, 3, 'undefined' ]");

    // Host functions reach what the runtime exposed from every context.
    EXPECT_EQ(inContext(runtime, first, "calls()"), "43");
    EXPECT_EQ(inContext(runtime, second, "host.twice(1)"), "3");
}

TEST(SnapshotContexts, RuntimesOnSeveralThreadsRestoreOneSnapshotAtOnce)
{
    const js::StartupSnapshot snapshot = built(
        kState + "const twice = host.twice; var calls = () => twice(21);",
        [](js::V8Runtime& runtime) { ASSERT_TRUE(js::expose(runtime, "host.twice", [](int n) { return 2 * n; })); },
        false);
    constexpr int kThreads = 4;
    std::vector<std::string> seen(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int thread = 0; thread < kThreads; ++thread)
            threads.emplace_back([&, thread] {
                std::string& mine = seen[static_cast<std::size_t>(thread)];
                for (int round = 0; round < 5; ++round) {
                    // Each thread's own function, exposed again under the same name.
                    Restored restored(snapshot, [thread](js::V8Runtime& runtime) {
                        (void)js::expose(runtime, "host.twice", [thread](int n) { return 2 * n + thread; });
                    });
                    mine = restored.show("[calls(), counter(), data.map.get('a')].join()");
                }
            });
    }
    for (int thread = 0; thread < kThreads; ++thread)
        EXPECT_EQ(seen[static_cast<std::size_t>(thread)], "'" + std::to_string(42 + thread) + ",3,1'");
}

// ---- What a snapshot cannot hold -------------------------------------------------

struct Counter {
    int count = 0;
};

TEST(SnapshotBuild, WhatASnapshotCannotHoldRefusesTheBuildAndIsNamed)
{
    struct Case {
        const char* what;
        std::function<void(js::V8Runtime&)> make;
        const char* named;
    };
    std::vector<js::V8Runtime::KeepAlive> held;
    std::optional<js::HostPromise<int>> promise;
    const std::vector<Case> cases = {
        {"a pending timer",
         [](js::V8Runtime& runtime) {
             js::V8Runtime::Scope scope(runtime);
             ASSERT_TRUE(runtime.runScript({"setTimeout(() => {}, 60000)", "/snapshot/timer.js"}));
         },
         "timers are set"},
        {"an interval",
         [](js::V8Runtime& runtime) {
             js::V8Runtime::Scope scope(runtime);
             ASSERT_TRUE(runtime.runScript({"setInterval(() => {}, 10)", "/snapshot/interval.js"}));
         },
         "timers are set"},
        {"an ES module",
         [](js::V8Runtime& runtime) {
             js::V8Runtime::Scope scope(runtime);
             ASSERT_TRUE(runtime.runModuleText("globalThis.fromModule = 1;", "app:/state.mjs"));
         },
         "it holds ES modules"},
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
    for (const Case& each : cases) {
        js::SnapshotBuilder builder(withConsoleAndTimers());
        each.make(builder.runtime());
        auto snapshot = builder.build();
        ASSERT_FALSE(snapshot) << each.what;
        EXPECT_THAT(snapshot.error().message, StartsWith("cannot make a snapshot of this runtime: ")) << each.what;
        EXPECT_THAT(snapshot.error().message, HasSubstr(each.named)) << each.what;
        // The runtime went with the refused build.
        EXPECT_THROW(builder.runtime(), std::logic_error) << each.what;
        EXPECT_FALSE(builder.build()) << each.what;
    }
}

TEST(SnapshotBuild, OnceTheTimersRanOrWereClearedAndTheHostLetGoTheSnapshotIsMade)
{
    js::SnapshotBuilder builder(withConsoleAndTimers());
    js::V8Runtime& runtime = builder.runtime();
    js::V8Runtime::KeepAlive keep = runtime.remote().keepAlive();
    ASSERT_TRUE(runtime.remote().post([](js::V8Runtime& on) {
        js::V8Runtime::Scope scope(on);
        ASSERT_TRUE(on.runScript({"globalThis.posted = 'ran';", "/snapshot/posted.js"}));
    }));
    {
        js::V8Runtime::Scope scope(runtime);
        ASSERT_TRUE(runtime.runScript({"var ticks = 0; const id = setInterval(() => { if (++ticks === 3)"
                                       " clearInterval(id); }, 1); clearTimeout(setTimeout(() => {}, 60000));"
                                       " setTimeout(() => { globalThis.fired = true; }, 1);"
                                       " var pending = new Promise(() => {});",
                                       "/snapshot/timers.js"}));
    }
    keep.release();
    ASSERT_TRUE(runtime.runLoop());
    auto snapshot = builder.build();
    ASSERT_TRUE(snapshot) << snapshot.error().message;

    Restored restored(*snapshot);
    EXPECT_EQ(restored.show("[ticks, fired, posted, typeof pending.then]"), "[ 3, true, 'ran', 'function' ]");
}

// ---- Bytes that are not a snapshot of this build -----------------------------------

TEST(SnapshotBytes, CutFlippedAndForeignBytesAreRefusedWithAnError)
{
    const js::StartupSnapshot snapshot = built("var x = 1; const f = host.f;", [](js::V8Runtime& runtime) {
        ASSERT_TRUE(js::expose(runtime, "host.f", [] { return 1; }));
    });
    const std::vector<std::uint8_t>& good = snapshot.bytes();
    ASSERT_GT(good.size(), 100000u);
    EXPECT_EQ(refusal(good), "accepted");

    for (std::size_t size : {std::size_t{0}, std::size_t{1}, kHeaderSize - 1, kHeaderSize, kHeaderSize + 1,
                             std::size_t{1000}, good.size() / 2, good.size() - 1}) {
        EXPECT_THAT(refusal({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)}), StartsWith(kRefused))
            << size << " bytes";
    }
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_THAT(refusal(longer), StartsWith(kRefused));

    // Every bit of the header and the names, and bits all through V8's part.
    std::vector<std::size_t> bits;
    for (std::size_t bit = 0; bit < (kHeaderSize + 16) * 8; ++bit)
        bits.push_back(bit);
    for (std::size_t at = kHeaderSize + 16; at < good.size(); at += 997)
        bits.push_back(at * 8 + at % 8);
    bits.push_back(good.size() * 8 - 1);
    for (std::size_t bit : bits) {
        std::vector<std::uint8_t> flipped = good;
        flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        ASSERT_THAT(refusal(std::move(flipped)), StartsWith(kRefused)) << "bit " << bit;
    }

    // Not a snapshot at all.
    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(good.size());
    for (std::uint8_t& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    EXPECT_EQ(refusal(noise), kRefused + "it is not a snapshot this library made");
    EXPECT_EQ(refusal(std::vector<std::uint8_t>(good.size(), 0)), kRefused + "it is not a snapshot this library made");
    std::vector<std::uint8_t> codeCache;
    {
        js::V8Runtime runtime;
        js::V8Runtime::Scope scope(runtime);
        const std::string text = "var x = 1; function f() { return x; } f()";
        auto compiled = js::compileScript(runtime.context(), {text, "/snapshot/code.js"});
        ASSERT_TRUE(compiled);
        codeCache = js::CodeCache::of(compiled->script->GetUnboundScript(), text).bytes();
    }
    ASSERT_FALSE(codeCache.empty());
    EXPECT_EQ(refusal(codeCache), kRefused + "it is not a snapshot this library made");
}

TEST(SnapshotBytes, AnotherVersionOfTheLibraryOrOfV8IsRefusedAndToldToMakeItAgain)
{
    const std::vector<std::uint8_t> good = built("var x = 1").bytes();

    std::vector<std::uint8_t> otherLibrary = good;
    std::memset(otherLibrary.data() + kLibraryOffset, 0, 16);
    std::memcpy(otherLibrary.data() + kLibraryOffset, "99.1.7", 6);
    EXPECT_EQ(refusal(otherLibrary), kRefused + "it was made by QorJavaScript 99.1.7, this is " +
                                         QORJAVASCRIPT_VERSION + "; make it again");
    // Sixteen characters and no end: read as sixteen, and no further.
    std::memset(otherLibrary.data() + kLibraryOffset, '9', 16);
    EXPECT_THAT(refusal(otherLibrary), HasSubstr("made by QorJavaScript 9999999999999999,"));

    std::vector<std::uint8_t> otherV8 = good;
    std::memset(otherV8.data() + kV8Offset, 0, 32);
    std::memcpy(otherV8.data() + kV8Offset, "9.8.177.11", 10);
    EXPECT_THAT(refusal(otherV8), AllOf(StartsWith(kRefused + "it was made with V8 9.8.177.11, this is V8 10.2."),
                                        EndsWith("; make it again")));

    // A build with other library callbacks numbers them otherwise.
    std::vector<std::uint8_t> otherBuild = good;
    setField(otherBuild, kReferencesOffset, field<std::uint32_t>(good, kReferencesOffset) + 1);
    EXPECT_EQ(refusal(resealed(otherBuild)), kRefused + "it was made by another build of QorJavaScript; make it again");
}

TEST(SnapshotBytes, BytesWhoseChecksumAgreesAreStillCheckedBeforeV8ReadsThem)
{
    const std::vector<std::uint8_t> good = built("var x = 1; const f = host.f;", [](js::V8Runtime& runtime) {
                                               ASSERT_TRUE(js::expose(runtime, "host.f", [] { return 1; }));
                                           }).bytes();
    const auto blobOffset = field<std::uint64_t>(good, kBlobOffsetOffset);
    const auto namesSize = field<std::uint64_t>(good, kNamesSizeOffset);
    ASSERT_EQ(namesSize, std::string_view("host.f").size() + 1);

    // V8's part cut down to a few bytes: V8 would end the process reading
    // its own header from it.
    for (std::uint64_t blobSize : {1u, 8u, 76u, 77u, 200u}) {
        std::vector<std::uint8_t> tiny(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(blobOffset + blobSize));
        setField(tiny, kBlobSizeOffset, blobSize);
        EXPECT_THAT(refusal(resealed(tiny)), StartsWith(kRefused + "it is damaged")) << blobSize << " bytes";
    }

    // The names' last end cut off.
    std::vector<std::uint8_t> unended = good;
    setField(unended, kNamesSizeOffset, namesSize - 1);
    EXPECT_EQ(refusal(resealed(unended)), kRefused + "it is damaged: its list of host functions is cut short");

    // V8's part moved off its alignment, or overlapping the names.
    std::vector<std::uint8_t> moved = good;
    moved.insert(moved.begin() + static_cast<std::ptrdiff_t>(blobOffset), std::uint8_t{0});
    setField(moved, kBlobOffsetOffset, blobOffset + 1);
    EXPECT_THAT(refusal(resealed(moved)), HasSubstr("its parts do not add up"));
    std::vector<std::uint8_t> overlapping = good;
    setField(overlapping, kNamesSizeOffset, blobOffset);
    EXPECT_THAT(refusal(resealed(overlapping)), HasSubstr("its parts do not add up"));

    // Made with other V8 flags: taken as bytes (V8's flags are final only
    // once it runs), refused when restored.
    std::vector<std::uint8_t> otherFlags = good;
    setField(otherFlags, kTagOffset, field<std::uint32_t>(good, kTagOffset) ^ 0x10u);
    auto snapshot = js::StartupSnapshot::fromBytes(resealed(otherFlags));
    ASSERT_TRUE(snapshot) << snapshot.error().message;
    auto restored = js::restoreRuntime(*snapshot, {}, [](js::V8Runtime& runtime) {
        ASSERT_TRUE(js::expose(runtime, "host.f", [] { return 1; }));
    });
    ASSERT_FALSE(restored);
    EXPECT_EQ(restored.error().message, kRefused + "it was made with other V8 flags; make it again");
}

// ---- Files ---------------------------------------------------------------------

TEST(SnapshotFiles, AWrittenFileReadsBackAsTheSameSnapshotAndAMissingOrDamagedFileIsAnError)
{
    std::string pattern = (fs::temp_directory_path() / "qorjs-snapshot-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path directory = pattern;
    const js::StartupSnapshot snapshot = built("var answer = 42; const f = host.f;", [](js::V8Runtime& runtime) {
        ASSERT_TRUE(js::expose(runtime, "host.f", [] { return 1; }));
    });

    const fs::path file = directory / "state.snapshot";
    ASSERT_TRUE(snapshot.writeFile(file));
    // Written again over itself, through a temporary file that does not stay.
    ASSERT_TRUE(snapshot.writeFile(file));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
    auto read = js::StartupSnapshot::readFile(file);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->bytes(), snapshot.bytes());
    EXPECT_THAT(read->hostFunctions(), ElementsAre("host.f"));
    Restored restored(*read, [](js::V8Runtime& runtime) { ASSERT_TRUE(js::expose(runtime, "host.f", [] { return 1; })); });
    EXPECT_EQ(restored.show("answer"), "42");

    auto missing = js::StartupSnapshot::readFile(directory / "missing.snapshot");
    ASSERT_FALSE(missing);
    EXPECT_THAT(missing.error().message, AllOf(HasSubstr("missing.snapshot"), HasSubstr("No such file")));
    auto aDirectory = js::StartupSnapshot::readFile(directory);
    ASSERT_FALSE(aDirectory);

    {
        std::fstream damage(file, std::ios::in | std::ios::out | std::ios::binary);
        damage.seekp(5000);
        damage.put('\x7f');
    }
    auto damaged = js::StartupSnapshot::readFile(file);
    ASSERT_FALSE(damaged);
    EXPECT_EQ(damaged.error().message, file.string() + " is " + kRefused + "it is damaged: its checksum is wrong");

    // Where no file can be written: an Error, and nothing left behind.
    EXPECT_FALSE(snapshot.writeFile(directory / "no" / "such" / "dir.snapshot"));
    EXPECT_FALSE(snapshot.writeFile(file / "below-a-file.snapshot"));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
    fs::remove_all(directory);
}

}  // namespace

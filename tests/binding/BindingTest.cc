// The binding layer as a host uses it: values crossing both ways and what
// is refused, failures on either side reaching the other, C++ objects owned
// by the host or by JavaScript, promises settled from other threads, paths
// to expose at, and numeric functions once TurboFan has optimised their
// callers.
#include <qor/javascript/JsonConversion.h>
#include <qor/javascript/QorJavaScript.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <system_error>
#include <thread>

namespace {

namespace js = qor::format::engine::javascript;
using namespace ::testing;
using namespace std::chrono_literals;
using json = nlohmann::json;

struct Host {
    explicit Host(js::V8Runtime::Settings settings = {}) : runtime(std::move(settings)) {}

    // The completion value of `code` as a console shows it; a failure as
    // "error: <message>".
    std::string show(std::string_view code)
    {
        js::V8Runtime::Scope scope(runtime);
        auto result = runtime.runScript({code, "/test/binding.js"});
        return result ? runtime.inspect(*result) : "error: " + result.error().message;
    }

    // The expression `code` as text, String() of its value.
    std::string text(std::string_view code)
    {
        js::V8Runtime::Scope scope(runtime);
        auto result = runtime.runScript({"String(" + std::string(code) + ")", "/test/binding.js"});
        if (!result)
            return "error: " + result.error().message;
        return js::valueAs<std::string>(runtime, *result).value_or("not a string");
    }

    // What the expression `code` throws, as "<name>: <message>"; "returned
    // <value>" when it throws nothing.
    std::string thrown(std::string_view code)
    {
        return text("(() => { try { return 'returned ' + String(" + std::string(code) +
                    "); } catch (e) { return e.name + ': ' + e.message; } })()");
    }

    template <class... What>
    void expose(std::string_view path, What&&... what)
    {
        auto done = js::expose(runtime, path, std::forward<What>(what)...);
        ASSERT_TRUE(done) << path << ": " << done.error().message;
    }

    js::V8Runtime runtime;
};

const std::string kInt32 = "expected an integer from -2147483648 to 2147483647";

// ---- Values both ways ----------------------------------------------------------

TEST(Conversions, BooleansAreNeverTruthinessAndIntegersAreNeverCutWrappedOrRounded)
{
    Host host;
    host.expose("t.not", [](bool value) { return !value; });
    host.expose("t.i8", [](std::int8_t n) { return n; });
    host.expose("t.i32", [](int n) { return n; });
    host.expose("t.u32", [](std::uint32_t n) { return n; });
    host.expose("t.i64", [](std::int64_t n) { return n; });
    host.expose("t.u64", [](std::uint64_t n) { return n; });

    EXPECT_EQ(host.show("[t.not(true), t.not(false)]"), "[ false, true ]");
    EXPECT_EQ(host.thrown("t.not(1)"), "TypeError: t.not: argument 1: expected a boolean, got 1");
    EXPECT_THAT(host.thrown("t.not('')"), StartsWith("TypeError"));

    EXPECT_EQ(host.show("[t.i8(-128), t.i8(127), t.u32(4294967295), t.i32(-0)]"), "[ -128, 127, 4294967295, 0 ]");
    EXPECT_EQ(host.thrown("t.i8(128)"), "TypeError: t.i8: argument 1: expected an integer from -128 to 127, got 128");
    EXPECT_EQ(host.thrown("t.i32(1.5)"), "TypeError: t.i32: argument 1: " + kInt32 + ", got 1.5");
    for (const char* refused : {"t.u32(-1)", "t.u32(2 ** 32)", "t.i32(NaN)", "t.i64(Infinity)", "t.i64(2 ** 63)",
                                "t.u64(-1)", "t.u64(-1n)", "t.i32('1')"})
        EXPECT_THAT(host.thrown(refused), StartsWith("TypeError")) << refused;
    // Only the 64-bit types take a BigInt.
    EXPECT_EQ(host.thrown("t.i32(1n)"), "TypeError: t.i32: argument 1: " + kInt32 + ", got a BigInt");
    EXPECT_EQ(host.thrown("t.i64(2n ** 63n)"),
              "TypeError: t.i64: argument 1: expected an integer from -9223372036854775808 to 9223372036854775807, "
              "got a BigInt outside it");

    // Exact as a Number up to 2^53; beyond, a BigInt, which is exact.
    EXPECT_EQ(host.show("[t.i64(2n ** 63n - 1n) === 2n ** 63n - 1n, t.i64(-(2n ** 63n)) === -(2n ** 63n),"
                        " t.u64(2n ** 64n - 1n) === 2n ** 64n - 1n, typeof t.i64(2 ** 53)]"),
              "[ true, true, true, 'number' ]");
    EXPECT_EQ(host.show("[t.i64(2 ** 53 + 2), t.i64(-(2 ** 53) - 2), t.u64(2 ** 64 - 2048)]"),
              "[ 9007199254740994n, -9007199254740994n, 18446744073709549568n ]");

    // From C++: the same rules for arguments and results.
    host.show("globalThis.kind = x => typeof x + ' ' + String(x); globalThis.big = () => 2n ** 64n - 1n");
    EXPECT_EQ(js::callAs<std::string>(host.runtime, "kind", std::int64_t{1} << 60), "bigint 1152921504606846976");
    EXPECT_EQ(js::callAs<std::string>(host.runtime, "kind", std::uint64_t{1} << 53), "number 9007199254740992");
    EXPECT_EQ(js::callAs<std::string>(host.runtime, "kind", std::int8_t{-128}), "number -128");
    EXPECT_EQ(js::callAs<std::string>(host.runtime, "kind", UINT32_MAX), "number 4294967295");
    EXPECT_EQ(js::callAs<std::uint64_t>(host.runtime, "big"), UINT64_MAX);
    EXPECT_FALSE(js::callAs<std::int64_t>(host.runtime, "big"));
}

TEST(Conversions, NumbersTakeAnyNumberAndStringsAreUtf8WithNulsKeptAndLoneSurrogatesReplaced)
{
    Host host;
    host.expose("t.same", [](double x) { return x; });
    std::string seen;
    host.expose("t.take", [&seen](std::string_view text) {
        seen = text;
        return text.size();
    });
    host.expose("t.echo", [](std::string text) { return text; });
    host.expose("t.view", []() -> std::string_view { return "a view"; });
    host.expose("t.none", []() -> const char* { return nullptr; });

    EXPECT_EQ(host.show("[t.same(NaN), t.same(-Infinity), Object.is(t.same(-0), -0), t.same(0.1)]"),
              "[ NaN, -Infinity, true, 0.1 ]");
    EXPECT_EQ(host.thrown("t.same('1')"), "TypeError: t.same: argument 1: expected a number, got '1'");
    EXPECT_EQ(host.thrown("t.same('a'.repeat(30))"),
              "TypeError: t.same: argument 1: expected a number, got 'aaaaaaaaaaaaaaaaaaaaaaaa...' (30 characters)");
    EXPECT_THAT(host.thrown("t.same(1n)"), EndsWith("got a BigInt"));

    EXPECT_EQ(host.show("t.take('h\\u00e9\\u0000!')"), "5");
    EXPECT_EQ(seen, std::string("h\xC3\xA9\0!", 5));
    EXPECT_EQ(host.show("t.take('\\ud800x')"), "4");
    EXPECT_EQ(seen, "\xEF\xBF\xBDx");
    EXPECT_EQ(host.show("[t.echo('a\\u0000b') === 'a\\u0000b', t.echo('\\u{1F600}').length, t.view(), t.none()]"),
              "[ true, 2, 'a view', null ]");
    // No String() of other values.
    EXPECT_EQ(host.thrown("t.echo({ toString() { return 'x'; } })"),
              "TypeError: t.echo: argument 1: expected a string, got an object");

    host.show("globalThis.units = s => s.length");
    EXPECT_EQ(js::callAs<int>(host.runtime, "units", std::string("x\0y", 3)), 3);
    EXPECT_EQ(js::callAs<int>(host.runtime, "units", std::string_view("\xC3\xA9")), 1);
    EXPECT_EQ(js::callAs<int>(host.runtime, "units", "abc"), 3);
}

TEST(Conversions, OptionalsVectorsAndMapsConvertElementWiseAndARefusalSaysWhere)
{
    Host host;
    host.expose("t.opt", [](int a, std::optional<int> b) { return b ? a + *b : -a; });
    host.expose("t.maybe", [](bool give) -> std::optional<std::string> {
        if (give)
            return "given";
        return std::nullopt;
    });
    host.expose("t.sum", [](const std::vector<std::vector<int>>& rows) {
        int sum = 0;
        for (const auto& row : rows)
            for (int n : row)
                sum += n;
        return sum;
    });
    host.expose("t.repeat", [](std::string text, int n) { return std::vector<std::string>(n, text); });
    host.expose("t.listed", [](std::map<std::string, std::vector<int>> lists) {
        std::string text;
        for (const auto& [name, list] : lists)
            text += name + ":" + std::to_string(list.size()) + ";";
        return text;
    });
    host.expose("t.nested", [](std::unordered_map<std::string, std::map<std::string, int>> values) { return values; });
    host.expose("t.proto", [] { return std::map<std::string, int>{{"__proto__", 1}}; });

    EXPECT_EQ(host.show("[t.opt(1), t.opt(1, undefined), t.opt(1, null), t.opt(1, 2), t.opt.length]"),
              "[ -1, -1, -1, 3, 1 ]");
    EXPECT_EQ(host.thrown("t.opt()"), "TypeError: t.opt: expected 1 to 2 arguments, got 0");
    EXPECT_THAT(host.thrown("t.opt(1, 2, 3)"), EndsWith("got 3"));
    EXPECT_EQ(host.thrown("t.opt(1, '2')"), "TypeError: t.opt: argument 2: " + kInt32 + ", got '2'");
    EXPECT_EQ(host.show("[t.maybe(true), t.maybe(false)]"), "[ 'given', null ]");

    EXPECT_EQ(host.show("[t.sum([[1, 2], [], [3]]), t.repeat('a', 2)]"), "[ 6, [ 'a', 'a' ] ]");
    EXPECT_EQ(host.thrown("t.sum([[1], [2, 'x']])"), "TypeError: t.sum: argument 1: [1][1]: " + kInt32 + ", got 'x'");
    EXPECT_EQ(host.thrown("t.sum({ length: 0 })"), "TypeError: t.sum: argument 1: expected an array, got an object");

    EXPECT_EQ(host.show("t.listed({ b: [], a: [1, 2] })"), "'a:2;b:0;'");
    EXPECT_THAT(host.thrown("t.listed({ a: [1, 'x'] })"), HasSubstr("argument 1: a[1]: expected an integer"));
    EXPECT_THAT(host.thrown("t.nested({ a: { b: null } })"), HasSubstr("argument 1: a.b: expected an integer"));
    EXPECT_EQ(host.thrown("t.listed([[1]])"), "TypeError: t.listed: argument 1: expected an object, got an array");
    EXPECT_THAT(host.thrown("t.listed(() => 1)"), EndsWith("got a function"));
    EXPECT_EQ(host.show("JSON.stringify(t.nested({ x: { y: 1 }, z: {} }), ['x', 'y', 'z'])"), "'{\"x\":{\"y\":1},\"z\":{}}'");
    // A key is defined on the result, never assigned: "__proto__" stays a key.
    EXPECT_EQ(host.show("[Object.keys(t.proto()), Object.getPrototypeOf(t.proto()) === Object.prototype]"),
              "[ [ '__proto__' ], true ]");
    // A getter met on the way is the value's own code: what it throws is the exception.
    EXPECT_EQ(host.thrown("t.listed({ get a() { throw new RangeError('not now'); } })"), "RangeError: not now");
}

TEST(Conversions, V8HandlesJavaScriptFunctionsAndStdFunctionsPassBothWays)
{
    Host host;
    host.expose("t.fn", [](v8::Local<v8::Function> f, v8::Local<v8::Value>) { return f; });
    host.expose("t.bytes", [](v8::Local<v8::Uint8Array> bytes) { return bytes->Length(); });
    host.expose("t.nothing", [] { return v8::Local<v8::Object>(); });
    js::JsFunction kept;
    host.expose("t.keep", [&kept](js::JsFunction f) { kept = std::move(f); });
    host.expose("t.twice", [](std::function<int(int)> f, int x) { return f(f(x)); });
    host.expose("t.scale", [](double k) { return std::function<double(double)>([k](double x) { return k * x; }); });

    EXPECT_EQ(host.show("[t.fn(Math.max, undefined) === Math.max, t.bytes(new Uint8Array(3)), t.nothing()]"),
              "[ true, 3, undefined ]");
    EXPECT_EQ(host.thrown("t.fn({}, 1)"), "TypeError: t.fn: argument 1: expected a function, got an object");
    EXPECT_EQ(host.thrown("t.bytes(new ArrayBuffer(3))"),
              "TypeError: t.bytes: argument 1: expected a Uint8Array, got an object");
    EXPECT_THAT(host.thrown("t.keep(1)"), EndsWith("expected a function, got 1"));

    EXPECT_FALSE(kept);
    host.show("t.keep((a, b) => [a, b].join(' and '))");
    EXPECT_TRUE(kept);
    EXPECT_EQ(kept.call<std::string>(1, std::string("two")), "1 and two");
    EXPECT_EQ(host.show("t.twice(x => x + 3, 1)"), "7");
    EXPECT_EQ(host.show("t.scale(3)(4)"), "12");
    EXPECT_EQ(host.thrown("t.scale(3)('x')"), "TypeError: a host function: argument 1: expected a number, got 'x'");

    {
        js::V8Runtime::Scope scope(host.runtime);
        host.show("globalThis.pair = () => [1, 2]");
        auto array = js::callAs<v8::Local<v8::Array>>(host.runtime, "pair");
        ASSERT_TRUE(array);
        EXPECT_EQ((*array)->Length(), 2u);
        EXPECT_FALSE(js::callAs<v8::Local<v8::String>>(host.runtime, "pair"));
    }
}

TEST(Conversions, JsonDataGoesBothWaysWithoutCyclesOrNonFiniteNumbers)
{
    Host host;
    host.expose("t.dump", [](const json& data) { return data.dump(); });
    host.expose("t.config", [] {
        return json::parse(R"({"name":"q","sizes":[1,2.5,-3],"on":true,"none":null,"__proto__":{"x":1}})");
    });

    EXPECT_EQ(host.show("t.dump({ a: [1, 2.5, 'x', null, true], skipped: undefined, n: { deep: {} }, big: 2 ** 60 })"),
              R"('{"a":[1,2.5,"x",null,true],"big":1152921504606846976,"n":{"deep":{}}}')");
    // The same object twice is no cycle.
    EXPECT_EQ(host.show("const twice = { v: 1 }; t.dump([twice, twice])"), R"('[{"v":1},{"v":1}]')");
    EXPECT_EQ(host.thrown("(() => { const o = { list: [] }; o.list.push(o); return t.dump(o); })()"),
              "TypeError: t.dump: argument 1: list[0]: expected JSON data, got a cycle (an object inside itself)");
    EXPECT_EQ(host.thrown("t.dump({ n: NaN })"),
              "TypeError: t.dump: argument 1: n: expected JSON data (a finite number), got NaN");
    EXPECT_EQ(host.thrown("t.dump([() => 1])"), "TypeError: t.dump: argument 1: [0]: expected JSON data, got a function");
    EXPECT_THAT(host.thrown("t.dump([1n])"), EndsWith("got a BigInt"));
    // 1000 arrays inside one another are the deepest data taken.
    host.show("globalThis.nested = (n) => { let d = []; for (let i = 1; i < n; ++i) d = [d]; return d; }");
    EXPECT_EQ(host.show("t.dump(nested(1000)).length"), "2000");
    EXPECT_THAT(host.thrown("t.dump(nested(1001))"), EndsWith("expected JSON data nested at most 1000 deep, got deeper"));

    EXPECT_EQ(host.show("JSON.stringify(t.config())"),
              R"('{"__proto__":{"x":1},"name":"q","none":null,"on":true,"sizes":[1,2.5,-3]}')");
    EXPECT_EQ(host.show("t.config().x"), "undefined");
}

TEST(Conversions, RestTakesEveryRemainingArgumentEachConverted)
{
    Host host;
    host.expose("t.join", [](std::string separator, js::Rest<int> numbers) {
        std::string text;
        for (int n : numbers)
            text += (text.empty() ? "" : separator) + std::to_string(n);
        return text;
    });
    EXPECT_EQ(host.show("[t.join('-'), t.join('-', 1, 2, 3), t.join.length]"), "[ '', '1-2-3', 1 ]");
    EXPECT_EQ(host.thrown("t.join('-', 1, 'x')"), "TypeError: t.join: argument 3: " + kInt32 + ", got 'x'");
    EXPECT_EQ(host.thrown("t.join()"), "TypeError: t.join: expected at least 1 argument, got 0");
}

// ---- Failures both ways ---------------------------------------------------------

TEST(Errors, AHostFunctionsFailuresBecomeJavaScriptErrorsWithTheirText)
{
    Host host;
    host.expose("t.add", [](int a, int b) { return a + b; });
    host.expose("t.full", []() -> int { throw std::runtime_error("disk full"); });
    host.expose("t.odd", [] { throw 42; });
    host.expose("t.sqrt", [](double x) -> std::expected<double, std::string> {
        if (x < 0)
            return std::unexpected("negative input");
        return x;
    });
    host.expose("t.open", []() -> std::expected<void, std::error_code> {
        return std::unexpected(std::make_error_code(std::errc::permission_denied));
    });
    EXPECT_EQ(host.thrown("t.add(1)"), "TypeError: t.add: expected 2 arguments, got 1");
    EXPECT_EQ(host.thrown("t.add(1, {})"), "TypeError: t.add: argument 2: " + kInt32 + ", got an object");
    EXPECT_EQ(host.thrown("t.full()"), "Error: disk full");
    EXPECT_EQ(host.thrown("t.odd()"), "Error: t.odd threw a C++ exception that is no std::exception");
    EXPECT_EQ(host.thrown("t.sqrt(-1)"), "Error: negative input");
    EXPECT_EQ(host.thrown("t.sqrt(4)"), "returned 4");
    EXPECT_EQ(host.thrown("t.open()"), "Error: Permission denied");
    EXPECT_EQ(host.show("try { t.full() } catch (e) { e instanceof Error }"), "true");
}

TEST(Errors, AJavaScriptFailureReachesTheCppCallerAsARecordAndNothingStaysPending)
{
    Host host;
    js::JsFunction kept;
    std::function<std::expected<int, js::Error>(int)> checked;
    std::function<int(int)> plain;
    host.expose("t.add", [](int a, int b) { return a + b; });
    host.expose("t.keep", [&](js::JsFunction f, std::function<std::expected<int, js::Error>(int)> c,
                              std::function<int(int)> p) {
        kept = std::move(f);
        checked = std::move(c);
        plain = std::move(p);
    });
    host.show("const f = n => { if (n < 0) throw new RangeError('negative ' + n); return n * 2; }; t.keep(f, f, f)");

    EXPECT_EQ(kept.call<int>(4), 8);
    auto failed = kept.call<int>(-1);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().type, js::Error::Type::Runtime);
    EXPECT_EQ(failed.error().message, "RangeError: negative -1");
    EXPECT_EQ(checked(5), 10);
    EXPECT_EQ(checked(-2).error().message, "RangeError: negative -2");
    EXPECT_EQ(plain(3), 6);
    try {
        plain(-3);
        ADD_FAILURE() << "no JsFunctionFailed";
    } catch (const js::JsFunctionFailed& failure) {
        EXPECT_EQ(failure.error.message, "RangeError: negative -3");
        EXPECT_STREQ(failure.what(), "RangeError: negative -3");
    }
    // Inside a host function, the callback's failure is that function's Error.
    host.expose("t.apply", [](std::function<int(int)> f, int x) { return f(x); });
    EXPECT_THAT(host.thrown("t.apply(f, -4)"), HasSubstr("RangeError: negative -4"));

    auto unconverted = kept.call<std::string>(1);
    ASSERT_FALSE(unconverted);
    EXPECT_EQ(unconverted.error().type, js::Error::Type::Other);
    EXPECT_EQ(unconverted.error().message, "the function: its result: expected a string, got 2");
    EXPECT_EQ(js::callAs<int>(host.runtime, "t.add", 1, 2), 3);
    EXPECT_EQ(js::callAs<std::string>(host.runtime, "t.add", 1, 2).error().message,
              "t.add: its result: expected a string, got 3");

    // A getter met while converting a result throws into the record.
    host.show("globalThis.trap = () => ({ get a() { throw new Error('getter ran'); } })");
    auto trapped = js::callAs<std::map<std::string, int>>(host.runtime, "trap");
    ASSERT_FALSE(trapped);
    EXPECT_EQ(trapped.error().type, js::Error::Type::Runtime);
    EXPECT_EQ(trapped.error().message, "Error: getter ran");
    EXPECT_EQ(js::callAs<json>(host.runtime, "trap").error().message, "Error: getter ran");
    EXPECT_EQ(host.show("1 + 1"), "2");
    EXPECT_EQ(js::callAs<int>(host.runtime, "t.add", 2, 2), 4);
}

TEST(Errors, ACallbackRunsWithinItsCallerAndAFunctionKeptPastItsRuntimeSaysSo)
{
    js::JsFunction kept;
    {
        Host host;
        host.expose("t.keep", [&kept](js::JsFunction f) { kept = std::move(f); });
        host.expose("t.twice", [](std::function<void()> f) { f(), f(); });
        // Promise jobs wait for the script: a nested call does not run them.
        EXPECT_EQ(host.show("const order = []; Promise.resolve().then(() => order.push('job'));"
                            "t.twice(() => order.push('callback')); order.push('after'); order.join()"),
                  "'callback,callback,after'");
        EXPECT_EQ(host.show("order.join()"), "'callback,callback,after,job'");
        host.show("t.keep(() => 1)");
        ASSERT_TRUE(kept);
        // V8 may not be entered from another thread: the call says so instead.
        std::string elsewhere;
        std::thread([&] { elsewhere = kept.call<int>().error().message; }).join();
        EXPECT_EQ(elsewhere, "the function: called on another thread than its runtime's; post the call with the "
                             "runtime's Remote");
        EXPECT_EQ(kept.call<int>(), 1);
    }
    EXPECT_FALSE(kept);
    EXPECT_EQ(kept.call<int>().error().message, "the function: its runtime is gone");
    Host later;
    later.show("globalThis.id = x => x");
    EXPECT_EQ(js::callAs<void>(later.runtime, "id", kept).error().message,
              "id: argument 1: the function's runtime is gone");
}

// ---- Host objects ---------------------------------------------------------------

struct Counter {
    int count = 0;
    std::string label = "counter";
    int add(int n) { return count += n; }
    int value() const { return count; }
    void setValue(int n)
    {
        if (n < 0)
            throw std::invalid_argument("a count is never negative");
        count = n;
    }
};

TEST(HostObjects, TheHostsObjectsShowMethodsAndPropertiesUntilTheHostLetsGo)
{
    Host host;
    js::HostClass<Counter> counters(host.runtime, "Counter");
    counters.method("add", &Counter::add)
        .method("addTwice", [](Counter& counter, int n) { return counter.add(n), counter.add(n); })
        .property("value", &Counter::value, &Counter::setValue)
        .property("label", &Counter::label)
        .property("snapshot", &Counter::value);
    Counter mine, other, third;
    js::HostObject<Counter> shown = counters.wrap(mine);
    ASSERT_EQ(shown.get(), &mine);
    host.expose("host.counter", shown);
    host.expose("host.Counter", counters);

    EXPECT_EQ(host.show("host.counter.add(2); host.counter.addTwice(3)"), "8");
    EXPECT_EQ(host.show("host.counter.value = 1; host.counter.label = 'mine';"
                        "[host.counter.snapshot, host.counter.label, host.counter instanceof host.Counter]"),
              "[ 1, 'mine', true ]");
    EXPECT_EQ(mine.count, 1);
    EXPECT_EQ(mine.label, "mine");
    EXPECT_EQ(host.thrown("host.counter.snapshot = 5"), "TypeError: Counter.snapshot is read-only");
    EXPECT_EQ(host.thrown("host.counter.value = -1"), "Error: a count is never negative");
    EXPECT_EQ(host.thrown("host.counter.value = 'x'"), "TypeError: Counter.value: " + kInt32 + ", got 'x'");
    EXPECT_EQ(host.thrown("host.counter.add()"), "TypeError: Counter.add: expected 1 argument, got 0");
    EXPECT_THAT(host.thrown("host.counter.add.call({}, 1)"), StartsWith("TypeError"));
    EXPECT_THAT(host.thrown("host.counter.add.call(Object.create(host.counter), 1)"), StartsWith("TypeError"));
    EXPECT_EQ(host.thrown("new host.Counter()"),
              "TypeError: Counter objects are made by the host: JavaScript cannot make one");
    EXPECT_EQ(mine.count, 1);

    // Released, destroyed or replaced: JavaScript's object is cut off.
    host.show("globalThis.first = host.counter");
    shown.release();
    EXPECT_EQ(shown.get(), nullptr);
    EXPECT_EQ(host.thrown("first.add(1)"), "Error: this Counter is gone: the host let go of the object behind it");
    EXPECT_THAT(host.thrown("first.value"), StartsWith("Error: this Counter is gone"));
    EXPECT_THAT(host.thrown("first.value = 3"), StartsWith("Error: this Counter is gone"));
    {
        js::HostObject<Counter> brief = counters.wrap(other);
        host.expose("host.brief", brief);
        EXPECT_EQ(host.show("host.brief.add(4)"), "4");
    }
    EXPECT_THAT(host.thrown("host.brief.add(1)"), StartsWith("Error: this Counter is gone"));
    js::HostObject<Counter> moved = counters.wrap(other);
    host.expose("host.moved", moved);
    moved = counters.wrap(third);
    EXPECT_THAT(host.thrown("host.moved.add(1)"), StartsWith("Error: this Counter is gone"));
    EXPECT_EQ(other.count, 4);
    // Given up by the host as a temporary, it is the runtime's to keep.
    host.expose("host.given", counters.wrap(third));
    EXPECT_EQ(host.show("host.given.add(5)"), "5");

    // The class's shape is fixed once it is in use.
    EXPECT_THROW(counters.method("late", &Counter::value), std::logic_error);
    EXPECT_THROW(counters.property("late", &Counter::label), std::logic_error);
    EXPECT_THROW(counters.constructor<>(), std::logic_error);
    js::HostClass<Counter> wrappedFirst(host.runtime, "Wrapped");
    auto early = wrappedFirst.wrap(other);
    EXPECT_THROW(wrappedFirst.method("add", &Counter::add), std::logic_error);
}

TEST(HostObjects, AHostObjectThatOutlivesItsRuntimeIsHarmless)
{
    Counter counter;
    js::HostObject<Counter> shown;
    {
        js::V8Runtime runtime;
        js::HostClass<Counter> counters(runtime, "Counter");
        counters.method("add", &Counter::add);
        shown = counters.wrap(counter);
        ASSERT_TRUE(js::expose(runtime, "counter", shown));
    }
    EXPECT_EQ(shown.get(), &counter);
    shown.release();
    EXPECT_EQ(shown.get(), nullptr);
}

struct Owned {
    explicit Owned(int id) : id(id)
    {
        if (id < 0)
            throw std::invalid_argument("an id is never negative");
    }
    ~Owned() { ++destroyed; }
    Owned(const Owned&) = delete;
    int id;
    static inline int destroyed = 0;
};

TEST(HostObjects, JavaScriptOwnsWhatItMakesAndItGoesWhenCollectedOrWithTheRuntime)
{
    Owned::destroyed = 0;
    {
        Host host;
        js::HostClass<Owned> owned(host.runtime, "Owned");
        owned.constructor<int>().property("id", &Owned::id).method("twice", [](Owned& o) { return o.id * 2; });
        host.expose("host.Owned", owned);
        EXPECT_EQ(host.thrown("host.Owned(1)"), "TypeError: Class constructor Owned cannot be invoked without 'new'");
        EXPECT_EQ(host.thrown("new host.Owned(-1)"), "Error: an id is never negative");
        EXPECT_EQ(host.thrown("new host.Owned()"), "TypeError: Owned: expected 1 argument, got 0");
        EXPECT_EQ(host.show("globalThis.kept = new host.Owned(7); [kept.id, kept.twice(), kept instanceof host.Owned]"),
                  "[ 7, 14, true ]");
        EXPECT_EQ(host.show("class Special extends host.Owned { constructor() { super(3); } } "
                            "const special = new Special(); [special.twice(), special instanceof host.Owned]"),
                  "[ 6, true ]");
        EXPECT_EQ(host.show("for (let i = 0; i < 50; ++i) new host.Owned(i); 0"), "0");
        EXPECT_EQ(Owned::destroyed, 0);
        {
            v8::Isolate::Scope entered(host.runtime.isolate());
            host.runtime.isolate()->LowMemoryNotification();
        }
        EXPECT_EQ(Owned::destroyed, 50);
        EXPECT_EQ(host.show("kept.twice()"), "14");
    }
    EXPECT_EQ(Owned::destroyed, 52);  // kept and special, with the runtime
}

// What one runtime holds is a handle in its own isolate: another runtime must
// refuse it rather than mix it into its heap, or take another promise for it.
TEST(HostObjects, WhatOneRuntimeHoldsIsRefusedByAnother)
{
    Host host, other;
    js::JsFunction kept;
    host.expose("t.keep", [&kept](js::JsFunction f) { kept = std::move(f); });
    host.show("t.keep(() => 1)");
    js::HostClass<Counter> counters(host.runtime, "Counter");
    Counter counter;
    js::HostObject<Counter> shown = counters.wrap(counter);
    js::HostPromise<int> ours(host.runtime);
    js::HostPromise<int> theirs(other.runtime);
    other.show("globalThis.id = x => x");

    EXPECT_EQ(js::callAs<void>(other.runtime, "id", kept).error().message,
              "id: argument 1: the function belongs to another runtime");
    EXPECT_EQ(js::callAs<void>(other.runtime, "id", shown).error().message,
              "id: argument 1: the host object belongs to another runtime, or its runtime is gone");
    EXPECT_EQ(js::expose(other.runtime, "Counter", counters).error().message,
              "Counter: cannot be exposed: the class Counter belongs to another runtime");
    EXPECT_EQ(js::expose(other.runtime, "p", ours).error().message,
              "p: cannot be exposed: the host promise is not known to this runtime: settled already, or another "
              "runtime's");
    EXPECT_EQ(kept.call<int>(), 1);
    EXPECT_TRUE(ours.resolve(1));
    EXPECT_TRUE(theirs.resolve(2));
    // A value that does not convert as the promise settles rejects it.
    js::HostPromise<js::JsFunction> refused(other.runtime);
    other.expose("refused", refused);
    other.show("refused.catch(e => globalThis.why = e.name + ': ' + e.message)");
    EXPECT_TRUE(refused.resolve(kept));
    EXPECT_TRUE(host.runtime.runLoop());
    EXPECT_TRUE(other.runtime.runLoop());
    EXPECT_EQ(other.text("why"), "TypeError: the host's result: the function belongs to another runtime");
}

// ---- Promises -------------------------------------------------------------------

TEST(Promises, TheLoopWaitsForHostPromisesSettledOnOtherThreads)
{
    Host host;
    std::vector<std::jthread> workers;
    host.expose("host.later", [&workers](js::V8Runtime& runtime, int n) {
        js::HostPromise<std::vector<std::string>> promise(runtime);
        workers.emplace_back([promise, n] {
            std::this_thread::sleep_for(20ms);  // the loop is asleep by now
            EXPECT_TRUE(promise.resolve(std::vector<std::string>(n, "x")));
            EXPECT_FALSE(promise.reject("settled twice"));
        });
        return promise;
    });
    host.expose("host.refuse", [&workers](js::V8Runtime& runtime) {
        js::HostPromise<> promise(runtime);
        workers.emplace_back([promise] { EXPECT_TRUE(promise.reject("out of paper")); });
        return promise;
    });
    host.expose("host.forget", [](js::V8Runtime& runtime) { return js::HostPromise<int>(runtime); });
    host.show("globalThis.seen = [];"
              "host.later(3).then(v => seen.push(v.join('+')));"
              "host.refuse().catch(e => seen.push(e instanceof Error && e.message));"
              "host.forget().catch(e => seen.push(e.message))");
    ASSERT_TRUE(host.runtime.runLoop());
    EXPECT_EQ(host.show("seen.sort().join(' | ')"), "'out of paper | the host dropped the promise without settling it | x+x+x'");

    // The host may wait for its own promise too.
    js::HostPromise<int> mine(host.runtime);
    workers.emplace_back([mine] { mine.resolve(42); });
    js::V8Runtime::Scope scope(host.runtime);
    EXPECT_EQ(js::awaitAs<int>(host.runtime, *js::toValue(host.runtime.context(), mine)), 42);
}

TEST(Promises, APromiseSettledAfterItsRuntimeIsGoneDoesNothing)
{
    std::vector<js::HostPromise<std::string>> promises;
    {
        Host host;
        promises.emplace_back(host.runtime);
        promises.emplace_back(host.runtime);
        host.expose("pending", promises.front());
        EXPECT_EQ(host.show("pending.then(() => {}); pending instanceof Promise"), "true");
    }
    EXPECT_FALSE(promises.front().resolve("late"));
    std::jthread([&promises] { EXPECT_FALSE(promises.back().reject("late")); }).join();
    promises.clear();  // the last copies, unsettled: nothing to reject any more
}

TEST(Promises, AwaitAsConvertsTheSettledValueAndARejectionIsARecord)
{
    js::V8Runtime::Settings settings;
    settings.timers = true;
    settings.onUnhandledRejection = [](const js::Error&) { return true; };
    Host host(std::move(settings));
    js::V8Runtime::Scope scope(host.runtime);
    const auto awaited = [&](std::string_view code) {
        auto value = host.runtime.runScript({code, "/test/await.js"});
        EXPECT_TRUE(value) << code;
        return value.value_or(v8::Local<v8::Value>());
    };
    auto value = js::awaitAs<std::map<std::string, std::vector<int>>>(
        host.runtime, awaited("new Promise(r => setTimeout(() => r({ a: [1, 2] }), 5))"));
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, (std::map<std::string, std::vector<int>>{{"a", {1, 2}}}));

    auto rejected = js::awaitAs<int>(host.runtime, awaited("new Promise((_, no) => setTimeout(() => no(new RangeError('no')), 5))"));
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error().message, "RangeError: no");
    EXPECT_EQ(js::awaitAs<int>(host.runtime, awaited("Promise.resolve('x')")).error().message,
              "the awaited value: its result: " + kInt32 + ", got 'x'");
}

// ---- Paths ----------------------------------------------------------------------

struct Tally {
    int total = 0;
    int add(int n) { return total += n; }
    int peek() const { return total; }
};

int negate(int n)
{
    return -n;
}

TEST(Expose, DottedPathsMakeTheObjectsOnTheWayAndAMemberFunctionKeepsItsObject)
{
    Host host;
    Tally tally;
    host.expose("app.math.add", [](double a, double b) { return a + b; });
    host.expose("app.math.pi", 3.25);
    host.expose("app.negate", negate);
    host.expose("app.negatePointer", &negate);
    host.expose("app.tally.add", &Tally::add, &tally);
    host.expose("app.tally.peek", &Tally::peek, &tally);

    EXPECT_EQ(host.show("[app.math.add(app.math.pi, 1), app.negate(2), app.negatePointer(3)]"), "[ 4.25, -2, -3 ]");
    EXPECT_EQ(host.show("[app.math.add.name, app.math.add.length, Object.keys(app)]"),
              "[ 'add', 2, [ 'math', 'negate', 'negatePointer', 'tally' ] ]");
    EXPECT_EQ(host.show("app.tally.add(2); app.tally.add(3); app.tally.peek()"), "5");
    EXPECT_EQ(tally.total, 5);
    EXPECT_EQ(js::callAs<double>(host.runtime, "app.math.add", 1, 2), 3.0);
    EXPECT_EQ(js::callAs<double>(host.runtime, "app.math.none").error().message,
              "TypeError: app.math.none is not a function");

    host.show("globalThis.n = 5; globalThis.frozen = Object.freeze({});"
              "Object.defineProperty(globalThis, 'trap', { get() { throw new Error('no reading'); } })");
    auto through = js::expose(host.runtime, "n.f", 1);
    ASSERT_FALSE(through);
    EXPECT_EQ(through.error().type, js::Error::Type::Other);
    EXPECT_EQ(through.error().message, "cannot expose n.f: n is 5, not an object");
    EXPECT_EQ(js::expose(host.runtime, "frozen.f", 1).error().message, "cannot expose frozen.f: f cannot be set");
    // A script's `var` cannot be defined anew, but takes the value.
    host.show("var declared = 1");
    ASSERT_TRUE(js::expose(host.runtime, "declared", 2));
    EXPECT_EQ(host.show("declared"), "2");
    EXPECT_EQ(js::expose(host.runtime, "trap.f", 1).error().message, "Error: no reading");
    EXPECT_EQ(js::expose(host.runtime, "app..f", 1).error().message,
              "cannot expose app..f: a path is names joined by dots, none of them empty");
    EXPECT_EQ(host.show("1 + 1"), "2");
}

// ---- Numeric functions, optimised -------------------------------------------------

TEST(FastPath, ANumericFunctionStaysRightAndKeepsRefusingOnceItsCallersAreOptimised)
{
    Host host;
    host.expose("fast.add", [](double a, double b) noexcept { return a + b; });
    EXPECT_EQ(host.show("function hot(a, b) { return fast.add(a, b); }"
                        "let sum = 0; for (let i = 0; i < 100000; ++i) sum += hot(i, 0.5); sum"),
              "5000000000");
    EXPECT_EQ(host.thrown("hot('x', 1)"), "TypeError: fast.add: argument 1: expected a number, got 'x'");
    EXPECT_EQ(host.thrown("hot(true, 1)"), "TypeError: fast.add: argument 1: expected a number, got true");
    EXPECT_EQ(host.thrown("hot(1)"), "TypeError: fast.add: argument 2: expected a number, got undefined");
    EXPECT_EQ(host.show("hot(0.25, 0.5)"), "0.75");
    // Too few arguments are refused before and after optimisation; extra
    // ones are ignored by both paths alike, since the fast one cannot see them.
    EXPECT_EQ(host.show("function few(a) { try { return fast.add(a); } catch (e) { return e.message; } }"
                        "function many(a) { return fast.add(a, a, 'ignored'); }"
                        "const said = new Set(); let wrong = 0;"
                        "for (let i = 0; i < 100000; ++i) { said.add(few(i)); if (many(i) !== 2 * i) ++wrong; }"
                        "[...said, wrong].join(' | ')"),
              "'fast.add: expected 2 arguments, got 1 | 0'");
}

}  // namespace

// The console: values print as the consoles of other runtimes print them
// (each row of the first table was checked against one), no value's own code
// runs while it prints, and every method writes at its level.
#include "runtime/Console.h"
#include "runtime/Inspect.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace qorjs::test;
using Level = js::ConsoleLevel;
using Written = std::vector<std::pair<Level, std::string>>;

namespace {

// Throws whenever a script value's own code runs.
constexpr std::string_view kPrelude = "var boom = () => { throw new Error('ran') };\n";

class ConsoleTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        console.emplace(context(), [this](Level level, std::string_view text) { written.emplace_back(level, text); });
    }
    void TearDown() override
    {
        console.reset();
        EngineTest::TearDown();
    }
    Written script(std::string_view code)
    {
        written.clear();
        run(std::string(kPrelude) + std::string(code));
        return written;
    }

    std::optional<js::Console> console;
    Written written;
};

struct LogRow {
    const char* arguments;
    const char* expected;
};

TEST_F(ConsoleTest, LogShowsValuesAsOtherRuntimesDo)
{
    const LogRow rows[] = {
        {"new Map([[1, {a: [1]}]]), new Set([1, 'a']), new WeakMap()",
         "Map(1) { 1 => { a: [ 1 ] } } Set(2) { 1, 'a' } WeakMap { <items unknown> }"},
        {"(() => { const o = {a: 1}; o.self = o; return o })()", "<ref *1> { a: 1, self: [Circular *1] }"},
        {"(() => { const m = new Map(); const a = [m]; m.set('k', a); return a })()",
         "<ref *1> [ Map(1) { 'k' => [Circular *1] } ]"},
        {"(() => { const o = {}; const p = {o}; o.p = p; return {o, p} })()",
         "{\n  o: <ref *1> { p: { o: [Circular *1] } },\n  p: <ref *2> { o: <ref *1> { p: [Circular *2] } }\n}"},
        {"new (class B { constructor() { this.x = 1 } }), Object.create(null), new (class M extends Map {})",
         "B { x: 1 } [Object: null prototype] {} M(0) [Map] {}"},
        {"[undefined, () => 1, function f() {}, class B {}, class C extends Array {}]",
         "[\n  undefined,\n  [Function (anonymous)],\n  [Function: f],\n  [class B],\n  [class C extends Array]\n]"},
        {"async function f() {}, function* g() {}, Object.assign(function h() {}, {a: 1})",
         "[AsyncFunction: f] [GeneratorFunction: g] [Function: h] { a: 1 }"},
        {"-0, 1n, Symbol('s'), {[Symbol('k')]: 1, 'a-b': 2, c: 3}",
         "-0 1n Symbol(s) { 'a-b': 2, c: 3, [Symbol(k)]: 1 }"},
        {"new Uint8Array(3), new Uint8Array([1, 255]).buffer",
         "Uint8Array(3) [ 0, 0, 0 ] ArrayBuffer { [Uint8Contents]: <01 ff>, byteLength: 2 }"},
        {"Promise.resolve(1), new Promise(() => {}), Promise.reject(3)",
         "Promise { 1 } Promise { <pending> } Promise { <rejected> 3 }"},
        {"new Date(0), new Date(NaN), /a\\/b/gi, new Number(-0), new String(\"x'\")",
         "1970-01-01T00:00:00.000Z Invalid Date /a\\/b/gi [Number: -0] [String: \"x'\"]"},
        {"(function () { return arguments })(1, 2), [new Map([[1, 2]]).entries(), new Set([1]).values()]",
         "[Arguments] [ 1, 2 ] [ [Map Entries] { [ 1, 2 ] }, [Set Iterator] { 1 } ]"},
        {"['x', \"x'y\", 'a\\nb\\u0000']", "[ 'x', \"x'y\", 'a\\nb\\x00' ]"},
        {"[, 1, , , 2], (() => { const a = []; a[4294967294] = 1; return a })()",
         "[ <1 empty item>, 1, <2 empty items>, 2 ] [ <4294967294 empty items>, 1 ]"},
        {"{a: {b: {c: {d: 1}}}, e: [[new Set([1]).values()]]}",
         "{ a: { b: { c: [Object] } }, e: [ [ [Object [Set Iterator]] ] ] }"},
        {"{ aaaaaaaaaa: 'b'.repeat(19), cccccccccccccc: 'd'.repeat(19), eeeeeeeeeee: 'f' }",
         "{\n  aaaaaaaaaa: 'bbbbbbbbbbbbbbbbbbb',\n  cccccccccccccc: 'ddddddddddddddddddd',\n  eeeeeeeeeee: 'f'\n}"},
        {"['a', 'bbb', 'cc', 'd', 'eee', 'ff', 'g']", "[\n  'a',   'bbb',\n  'cc',  'd',\n  'eee', 'ff',\n  'g'\n]"},
        {"Array.from({length: 30}, (_, i) => i * 1000)",
         "[\n      0,  1000,  2000,  3000,  4000,\n   5000,  6000,  7000,  8000,  9000,\n"
         "  10000, 11000, 12000, 13000, 14000,\n  15000, 16000, 17000, 18000, 19000,\n"
         "  20000, 21000, 22000, 23000, 24000,\n  25000, 26000, 27000, 28000, 29000\n]"},
        {"(() => { Error.stackTraceLimit = 0; const e = Object.assign(new RangeError('r'), {code: 'E'});"
         " class Foo extends Error {}; const f = new Foo('m'); Error.stackTraceLimit = 10; return [e, f] })()",
         "[ [RangeError: r] { code: 'E' }, [Foo [Error]: m] ]"},
        {"'%s|%d|%i|%f|%j|%o|%O|%c|%%|%x', 'a', '42', 4.9, '1.5px', {a: [1]}, [1], {b: {c: {d: 1}}}, 'css'",
         "a|42|4|1.5|{\"a\":[1]}|[ 1, [length]: 1 ]|{ b: { c: { d: 1 } } }||%|%x"},
        {"'%s %s', 1n, {a: {b: 1}}, 'rest', {r: 1}", "1n { a: [Object] } rest { r: 1 }"},
        // Nothing of the values' own code runs, V8's method included (it
        // would convert what %s and %d take).
        {"new Proxy(new Proxy({a: 1}, {get: boom, ownKeys: boom, getOwnPropertyDescriptor: boom}), {get: boom}),"
         " Proxy.revocable({}, {}).proxy",
         "{ a: 1 } {}"},
        {"{get a() { boom() }, set b(v) {}, get c() { boom() }, set c(v) {}}",
         "{ a: [Getter], b: [Setter], c: [Getter/Setter] }"},
        {"'%s %d %j', {toString: boom}, {valueOf: boom}, {toJSON: boom}",
         "{ toString: [Function: boom] } NaN { toJSON: [Function: boom] }"},
        {"'%j %s', (() => { const c = {}; c.c = c; return c })()", "[Circular] %s"},
        {"Object.defineProperty(new Error('x'), 'stack', {get: boom}),"
         " (Error.prepareStackTrace = boom, new TypeError('p'))",
         "[Error: x] [TypeError: p]"},
        // Descriptors are read by their own members only.
        {"(['get', 'set', 'value'].forEach(key => Object.defineProperty(Object.prototype, key,"
         " {__proto__: null, get: boom, configurable: true})), {a: 1})",
         "{ a: 1 }"},
    };
    for (const LogRow& row : rows) {
        const Written out = script(std::string("console.log(") + row.arguments + ");"
                                   "delete Error.prepareStackTrace;"
                                   "for (const key of ['get', 'set', 'value']) delete Object.prototype[key];");
        EXPECT_EQ(out, (Written{{Level::Log, row.expected}})) << row.arguments;
    }
}

TEST_F(ConsoleTest, InspectHonoursItsLimits)
{
    struct Row {
        const char* code;
        js::InspectOptions options;
        const char* expected;
    } rows[] = {
        {"[1, 2, 3, 4]", {.maxArrayLength = 2}, "[ 1, 2, ... 2 more items ]"},
        {"'abcdef'", {.maxStringLength = 3}, "'abc'... 3 more characters"},
        {"({a: {b: {}}, c: [1, [2]]})", {.depth = 0}, "{ a: [Object], c: [Array] }"},
        {"[1, 2, 3, 4, 5, 6, 7, 8, 9]", {.breakLength = 20}, "[\n  1, 2, 3, 4, 5,\n  6, 7, 8, 9\n]"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(js::inspectValue(context(), run(row.code), row.options), row.expected) << row.code;

    // However deep a nest and the depth asked for, the walk stops short of
    // the stack's end.
    const std::string deep = js::inspectValue(
        context(), run("let deep = {}; for (let i = 0; i < 100000; ++i) deep = {deep}; deep"), {.depth = 1 << 30});
    EXPECT_THAT(deep, testing::HasSubstr("deep: [Object]"));
}

TEST_F(ConsoleTest, MethodsWriteAtTheirLevels)
{
    struct Row {
        const char* code;
        Written expected;
    } rows[] = {
        {"console.info('i'); console.debug('d'); console.warn('w'); console.error('e');"
         " console.log('a\\0b', 'é€😀')",
         {{Level::Info, "i"}, {Level::Debug, "d"}, {Level::Warn, "w"}, {Level::Error, "e"},
          {Level::Log, std::string("a\0b", 3) + " é€😀"}}},
        {"console.dir('s'); console.dir({a: {b: {}}}, {depth: 0}); console.table(5)",
         {{Level::Log, "'s'"}, {Level::Log, "{ a: [Object] }"}, {Level::Log, "5"}}},
        {"console.table([{a: 1}, 'x'])",
         {{Level::Log, "┌─────────┬───┬────────┐\n│ (index) │ a │ Values │\n├─────────┼───┼────────┤\n"
                       "│ 0       │ 1 │        │\n│ 1       │   │ 'x'    │\n└─────────┴───┴────────┘"}}},
        {"console.assert(1, 'no'); console.assert(0); console.assert('', 'n=%d', 3, {toString: boom})",
         {{Level::Error, "Assertion failed"}, {Level::Error, "Assertion failed: n=3 { toString: [Function: boom] }"}}},
        {"console.count(); console.count(); console.count('x'); console.countReset(); console.count();"
         " console.countReset('y')",
         {{Level::Log, "default: 1"}, {Level::Log, "default: 2"}, {Level::Log, "x: 1"}, {Level::Log, "default: 1"},
          {Level::Warn, "Count for 'y' does not exist"}}},
        {"console.time('t'); console.time('t'); console.timeLog('u'); console.timeEnd('u')",
         {{Level::Warn, "Label 't' already exists for console.time()"},
          {Level::Warn, "No such label 'u' for console.timeLog()"},
          {Level::Warn, "No such label 'u' for console.timeEnd()"}}},
        {"console.group('G', 1); console.log('a\\nb'); console.groupCollapsed(); console.warn('w'); console.groupEnd();"
         " console.groupEnd(); console.groupEnd(); console.log('out')",
         {{Level::Log, "G 1"}, {Level::Log, "  a\n  b"}, {Level::Warn, "    w"}, {Level::Log, "out"}}},
        {"function f() { console.trace('t %d', 1) }\nf()",
         {{Level::Error, "Trace: t 1\n    at f (file:///test/script.js:2:24)\n    at file:///test/script.js:3:1"}}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(script(row.code), row.expected) << row.code;

    const Written timed = script("console.time(); console.timeLog(undefined, 'x', {y: 1}); console.timeEnd()");
    ASSERT_EQ(timed.size(), 2u);
    EXPECT_THAT(timed[0].second, testing::MatchesRegex("default: [0-9]+\\.[0-9]{3}ms x \\{ y: 1 \\}"));
    EXPECT_THAT(timed[1].second, testing::MatchesRegex("default: [0-9]+\\.[0-9]{3}ms"));
}

TEST_F(ConsoleTest, ASinkThatThrowsLosesTheMessageAndADetachedConsoleWritesNothing)
{
    console.emplace(context(), [](Level, std::string_view) { throw std::runtime_error("sink"); });
    script("globalThis.held = console.log; console.log('lost'); console.table([1])");

    console.reset();
    written.clear();
    run("held('x'); console.error('y')");
    EXPECT_TRUE(written.empty());
}

}  // namespace

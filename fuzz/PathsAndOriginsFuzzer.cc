// Arbitrary text as a dotted path and as a script's file name.
//
// The path is resolved by getFunction, jsFunctionExists and
// callJsFunctionGetError below a prepared object graph (or the global object)
// and compared with a walk written in JavaScript from the documented rules.
// The file name goes through Source::getV8Origin, whose resource name is
// compared with the file: URL the rules give, and then names a classic script
// that throws and a module, so that V8 carries it through compilation, stack
// traces and error records.
//
// Input: one byte of switches (bit 0: the global object as the root, bit 1: a
// module origin), then the text.

#include "support/Check.h"
#include "support/FuzzIsolate.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include <v8-exception.h>
#include <v8-function.h>
#include <v8-message.h>
#include <v8-primitive.h>
#include <v8-script.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

namespace js = qor::format::engine::javascript;

// Every value here is fixed: reading a property twice gives the same result,
// so the library's walk and the reference walk can be compared. Each entry
// takes the walk down a case of its own: a read that throws at the first
// part (the getter) and further on (the proxy's trap), a value on the way
// that is not an object, empty parts, names the key conversion must keep
// whole, a call that throws, a function with properties, an inherited
// member and a cycle.
constexpr std::string_view kGraph = R"js(
(function () {
    const graph = {
        a: { b: { f() { return 'a.b.f'; } }, s: 'text' },
        '': { '': function empty() { return 'empty'; }, f() { return ''; } },
        'x y': { 'ü': () => 'unicode', 'a\u0000b': () => 'zero' },
        get getter() { throw new Error('getter'); },
        calls: { throws() { throw new TypeError('call'); } },
        proxy: new Proxy({}, { get() { throw new RangeError('trap'); } }),
        fn: Object.assign(function outer() { return 'outer'; }, { inner() { return 'inner'; } }),
        inherits: Object.create({ inherited() { return 'inherited'; } }),
    };
    graph.cycle = graph;
    return graph;
})()
)js";

// The documented walk: split at ".", a trailing "." adds nothing, an empty
// path names nothing (it leaves the root, never a function); a value on the
// way that is not an object ends it. Returns the function, undefined, or
// throws what a read threw.
constexpr std::string_view kReferenceWalk = R"js(
(function (root, path) {
    const parts = path.split('.');
    if (parts[parts.length - 1] === '') parts.pop();
    let current = root;
    for (const part of parts) {
        if (current !== Object(current)) return undefined;
        current = current[part];
    }
    return typeof current === 'function' ? current : undefined;
})
)js";

// The graph or the reference walk, made once: every input reads the same.
// Never destroyed, as the isolate it lives in.
template <const std::string_view& code>
v8::Local<v8::Object> prepared(v8::Isolate* isolate)
{
    static const auto* kept = [isolate] {
        auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{code, "/fuzz/prepared.js", false});
        FUZZ_CHECK(result.has_value(), "the prepared script failed");
        return new v8::Global<v8::Object>(isolate, result->As<v8::Object>());
    }();
    return kept->Get(isolate);
}

std::string describe(std::string_view what, std::string_view text)
{
    return std::string(what) + " for \"" + std::string(text) + "\"";
}

void checkPathWalk(v8::Isolate* isolate, v8::Local<v8::Context> context, v8::Local<v8::Object> root,
                   std::string_view path)
{
    // What the rules say is at the path.
    v8::Local<v8::Value> expected;
    bool expectedThrow;
    {
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::Value> arguments[] = {root, js::V8Helper::v8_string(path, isolate)};
        expectedThrow = !prepared<kReferenceWalk>(isolate).As<v8::Function>()
                             ->Call(context, v8::Undefined(isolate), 2, arguments)
                             .ToLocal(&expected);
    }
    const bool expectedFunction = !expectedThrow && expected->IsFunction();
    {
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::Function> found = js::V8Engine::getFunction(root, context, path);
        FUZZ_CHECK(tryCatch.HasCaught() == expectedThrow, describe("getFunction's pending exception differs", path));
        FUZZ_CHECK(expectedThrow || (found.IsEmpty() ? !expectedFunction : found->StrictEquals(expected)),
                   describe("getFunction found the wrong thing", path));
        FUZZ_CHECK(js::V8Engine::jsFunctionExists(root, context, path) == expectedFunction,
                   describe("jsFunctionExists disagrees with the rules", path));
    }
    {
        v8::TryCatch outer(isolate);
        std::vector<v8::Local<v8::Value>> arguments = {v8::Integer::New(isolate, 1),
                                                       js::V8Helper::v8_string("argument", isolate)};
        auto called = js::V8Engine::callJsFunctionGetError(root, context, path, arguments);
        FUZZ_CHECK(!outer.HasCaught(), describe("callJsFunctionGetError left an exception pending", path));
        FUZZ_CHECK(!expectedThrow || !called.has_value(),
                   describe("a throwing lookup was not reported as an Error", path));
        FUZZ_CHECK(expectedThrow || expectedFunction || (called.has_value() && !called->success),
                   describe("a missing function was not reported as not found", path));
        FUZZ_CHECK(called.has_value() || called.error().type == js::Error::Type::Runtime,
                   describe("the Error is not of type Runtime", path));
    }
}

// The resource name the rules give for `fileName`.
std::string expectedResourceName(std::string_view fileName)
{
    std::string path;
    for (char c : fileName)
        path += c == '\\' ? std::string("/") : c == ' ' ? std::string("%20") : std::string(1, c);
    return (fileName.starts_with('/') ? "file://" : "file:///") + path;
}

void checkOrigin(v8::Isolate* isolate, v8::Local<v8::Context> context, std::string_view fileName, bool isModule)
{
    // V8 holds the name as UTF-16, so a name that is not UTF-8 comes back
    // with V8's replacement characters, as every other text does.
    const std::string expectedName = js::V8Helper::qor_string(
        js::V8Helper::v8_string(expectedResourceName(fileName), isolate), isolate);

    const js::Source source{"", std::string(fileName), isModule};
    const v8::ScriptOrigin origin = source.getV8Origin(isolate);
    FUZZ_CHECK(js::V8Helper::qor_string(origin.ResourceName(), isolate) == expectedName,
               describe("the origin's resource name is not the file URL", fileName));
    FUZZ_CHECK(origin.Options().IsModule() == isModule, describe("the origin's module flag is wrong", fileName));

    if (isModule) {
        v8::TryCatch tryCatch(isolate);
        const js::Source module{"export default 1;", std::string(fileName), true};
        FUZZ_CHECK(!js::V8Engine::loadModule(context, module).IsEmpty(),
                   describe("a module did not compile under this name", fileName));
        return;
    }
    const js::Source throwing{"(function named() { throw new Error('origin'); })()", std::string(fileName), false};
    auto result = js::V8Engine::runJavaScriptSource(isolate, throwing);
    FUZZ_CHECK(!result.has_value(), describe("the throwing script did not fail", fileName));
    const js::Error& error = result.error();
    FUZZ_CHECK(error.type == js::Error::Type::Runtime && error.message == "Error: origin" && error.lineNumber == 1 &&
                   error.sourceLine.has_value(),
               describe("the Error record is wrong or has no position", fileName));
    FUZZ_CHECK(error.stackTrace.has_value() && error.stackTrace->find(expectedName) != std::string::npos,
               describe("the stack trace does not name the script", fileName));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    qorjs::fuzz::runInput([&](v8::Isolate* isolate, v8::Local<v8::Context> context) {
        const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

        checkPathWalk(isolate, context, (data[0] & 1) != 0 ? context->Global() : prepared<kGraph>(isolate), text);
        checkOrigin(isolate, context, text, (data[0] & 2) != 0);
    });
    return 0;
}

// Calling JavaScript by dotted path: which paths find a function, the
// arguments and `this` a call gets, a throw in the lookup or the call left
// pending or returned as a Runtime record, and a host's property listing.
#include "support/TestSupport.h"

using namespace qorjs::test;

class Calls : public EngineTest {
protected:
    js::V8FuncResult call(std::string_view path, std::vector<v8::Local<v8::Value>> arguments = {})
    {
        return js::V8Engine::callJsFunction(context()->Global(), context(), path, arguments);
    }
    std::expected<js::V8FuncResult, js::Error> capture(std::string_view path)
    {
        std::vector<v8::Local<v8::Value>> none;
        return js::V8Engine::callJsFunctionGetError(context()->Global(), context(), path, none);
    }
};

TEST_F(Calls, APathFindsOnlyAFunctionAtItsEndWhateverLiesOnTheWay)
{
    run("function main() { return 'global'; } var app = { main: () => 'app', '': { main: () => 'nested' } };"
        "globalThis[''] = { main: () => 'root' }; function outer() {} outer.inner = () => 'inner';"
        "var lazy = { get tools() { return { run: () => 'got' }; } }; var a = { b: 5 };"
        "var proxied = new Proxy({}, { get(t, name) { return name === 'go' ? () => 'trap' : undefined; } });"
        "Object.defineProperty(Number.prototype, 'c', { get() { globalThis.touched = 1; return () => 0; } });");
    // A leading or doubled dot reads the property named "", a trailing one is ignored.
    for (auto [path, expected] : {std::pair{"main", "global"}, {"main.", "global"}, {"app.main.", "app"},
                                  {".main", "root"}, {"app..main", "nested"}, {"outer.inner", "inner"},
                                  {"lazy.tools.run", "got"}, {"proxied.go", "trap"}, {"Math.max", "-Infinity"},
                                  {"", ""}, {"Math.PI", ""}, {"nothing.at.all", ""}, {"proxied.stop", ""}, {"a.b.c", ""}}) {
        EXPECT_EQ(js::V8Engine::jsFunctionExists(context()->Global(), context(), path), *expected != 0) << path;
        js::V8FuncResult result = call(path);
        EXPECT_EQ(result.success ? text(result.value) : "", expected) << path;
        EXPECT_EQ(capture(path).value().success, *expected != 0) << path;
    }
    EXPECT_EQ(outcome("typeof touched"), "undefined") << "the walk read through a primitive";
}

TEST_F(Calls, AThrowingLookupOrCallIsLeftPendingOrReturnedAsARuntimeRecord)
{
    run("function helper() {\n  throw new TypeError('call failed');\n}\nvar app = { fail() { helper(); } };"
        "var broken = { get tools() { throw new Error('getter failed'); } };"
        "var trapped = new Proxy({}, { get() { throw new Error('trap failed'); } });", "/app/lib.js");
    for (const char* path : {"app.fail", "broken.tools.run", "trapped.run"}) {
        v8::TryCatch tryCatch(isolate);
        EXPECT_FALSE(call(path).success) << path;
        EXPECT_TRUE(text(tryCatch.Exception()).ends_with("failed")) << path;
        tryCatch.Reset();
        auto captured = capture(path);
        ASSERT_FALSE(captured.has_value()) << path;
        EXPECT_EQ(captured.error().type, js::Error::Type::Runtime);
        EXPECT_TRUE(captured.error().message.ends_with("failed")) << captured.error().message;
        EXPECT_FALSE(tryCatch.HasCaught()) << path;
    }
    const js::Error error = capture("app.fail").error();
    EXPECT_EQ(error.lineNumber, 2);
    EXPECT_NE(error.stackTrace.value_or("").find("at helper (file:///app/lib.js:2:"), std::string::npos);
}

TEST_F(Calls, AFunctionGetsItsArgumentsInOrderAndThisUndefined)
{
    run("function list() { return [].join.call(arguments) + ':' + (this === globalThis); }"
        "var owner = { strict() { 'use strict'; return this === undefined; }, quiet() {} };");
    EXPECT_EQ(text(call("list", {v8::Number::New(isolate, 1), js::V8Helper::v8_string("x", isolate)}).value), "1,x:true");
    EXPECT_TRUE(call("owner.strict").value->IsTrue());
    js::V8FuncResult quiet = call("owner.quiet");
    EXPECT_TRUE(quiet.success && quiet.value->IsUndefined());
    using Names = std::vector<std::string>;
    const auto names = [this](const char* code) { return js::V8Engine::getPropertyNames(run(code).As<v8::Object>(), isolate); };
    EXPECT_EQ(names("var o = Object.create({ up: 1 }); o.own = 2; o[Symbol()] = 3; o"), (Names{"own", "up"}));
    EXPECT_EQ(names("Object.defineProperty(['x'], 'hidden', { value: 1 })"), Names{"0"});
}

// Calling JavaScript by dotted path: which paths find a function, the
// arguments and `this` a call gets, a throw in the lookup or the call left
// pending or returned as a Runtime record, and a host's property listing.
#include "support/TestSupport.h"

using namespace qorjs::test;

class Calls : public EngineTest {
protected:
    // The call's value as text, "" when nothing was found, or what it threw:
    // left pending by one call, returned as a Runtime record by the other.
    std::string call(std::string_view path, std::vector<v8::Local<v8::Value>> arguments = {})
    {
        v8::TryCatch tryCatch(isolate);
        js::V8FuncResult plain = js::V8Engine::callJsFunction(context()->Global(), context(), path, arguments);
        const std::string pending = plain.success ? text(plain.value) : text(tryCatch.Exception());
        tryCatch.Reset();
        auto captured = js::V8Engine::callJsFunctionGetError(context()->Global(), context(), path, arguments);
        EXPECT_FALSE(tryCatch.HasCaught()) << path;
        EXPECT_TRUE(captured || captured.error().type == js::Error::Type::Runtime) << path;
        EXPECT_EQ(captured ? (captured->success ? text(captured->value) : "") : captured.error().message, pending)
            << path;
        const bool exists = js::V8Engine::jsFunctionExists(context()->Global(), context(), path);
        EXPECT_TRUE(exists == plain.success || pending.ends_with("failed")) << path;  // a throw is no answer
        return pending;
    }
};

TEST_F(Calls, APathFindsOnlyAFunctionAtItsEndAndAThrowOnTheWayIsTheCallers)
{
    run("function main() { return 'global'; } var app = { '': { main: () => 'nested' } };"
        "globalThis[''] = { main: () => 'root' }; function outer() {} outer.inner = () => 'inner';"
        "var lazy = { get tools() { return { run: () => 'got' }; } }; var a = { b: 5 };"
        "Object.defineProperty(Number.prototype, 'c', { get() { globalThis.touched = 1; return () => 0; } });"
        "var broken = { get tools() { throw new Error('getter failed'); } };"
        "var fails = () => { throw 'call failed'; };");
    // A leading or doubled dot reads the property named "", a trailing one is ignored.
    for (auto [path, expected] : {std::pair{"main", "global"}, {"main.", "global"}, {".main", "root"},
                                  {"app..main", "nested"}, {"outer.inner", "inner"}, {"lazy.tools.run", "got"},
                                  {"", ""}, {"Math.PI", ""}, {"nothing.at.all", ""}, {"a.b.c", ""},
                                  {"fails", "call failed"}, {"broken.tools.run", "Error: getter failed"}})
        EXPECT_EQ(call(path), expected) << path;
    EXPECT_EQ(outcome("typeof touched"), "undefined") << "the walk read through a primitive";
}

TEST_F(Calls, AFunctionGetsItsArgumentsInOrderAndThisUndefined)
{
    run("function list() { return [].join.call(arguments) + ':' + (this === globalThis); }"
        "var owner = { strict() { 'use strict'; return this === undefined; }, quiet() {} };");
    EXPECT_EQ(call("list", {v8::Number::New(isolate, 1), js::V8Helper::v8_string("x", isolate)}), "1,x:true");
    EXPECT_EQ(call("owner.strict") + call("owner.quiet"), "trueundefined");
    using Names = std::vector<std::string>;
    for (auto [code, expected] : {std::pair{"var o = Object.create({ up: 1 }); o.own = 2; o[Symbol()] = 3; o",
                                            Names{"own", "up"}},
                                  {"Object.defineProperty(['x'], 'hidden', { value: 1 })", Names{"0"}}})
        EXPECT_EQ(js::V8Engine::getPropertyNames(run(code).As<v8::Object>(), isolate), expected) << code;
}

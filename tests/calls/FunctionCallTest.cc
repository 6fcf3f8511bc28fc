#include "support/TestSupport.h"

#include <v8-exception.h>
#include <v8-primitive.h>

namespace qorjs::test {
namespace {

class FunctionCall : public EngineTest {
protected:
    js::V8FuncResult call(std::string_view path, std::vector<v8::Local<v8::Value>> arguments = {})
    {
        return js::V8Engine::callJsFunction(context()->Global(), context(), path, arguments);
    }

    std::expected<js::V8FuncResult, js::Error> callCapturing(std::string_view path)
    {
        std::vector<v8::Local<v8::Value>> none;
        return js::V8Engine::callJsFunctionGetError(context()->Global(), context(), path, none);
    }

    v8::Local<v8::Value> number(double value) { return v8::Number::New(isolate, value); }
};

TEST_F(FunctionCall, PassesTheArgumentsInOrder)
{
    js::V8FuncResult max = call("Math.max", {number(1), number(5)});
    ASSERT_TRUE(max.success);
    EXPECT_EQ(text(max.value), "5");

    run("function list() { return arguments.length + ':' + Array.prototype.join.call(arguments, ','); }");
    EXPECT_EQ(text(call("list", {number(1), js::V8Helper::v8_string("x", isolate), v8::True(isolate)}).value),
              "3:1,x,true");
    EXPECT_EQ(text(call("list").value), "0:");
}

TEST_F(FunctionCall, ThisIsUndefinedNotTheObjectTheFunctionWasFoundOn)
{
    run("var owner = {"
        "  strict() { 'use strict'; return this === undefined; },"
        "  sloppy: function () { return this === globalThis; } };");
    EXPECT_TRUE(call("owner.strict").value->IsTrue());
    EXPECT_TRUE(call("owner.sloppy").value->IsTrue());
}

TEST_F(FunctionCall, ReturningNothingIsSuccessWithUndefined)
{
    run("function quiet() {}");
    js::V8FuncResult result = call("quiet");
    EXPECT_TRUE(result.success);
    ASSERT_FALSE(result.value.IsEmpty());
    EXPECT_TRUE(result.value->IsUndefined());
    EXPECT_EQ(result.reserved0 + result.reserved1, 0);
}

TEST_F(FunctionCall, AThrowStaysPendingWithoutCapture)
{
    run("function fail() { throw new Error('boom'); }");
    v8::TryCatch tryCatch(isolate);
    js::V8FuncResult result = call("fail");
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.value.IsEmpty());
    ASSERT_TRUE(tryCatch.HasCaught());
    EXPECT_EQ(text(tryCatch.Exception()), "Error: boom");
}

TEST_F(FunctionCall, AThrowIsARuntimeErrorWithCaptureAndNothingStaysPending)
{
    run("function helper() {\n"
        "  throw new TypeError('bad input');\n"
        "}\n"
        "function fail() { helper(); }",
        "/app/lib.js");
    v8::TryCatch tryCatch(isolate);
    auto result = callCapturing("fail");
    ASSERT_FALSE(result.has_value());
    const js::Error& error = result.error();
    EXPECT_EQ(error.type, js::Error::Type::Runtime);
    EXPECT_EQ(error.message, "TypeError: bad input");
    EXPECT_EQ(error.lineNumber, 2);
    ASSERT_TRUE(error.stackTrace.has_value());
    EXPECT_NE(error.stackTrace->find("at helper (file:///app/lib.js:2:"), std::string::npos) << *error.stackTrace;
    EXPECT_FALSE(tryCatch.HasCaught());
    EXPECT_TRUE(call("Math.max").success) << "the context stays usable";
}

TEST_F(FunctionCall, PropertyNamesInV8sOrder)
{
    auto namesOf = [this](std::string_view expression) {
        return js::V8Engine::getPropertyNames(run(expression).As<v8::Object>(), isolate);
    };
    EXPECT_EQ(namesOf("({ a: 1, b: 2 })"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(namesOf("['x', 'y']"), (std::vector<std::string>{"0", "1"}));
    EXPECT_TRUE(namesOf("Object.defineProperty({}, 'hidden', { value: 1 })").empty());
    EXPECT_EQ(namesOf("var o = Object.create({ inherited: 1 }); o.own = 2; o[Symbol('s')] = 3; o"),
              (std::vector<std::string>{"own", "inherited"}));
}

TEST_F(FunctionCall, PropertyNamesOfAFailingProxyAreEmptyWithTheExceptionPending)
{
    v8::Local<v8::Object> proxy = run("new Proxy({}, { ownKeys() { throw new Error('no keys'); } })").As<v8::Object>();
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(js::V8Engine::getPropertyNames(proxy, isolate).empty());
    EXPECT_TRUE(tryCatch.HasCaught());
}

}  // namespace
}  // namespace qorjs::test

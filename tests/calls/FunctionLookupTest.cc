#include "support/TestSupport.h"

#include <v8-exception.h>
#include <v8-function.h>

namespace qorjs::test {
namespace {

class FunctionLookup : public EngineTest {
protected:
    v8::Local<v8::Function> find(std::string_view path) { return js::V8Engine::getFunction(global(), context(), path); }
    bool exists(std::string_view path) { return js::V8Engine::jsFunctionExists(global(), context(), path); }
    v8::Local<v8::Object> global() { return context()->Global(); }
    // What the function at `path` returns when called, as text.
    std::string resultOf(std::string_view path)
    {
        return text(find(path)->Call(context(), v8::Undefined(isolate), 0, nullptr).ToLocalChecked());
    }
};

TEST_F(FunctionLookup, EmptyPathNamesNothingAndIsNoError)
{
    run("globalThis[''] = function () {};");
    v8::TryCatch tryCatch(isolate);
    EXPECT_FALSE(exists(""));
    std::vector<v8::Local<v8::Value>> none;
    auto captured = js::V8Engine::callJsFunctionGetError(global(), context(), "", none);
    ASSERT_TRUE(captured.has_value());
    EXPECT_FALSE(captured->success);
    EXPECT_FALSE(tryCatch.HasCaught());
}

TEST_F(FunctionLookup, DotsAtTheEdgesAndDoubledDots)
{
    run("function main() { return 'global'; } var app = { main() { return 'app'; } };");
    EXPECT_EQ(find("main."), find("main"));
    EXPECT_EQ(find("app.main."), find("app.main"));
    // A leading or doubled dot reads the property named "".
    EXPECT_FALSE(exists(".main"));
    EXPECT_FALSE(exists("app..main"));
    run("globalThis[''] = { main() { return 'root'; } }; app[''] = { main() { return 'nested'; } };");
    EXPECT_EQ(resultOf(".main"), "root");
    EXPECT_EQ(resultOf("app..main"), "nested");
}

TEST_F(FunctionLookup, OnlyAFunctionAtTheEndIsFound)
{
    EXPECT_TRUE(exists("Math.max"));
    EXPECT_FALSE(exists("Math.PI"));
    EXPECT_FALSE(exists("nothing.at.all"));
    // Functions are objects: the walk goes on through them, and through
    // getters and proxy traps.
    run("function outer() {} outer.inner = function () {};"
        "var lazy = { get tools() { return { run() {} }; } };"
        "var proxied = new Proxy({}, { get(target, name) { return name === 'go' ? () => 0 : undefined; } });");
    EXPECT_TRUE(exists("outer.inner"));
    EXPECT_TRUE(exists("lazy.tools.run"));
    EXPECT_TRUE(exists("proxied.go"));
    EXPECT_FALSE(exists("proxied.stop"));
}

TEST_F(FunctionLookup, StopsAtAValueThatIsNotAnObject)
{
    // The number's prototype has the function, but the walk must not read
    // through a primitive: the getter below a.b never runs.
    run("var a = { b: 5 };"
        "Object.defineProperty(Number.prototype, 'c', {"
        "  get() { globalThis.touched = true; return function () {}; } });");
    EXPECT_FALSE(exists("a.b.c"));
    EXPECT_EQ(text(run("typeof touched")), "undefined");
}

class ThrowingLookup : public FunctionLookup, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override
    {
        FunctionLookup::SetUp();
        run("var broken = { get tools() { throw new Error('getter failed'); } };"
            "var trapped = new Proxy({}, { get() { throw new Error('trap failed'); } });");
    }
};

TEST_P(ThrowingLookup, FindsNothingAndLeavesTheExceptionPendingOrCapturesIt)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(find(GetParam()).IsEmpty());
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    std::vector<v8::Local<v8::Value>> none;
    js::V8FuncResult result = js::V8Engine::callJsFunction(global(), context(), GetParam(), none);
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    auto captured = js::V8Engine::callJsFunctionGetError(global(), context(), GetParam(), none);
    ASSERT_FALSE(captured.has_value());
    EXPECT_EQ(captured.error().type, js::Error::Type::Runtime);
    EXPECT_TRUE(captured.error().message.ends_with("failed")) << captured.error().message;
    EXPECT_FALSE(tryCatch.HasCaught());
}

INSTANTIATE_TEST_SUITE_P(GetterAndProxyTrap, ThrowingLookup, ::testing::Values("broken.tools.run", "trapped.run"));

}  // namespace
}  // namespace qorjs::test

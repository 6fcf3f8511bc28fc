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
};

TEST_F(FunctionLookup, EmptyPathNamesNothingAndIsNoError)
{
    run("globalThis[''] = function () { return 'empty name'; };");
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(find("").IsEmpty());
    EXPECT_FALSE(exists(""));

    std::vector<v8::Local<v8::Value>> none;
    EXPECT_FALSE(js::V8Engine::callJsFunction(global(), context(), "", none).success);
    auto captured = js::V8Engine::callJsFunctionGetError(global(), context(), "", none);
    ASSERT_TRUE(captured.has_value());
    EXPECT_FALSE(captured->success);
    EXPECT_FALSE(tryCatch.HasCaught());
}

TEST_F(FunctionLookup, TrailingDotIsIgnored)
{
    run("var app = { main() {} }; function main() {}");
    EXPECT_EQ(find("main."), find("main"));
    EXPECT_EQ(find("app.main."), find("app.main"));
    EXPECT_FALSE(find("main").IsEmpty());
}

TEST_F(FunctionLookup, LeadingOrDoubledDotReadsThePropertyWithTheEmptyName)
{
    run("function main() {} var app = { main() {} };");
    EXPECT_TRUE(find(".main").IsEmpty()) << "a global main must not be found through a leading dot";
    EXPECT_TRUE(find("app..main").IsEmpty());

    run("globalThis[''] = { main() { return 1; } }; app[''] = { main() { return 2; } };");
    EXPECT_EQ(text(find(".main")->Call(context(), v8::Undefined(isolate), 0, nullptr).ToLocalChecked()), "1");
    EXPECT_EQ(text(find("app..main")->Call(context(), v8::Undefined(isolate), 0, nullptr).ToLocalChecked()), "2");
}

TEST_F(FunctionLookup, OnlyAFunctionAtTheEndIsFound)
{
    EXPECT_FALSE(find("Math.max").IsEmpty());
    EXPECT_TRUE(find("Math.PI").IsEmpty());
    EXPECT_TRUE(find("Math.nothing").IsEmpty());
    EXPECT_TRUE(find("nothing.at.all").IsEmpty());
    // Functions are objects: the walk goes on through them.
    run("function outer() {} outer.inner = function () {};");
    EXPECT_FALSE(find("outer.inner").IsEmpty());
}

TEST_F(FunctionLookup, StopsAtAValueThatIsNotAnObject)
{
    // The number's prototype has the function, but the walk must not read
    // through a primitive: no getter below a.b runs.
    run("var a = { b: 5 };"
        "Object.defineProperty(Number.prototype, 'c', {"
        "  get() { globalThis.touched = true; return function () {}; } });");
    EXPECT_TRUE(find("a.b.c").IsEmpty());
    EXPECT_EQ(text(run("typeof touched")), "undefined");
}

TEST_F(FunctionLookup, FindsTheCurrentFunctionEveryTime)
{
    run("var api = { version() { return 1; } };");
    std::vector<v8::Local<v8::Value>> none;
    EXPECT_EQ(text(js::V8Engine::callJsFunction(global(), context(), "api.version", none).value), "1");
    run("api.version = function () { return 2; };");
    EXPECT_EQ(text(js::V8Engine::callJsFunction(global(), context(), "api.version", none).value), "2");
}

TEST_F(FunctionLookup, GettersAndProxyTrapsRunOnTheWay)
{
    run("var lazy = { get tools() { return { run() { return 'from getter'; } }; } };"
        "var proxied = new Proxy({}, { get(target, name) { return name === 'go' ? () => 'from proxy' : undefined; } });");
    EXPECT_TRUE(exists("lazy.tools.run"));
    EXPECT_TRUE(exists("proxied.go"));
    EXPECT_FALSE(exists("proxied.stop"));
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

TEST_P(ThrowingLookup, LeavesTheExceptionPendingAndFindsNothing)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(find(GetParam()).IsEmpty());
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    EXPECT_FALSE(exists(GetParam()));
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    std::vector<v8::Local<v8::Value>> none;
    js::V8FuncResult result = js::V8Engine::callJsFunction(global(), context(), GetParam(), none);
    EXPECT_FALSE(result.success);
    EXPECT_TRUE(result.value.IsEmpty());
    EXPECT_TRUE(tryCatch.HasCaught());
}

TEST_P(ThrowingLookup, IsARuntimeErrorWhenCaptured)
{
    v8::TryCatch tryCatch(isolate);
    std::vector<v8::Local<v8::Value>> none;
    auto result = js::V8Engine::callJsFunctionGetError(global(), context(), GetParam(), none);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().type, js::Error::Type::Runtime);
    EXPECT_TRUE(result.error().message.ends_with("failed")) << result.error().message;
    EXPECT_FALSE(tryCatch.HasCaught());
}

INSTANTIATE_TEST_SUITE_P(GetterAndProxyTrap, ThrowingLookup, ::testing::Values("broken.tools.run", "trapped.run"));

}  // namespace
}  // namespace qorjs::test

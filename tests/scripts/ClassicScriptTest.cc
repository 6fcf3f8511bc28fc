// runJavaScriptSource: completion values and what a failure leaves behind.
// Positions are in errors/ErrorRecordTest.cc.
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <v8-exception.h>

namespace qorjs::test {
namespace {

class ClassicScripts : public EngineTest {};

TEST_F(ClassicScripts, ReturnTheCompletionValue)
{
    EXPECT_TRUE(run("")->IsUndefined());
    v8::Local<v8::Value> answer = run("42");
    ASSERT_TRUE(answer->IsNumber());
    EXPECT_EQ(answer.As<v8::Number>()->Value(), 42);
    for (auto [code, expected] : {std::pair{"var a = 1;", "undefined"},
                                  {"1; if (true) { 'last'; }", "last"},
                                  {"typeof gc", "function"}})  // the engine's flag --expose-gc
        EXPECT_EQ(text(run(code)), expected) << code;
}

TEST_F(ClassicScripts, NothingIsLeftPendingAfterAFailure)
{
    v8::TryCatch outer(isolate);
    for (const char* code : {"throw 1;", "var = ;", "null.x;", "throw { toString() { throw 2; } };"}) {
        fail(code);
        EXPECT_FALSE(outer.HasCaught()) << code;
        EXPECT_EQ(text(run("1 + 1")), "2") << "after " << code;
    }
}

TEST_F(ClassicScripts, GlobalsStoredBeforeAThrowStay)
{
    fail("globalThis.kept = 'yes'; var declared = 2; throw new Error('late');");
    EXPECT_EQ(text(run("kept + declared")), "yes2");
    fail("globalThis.notRun = 1; var = ;");  // a compile error runs nothing
    EXPECT_EQ(text(run("typeof notRun")), "undefined");
}

TEST_F(ClassicScripts, AModuleSourceIsRefusedWithoutEndingTheProcess)
{
    js::Source module{"export const a = 1;", "/test/module.mjs", true};
    auto result = js::V8Engine::runJavaScriptSource(isolate, module);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().type, js::Error::Type::Compile);
    EXPECT_THAT(result.error().message, ::testing::HasSubstr("loadModule"));
    EXPECT_EQ(text(run("1 + 1")), "2");
}

}  // namespace
}  // namespace qorjs::test

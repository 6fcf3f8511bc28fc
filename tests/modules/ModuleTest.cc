#include "support/TestSupport.h"

#include <v8-exception.h>
#include <v8-message.h>
#include <v8-promise.h>

#include <map>

namespace qorjs::test {
namespace {

// V8 takes the resolver as a plain function, so what it resolves from lives
// here: the texts of the modules a test offers, and what V8 asked for.
struct ResolverState {
    std::map<std::string, std::string> modules;
    std::vector<std::string> requested;
};
ResolverState* resolverState = nullptr;

v8::MaybeLocal<v8::Module> resolveFromState(v8::Local<v8::Context> context,
                                            v8::Local<v8::String> specifier,
                                            v8::Local<v8::FixedArray>,
                                            v8::Local<v8::Module>)
{
    const std::string name = js::V8Helper::qor_string(specifier, context->GetIsolate());
    resolverState->requested.push_back(name);
    auto found = resolverState->modules.find(name);
    if (found == resolverState->modules.end())
        return {};
    return js::V8Engine::loadModule(context, js::Source{found->second, "/modules/" + name, true});
}

v8::MaybeLocal<v8::Module> resolveByThrowing(v8::Local<v8::Context> context,
                                             v8::Local<v8::String>,
                                             v8::Local<v8::FixedArray>,
                                             v8::Local<v8::Module>)
{
    v8::Isolate* isolate = context->GetIsolate();
    isolate->ThrowException(v8::Exception::TypeError(js::V8Helper::v8_string("host says no", isolate)));
    return {};
}

class Modules : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        resolverState = &state;
    }
    void TearDown() override
    {
        resolverState = nullptr;
        EngineTest::TearDown();
    }

    js::Source module(std::string_view code, std::string fileName = "/modules/main.mjs")
    {
        return js::Source{code, std::move(fileName), true};
    }

    ResolverState state;
};

TEST_F(Modules, AModuleWithoutImportsRunsWithoutResolverCalls)
{
    EXPECT_TRUE(js::V8Engine::addModule(context(), module("globalThis.ran = 'yes';"), resolveFromState));
    EXPECT_TRUE(state.requested.empty());
    EXPECT_EQ(text(run("ran")), "yes");
}

TEST_F(Modules, StepByStepTheImportRunsFirst)
{
    state.modules["./dep.mjs"] = "globalThis.order = ['dep']; export const answer = 42;";
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Module> main = js::V8Engine::loadModule(
        context(), module("import { answer } from './dep.mjs'; order.push('main'); globalThis.result = answer;"));
    ASSERT_FALSE(main.IsEmpty());
    ASSERT_TRUE(js::V8Engine::instantiateModule(main, context(), resolveFromState));
    EXPECT_EQ(state.requested, std::vector<std::string>{"./dep.mjs"});

    v8::Local<v8::Value> completion = js::V8Engine::evaluateModule(main, context());
    ASSERT_FALSE(completion.IsEmpty());
    ASSERT_TRUE(completion->IsPromise());
    EXPECT_EQ(completion.As<v8::Promise>()->State(), v8::Promise::kFulfilled);
    EXPECT_EQ(text(run("order.join() + ':' + result")), "dep,main:42");
    EXPECT_FALSE(tryCatch.HasCaught());
}

TEST_F(Modules, ASyntaxErrorGivesNoModuleAndLeavesTheExceptionPendingNamingTheFileUrl)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(js::V8Engine::loadModule(context(), module("\nexport const = 1;", "/my modules/bad.mjs")).IsEmpty());
    ASSERT_TRUE(tryCatch.HasCaught());
    EXPECT_TRUE(text(tryCatch.Exception()).starts_with("SyntaxError"));
    EXPECT_EQ(text(tryCatch.Message()->GetScriptResourceName()), "file:///my%20modules/bad.mjs");
    EXPECT_EQ(tryCatch.Message()->GetLineNumber(context()).FromMaybe(0), 2);
    tryCatch.Reset();

    EXPECT_FALSE(js::V8Engine::addModule(context(), module("export const = 1;"), resolveFromState));
    EXPECT_TRUE(tryCatch.HasCaught());
}

// V8 itself would end the process when a resolver returns nothing without
// raising an exception; linking must just fail, with one naming the import.
TEST_F(Modules, AResolverThatReturnsNothingFailsTheLink)
{
    v8::TryCatch tryCatch(isolate);
    const js::Source source = module("import './missing.mjs';");
    v8::Local<v8::Module> main = js::V8Engine::loadModule(context(), source);
    ASSERT_FALSE(main.IsEmpty());
    EXPECT_FALSE(js::V8Engine::instantiateModule(main, context(), resolveFromState));
    ASSERT_TRUE(tryCatch.HasCaught());
    EXPECT_NE(text(tryCatch.Exception()).find("'./missing.mjs'"), std::string::npos) << text(tryCatch.Exception());
    tryCatch.Reset();

    EXPECT_FALSE(js::V8Engine::addModule(context(), source, resolveFromState));
    EXPECT_TRUE(tryCatch.HasCaught());
    EXPECT_EQ(state.requested, (std::vector<std::string>{"./missing.mjs", "./missing.mjs"}));
}

TEST_F(Modules, TheResolversOwnExceptionReachesTheCaller)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_FALSE(js::V8Engine::addModule(context(), module("import './any.mjs';"), resolveByThrowing));
    ASSERT_TRUE(tryCatch.HasCaught());
    EXPECT_EQ(text(tryCatch.Exception()), "TypeError: host says no");
}

TEST_F(Modules, AnEvaluationThatThrowsRejectsThePromiseNamingTheModule)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(js::V8Engine::addModule(
        context(), module("globalThis.before = 1; throw new Error('module failed');"), resolveFromState))
        << "a module that compiled and linked counts as added";
    EXPECT_EQ(text(run("before")), "1");

    v8::Local<v8::Module> main =
        js::V8Engine::loadModule(context(), module("throw new Error('module failed');", "/modules/failing.mjs"));
    ASSERT_TRUE(js::V8Engine::instantiateModule(main, context(), resolveFromState));
    v8::Local<v8::Value> completion = js::V8Engine::evaluateModule(main, context());
    ASSERT_FALSE(completion.IsEmpty());
    v8::Local<v8::Promise> promise = completion.As<v8::Promise>();
    ASSERT_EQ(promise->State(), v8::Promise::kRejected);
    EXPECT_EQ(main->GetStatus(), v8::Module::kErrored);
    v8::Local<v8::Value> stack =
        promise->Result().As<v8::Object>()->Get(context(), js::V8Helper::v8_string("stack", isolate)).ToLocalChecked();
    EXPECT_NE(text(stack).find("file:///modules/failing.mjs:1:7"), std::string::npos) << text(stack);
}

// Mistakes that V8 answers by ending the process are refused with an
// exception the caller can catch.
TEST_F(Modules, MisuseIsAnExceptionNotAnAbort)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(js::V8Engine::loadModule(context(), js::Source{"export {};", "/classic.js", false}).IsEmpty());
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    v8::Local<v8::Module> unlinked = js::V8Engine::loadModule(context(), module("globalThis.ran = true;"));
    ASSERT_FALSE(unlinked.IsEmpty());
    EXPECT_TRUE(js::V8Engine::evaluateModule(unlinked, context()).IsEmpty());
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    v8::Local<v8::Module> importing = js::V8Engine::loadModule(context(), module("import './dep.mjs';"));
    EXPECT_FALSE(js::V8Engine::instantiateModule(importing, context(), nullptr));
    EXPECT_TRUE(tryCatch.HasCaught());
    tryCatch.Reset();

    EXPECT_FALSE(js::V8Engine::instantiateModule(v8::Local<v8::Module>(), context(), resolveFromState));
    EXPECT_TRUE(js::V8Engine::evaluateModule(v8::Local<v8::Module>(), context()).IsEmpty());

    // A module without imports links without a resolver.
    EXPECT_TRUE(js::V8Engine::addModule(context(), module("globalThis.ran = true;"), nullptr));
    EXPECT_TRUE(run("ran")->IsTrue());
}

}  // namespace
}  // namespace qorjs::test

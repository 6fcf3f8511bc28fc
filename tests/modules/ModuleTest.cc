// ES modules through the library: an import resolved by the host runs
// first, and a failed link or misuse that V8 would end the process for
// reaches the caller as an exception instead.
#include "support/TestSupport.h"

#include <functional>

using namespace qorjs::test;

namespace {
// V8 takes the resolver as a plain function: it serves "./dep.mjs" only.
v8::MaybeLocal<v8::Module> resolve(v8::Local<v8::Context> context, v8::Local<v8::String> specifier,
                                   v8::Local<v8::FixedArray>, v8::Local<v8::Module>)
{
    if (js::V8Helper::qor_string(specifier, context->GetIsolate()) != "./dep.mjs")
        return {};
    return js::V8Engine::loadModule(context,
                                    {"globalThis.order = ['dep']; export const answer = 42;", "/m/dep.mjs", true});
}
js::Source module(std::string_view code) { return {code, "/m/main.mjs", true}; }
}  // namespace

TEST_F(EngineTest, AnImportRunsBeforeTheModuleThatImportsIt)
{
    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(
        js::V8Engine::addModule(context(), module("import { answer } from './dep.mjs'; order.push(answer);"), resolve));
    EXPECT_EQ(outcome("order.join()"), "dep,42");
    // A module that throws is still added, its exception handled.
    EXPECT_TRUE(js::V8Engine::addModule(context(), module("throw new Error('x');"), nullptr));
    EXPECT_FALSE(tryCatch.HasCaught());
}

TEST_F(EngineTest, MisuseIsAnExceptionNotAnAbort)
{
    v8::Local<v8::Module> unlinked = js::V8Engine::loadModule(context(), module("globalThis.ran = true;"));
    v8::Local<v8::Module> importing = js::V8Engine::loadModule(context(), module("import './missing.mjs';"));
    const std::pair<const char*, std::function<bool()>> misuses[] = {
        // What the exception says, where it matters.
        {"", [&] { return js::V8Engine::loadModule(context(), {"export {};", "/a.js", false}).IsEmpty(); }},
        {"", [&] { return js::V8Engine::evaluateModule(unlinked, context()).IsEmpty(); }},
        {"", [&] { return !js::V8Engine::instantiateModule(importing, context(), nullptr); }},
        {"'./missing.mjs'", [&] { return !js::V8Engine::instantiateModule(importing, context(), resolve); }},
        {"SyntaxError", [&] { return !js::V8Engine::addModule(context(), module("export const = 1;"), resolve); }},
    };
    for (const auto& [what, refused] : misuses) {
        v8::TryCatch tryCatch(isolate);
        EXPECT_TRUE(refused()) << what;
        EXPECT_TRUE(tryCatch.HasCaught()) << what;
        EXPECT_NE(text(tryCatch.Exception()).find(what), std::string::npos) << text(tryCatch.Exception());
    }
    EXPECT_TRUE(js::V8Engine::evaluateModule({}, context()).IsEmpty());
    EXPECT_EQ(outcome("typeof ran"), "undefined");
}

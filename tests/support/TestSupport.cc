#include "support/TestSupport.h"

namespace qorjs::test {

void EngineTest::SetUp()
{
    js::V8Engine::get();
    allocator = std::make_unique<js::V8Limits::ArrayBufferAllocator>();
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = allocator.get();
    isolate = v8::Isolate::New(params);
    isolate->Enter();
    handleScope.emplace(isolate);
    v8::Local<v8::Context> created = v8::Context::New(isolate);
    created->Enter();
    contextHandle.Reset(isolate, created);
}

void EngineTest::TearDown()
{
    limits.reset();
    context()->Exit();
    contextHandle.Reset();
    handleScope.reset();
    isolate->Exit();
    isolate->Dispose();
}

v8::Local<v8::Value> EngineTest::run(std::string_view code, std::string fileName)
{
    auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{code, std::move(fileName), false});
    if (result)
        return *result;
    ADD_FAILURE() << "script failed: " << result.error().message;
    return v8::Undefined(isolate);
}

js::Error EngineTest::fail(std::string_view code, std::string fileName)
{
    auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{code, std::move(fileName), false});
    if (!result)
        return std::move(result.error());
    ADD_FAILURE() << "script succeeded: " << code;
    return {};
}

std::string EngineTest::outcome(std::string_view code)
{
    v8::HandleScope scope(isolate);
    auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{code, "/test/script.js", false});
    if (!result)
        return result.error().message;
    return text(*result);
}

void EngineTest::setLimits(js::V8Limits::Settings settings)
{
    limits.reset();
    limits.emplace(isolate, js::V8Engine::get().getPlatform(), settings, allocator.get());
}

}  // namespace qorjs::test

#include "limits/LimitsFixture.h"

namespace qorjs::test {

void LimitsTest::SetUp()
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

void LimitsTest::TearDown()
{
    limits.reset();
    context()->Exit();
    contextHandle.Reset();
    handleScope.reset();
    isolate->Exit();
    isolate->Dispose();
}

void LimitsTest::setLimits(js::V8Limits::Settings settings)
{
    limits.reset();
    limits.emplace(isolate, js::V8Engine::get().getPlatform(), settings, allocator.get());
}

std::string LimitsTest::outcome(std::string_view code)
{
    v8::HandleScope scope(isolate);
    auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{code, "/test/limits.js", false});
    if (!result)
        return result.error().message;
    return js::V8Helper::qor_string(*result, isolate);
}

}  // namespace qorjs::test

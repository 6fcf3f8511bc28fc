#include "support/TestSupport.h"

namespace qorjs::test {

std::string LogRecord::text() const
{
    std::string joined;
    for (const auto& piece : pieces)
        joined += piece;
    return joined;
}

CapturingLogger::CapturingLogger(std::string name) : loggerName(std::move(name)) {}

std::string_view CapturingLogger::name() const
{
    return loggerName;
}

void CapturingLogger::setLevel(int) {}

void CapturingLogger::log(int level, std::initializer_list<std::string_view> pieces)
{
    LogRecord record{level, {}};
    for (std::string_view piece : pieces)
        record.pieces.emplace_back(piece);
    std::lock_guard lock(mutex);
    captured.push_back(std::move(record));
}

void CapturingLogger::flush() {}

std::vector<LogRecord> CapturingLogger::records() const
{
    std::lock_guard lock(mutex);
    return captured;
}

void EngineTest::SetUp()
{
    js::V8Engine::get();
    allocator.reset(v8::ArrayBuffer::Allocator::NewDefaultAllocator());
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
    context()->Exit();
    contextHandle.Reset();
    handleScope.reset();
    isolate->Exit();
    isolate->Dispose();
    isolate = nullptr;
}

v8::Local<v8::Value> EngineTest::run(std::string_view code, std::string fileName)
{
    js::Source source{code, std::move(fileName), false};
    auto result = js::V8Engine::runJavaScriptSource(isolate, source);
    if (!result) {
        ADD_FAILURE() << "script failed: " << result.error().message;
        return v8::Undefined(isolate);
    }
    return *result;
}

std::string EngineTest::text(v8::Local<v8::Value> value)
{
    return js::V8Helper::qor_string(value, isolate);
}

}  // namespace qorjs::test

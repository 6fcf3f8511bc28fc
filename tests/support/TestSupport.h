#pragma once

#include "support/CapturingLogger.h"

#include <qor/javascript/QorJavaScript.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

namespace qorjs::test {

namespace js = qor::format::engine::javascript;

// The process's resident memory in KiB, for the tests that must not grow.
inline long residentKiB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A started engine with an entered isolate, handle scope and context, its
// ArrayBuffers counted so that limits can be set on it. One per test
// process: V8 cannot be started twice.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        js::V8Engine::get();
        v8::Isolate::CreateParams params;
        params.array_buffer_allocator = allocator.get();
        isolate = v8::Isolate::New(params);
        isolate->Enter();
        handleScope.emplace(isolate);
        testContext = v8::Context::New(isolate);
        testContext->Enter();
    }
    void TearDown() override
    {
        limits.reset();
        testContext->Exit();
        handleScope.reset();
        isolate->Exit();
        isolate->Dispose();
    }

    // Runs `code` as a classic script named `fileName`: the completion value
    // (failing the test on an error), the error (failing it on success), or
    // the outcome as text either way.
    v8::Local<v8::Value> run(std::string_view code, std::string fileName = "/test/script.js")
    {
        auto result = js::V8Engine::runJavaScriptSource(isolate, {code, std::move(fileName)});
        EXPECT_TRUE(result) << code << ": " << (result ? "" : result.error().message);
        return result.value_or(v8::Undefined(isolate));
    }
    js::Error fail(std::string_view code, std::string fileName = "/test/script.js")
    {
        auto result = js::V8Engine::runJavaScriptSource(isolate, {code, std::move(fileName)});
        EXPECT_FALSE(result) << code;
        return result ? js::Error{} : result.error();
    }
    std::string outcome(std::string_view code)
    {
        v8::HandleScope scope(isolate);
        auto result = js::V8Engine::runJavaScriptSource(isolate, {code, "/test/script.js"});
        return result ? text(*result) : result.error().message;
    }
    void setLimits(js::V8Limits::Settings settings)
    {
        limits.reset();
        limits.emplace(isolate, js::V8Engine::get().getPlatform(), settings, allocator.get());
    }
    std::string text(v8::Local<v8::Value> value) { return js::V8Helper::qor_string(value, isolate); }
    // The test's context, also while a test has left it.
    v8::Local<v8::Context> context() const { return testContext; }

    v8::Isolate* isolate = nullptr;
    std::unique_ptr<js::V8Limits::ArrayBufferAllocator> allocator =
        std::make_unique<js::V8Limits::ArrayBufferAllocator>();
    std::optional<js::V8Limits> limits;

private:
    std::optional<v8::HandleScope> handleScope;
    v8::Local<v8::Context> testContext;  // held by handleScope
};

}  // namespace qorjs::test

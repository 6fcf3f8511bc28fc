#pragma once

#include "support/CapturingLogger.h"

#include <qor/javascript/QorJavaScript.h>

#include <gtest/gtest.h>
#include <v8-array-buffer.h>
#include <v8-context.h>

namespace qor::format::engine::javascript {
inline void PrintTo(Error::Type type, std::ostream* out) { *out << "Type " << static_cast<int>(type); }
}  // namespace qor::format::engine::javascript

namespace qorjs::test {

namespace js = qor::format::engine::javascript;

// A started engine with an entered isolate, handle scope and context, its
// ArrayBuffers counted so that limits can be set on it. One per test
// process: V8 cannot be started twice.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `code` as a classic script named `fileName`; fails the test on error.
    v8::Local<v8::Value> run(std::string_view code, std::string fileName = "/test/script.js");
    // Runs `code` expecting it to fail; fails the test if it succeeds.
    js::Error fail(std::string_view code, std::string fileName = "/test/script.js");
    // The completion value of `code` as text, or the failure's message.
    std::string outcome(std::string_view code);
    // Replaces the isolate's limits with `settings`.
    void setLimits(js::V8Limits::Settings settings);
    // The string form of `value`.
    std::string text(v8::Local<v8::Value> value) { return js::V8Helper::qor_string(value, isolate); }

    v8::Local<v8::Context> context() const { return contextHandle.Get(isolate); }

    v8::Isolate* isolate = nullptr;
    std::unique_ptr<js::V8Limits::ArrayBufferAllocator> allocator;
    std::optional<js::V8Limits> limits;

private:
    std::optional<v8::HandleScope> handleScope;
    v8::Global<v8::Context> contextHandle;
};

}  // namespace qorjs::test

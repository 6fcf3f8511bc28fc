#pragma once

#include <qor/javascript/QorJavaScript.h>

#include <gtest/gtest.h>
#include <v8-context.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qorjs::test {

namespace js = qor::format::engine::javascript;

// An entered isolate whose ArrayBuffers are counted, a context, and the
// limits a test sets on them.
class LimitsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void setLimits(js::V8Limits::Settings settings);

    // The script's completion value as text, or the failure's message.
    std::string outcome(std::string_view code);

    v8::Local<v8::Context> context() const { return contextHandle.Get(isolate); }

    v8::Isolate* isolate = nullptr;
    std::unique_ptr<js::V8Limits::ArrayBufferAllocator> allocator;
    std::optional<js::V8Limits> limits;

private:
    std::optional<v8::HandleScope> handleScope;
    v8::Global<v8::Context> contextHandle;
};

}  // namespace qorjs::test

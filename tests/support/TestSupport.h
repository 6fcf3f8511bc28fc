#pragma once

#include <qor/javascript/QorJavaScript.h>

#include <gtest/gtest.h>
#include <v8-array-buffer.h>
#include <v8-context.h>
#include <v8-isolate.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qorjs::test {

namespace js = qor::format::engine::javascript;

// One record as a logger received it: the level and each piece, copied.
struct LogRecord {
    int level = 0;
    std::vector<std::string> pieces;
    std::string text() const;
};

// A logger that keeps every record it is given.
class CapturingLogger final : public qor::log::LoggerInterface {
public:
    explicit CapturingLogger(std::string name = "V8");
    std::string_view name() const override;
    void setLevel(int) override;
    void log(int level, std::initializer_list<std::string_view> pieces) override;
    void flush() override;

    std::vector<LogRecord> records() const;

private:
    std::string loggerName;
    mutable std::mutex mutex;
    std::vector<LogRecord> captured;
};

// A started engine with an entered isolate, handle scope and context.
// One per test process: V8 cannot be started twice.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `code` as a classic script named `fileName`; fails the test on error.
    v8::Local<v8::Value> run(std::string_view code, std::string fileName = "/test/script.js");

    // The string form of `value`.
    std::string text(v8::Local<v8::Value> value);

    v8::Local<v8::Context> context() const { return contextHandle.Get(isolate); }

    v8::Isolate* isolate = nullptr;

private:
    std::unique_ptr<v8::ArrayBuffer::Allocator> allocator;
    std::optional<v8::HandleScope> handleScope;
    v8::Global<v8::Context> contextHandle;
};

}  // namespace qorjs::test

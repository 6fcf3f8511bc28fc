// Two host threads, each with an isolate of its own, use the library at once
// while V8 and the host log through the failure handlers: each thread gets
// exactly its own results, every record arrives whole, and V8's own fatal
// report goes to the log. scripts/tsan runs it under ThreadSanitizer.
#include "support/CapturingLogger.h"

#include <qor/javascript/QorJavaScript.h>

#include <gtest/gtest.h>
#include <v8-initialization.h>

#include <barrier>
#include <thread>

using namespace qorjs::test;
namespace js = qor::format::engine::javascript;

namespace {
const int kRounds = std::getenv("QORJS_ISOLATE_ROUNDS") ? std::atoi(std::getenv("QORJS_ISOLATE_ROUNDS")) : 200;

// One thread's work, on an isolate of its own (V8 sets its stack limit on
// the thread that makes it), started with the other's; what went wrong.
std::string work(int thread, const v8::Isolate::CreateParams& params, std::barrier<>& start)
{
    v8::Isolate* isolate = v8::Isolate::New(params);
    isolate->SetFatalErrorHandler(js::V8Engine::fatalError);
    isolate->SetAbortOnUncaughtExceptionCallback(js::V8Engine::abortOnUncaughtException);
    std::string problems;
    {
        v8::Isolate::Scope isolateScope(isolate);
        v8::HandleScope handleScope(isolate);
        v8::Local<v8::Context> context = v8::Context::New(isolate);
        v8::Context::Scope contextScope(context);
        const std::string me = std::to_string(thread), file = "/threads/s" + me + ".js";
        const auto failure = [](const auto& result) { return result ? std::string("none") : result.error().message; };
        js::V8Engine::runJavaScriptSource(isolate,
                                          {"function fail(r) { throw new RangeError(`" + me + " ${r}`); }", file});
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            v8::HandleScope roundScope(isolate);
            const std::string r = me + " " + std::to_string(round);
            std::vector<v8::Local<v8::Value>> arguments{v8::Integer::New(isolate, round)};
            const std::string got =
                failure(js::V8Engine::runJavaScriptSource(isolate, {"throw new Error('" + r + "')", file})) + "; " +
                failure(js::V8Engine::callJsFunctionGetError(context->Global(), context, "fail", arguments));
            if (got != "Error: " + r + "; RangeError: " + r)
                problems += got + "\n";
            js::V8Engine::sendErrorToLog("thread " + r);
        }
        // V8 reports a misuse of its interface through the fatal error
        // handler and marks the isolate as failed, so it comes last.
        if (v8::Nothing<bool>().FromJust())
            problems += "FromJust on Nothing gave true";
    }
    isolate->Dispose();
    return problems;
}
}  // namespace

TEST(ManyIsolates, TwoThreadsUseTheLibraryAtOnceWhileTheHandlersLog)
{
    auto logger = CapturingLogger::install();
    js::V8Engine::get();
    // V8 asks the host before it aborts on an exception nothing in
    // JavaScript catches; the library's callback says no and logs.
    v8::V8::SetFlagsFromString("--abort-on-uncaught-exception");
    std::unique_ptr<v8::ArrayBuffer::Allocator> allocator(v8::ArrayBuffer::Allocator::NewDefaultAllocator());
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = allocator.get();
    std::barrier start(2);
    std::string problems[2];
    std::thread other([&] { problems[1] = work(1, params, start); });
    problems[0] = work(0, params, start);
    other.join();
    EXPECT_EQ(problems[0] + problems[1], "");

    const std::vector<LogRecord> records = logger->records();
    EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const LogRecord& record) {
                  return record.level == 4 && record.pieces.size() == 4 && record.pieces[1] == "v8::FromJust";
              }), 2);
    EXPECT_EQ(std::count(records.begin(), records.end(), LogRecord{4, {"Uncaucht exception"}}), 4 * kRounds);
    const LogRecord last{3, {"thread 1 " + std::to_string(kRounds - 1)}};
    EXPECT_EQ(std::count(records.begin(), records.end(), last), 1);
    EXPECT_EQ(records.size(), static_cast<std::size_t>(2 + 2 * 3 * kRounds)) << "records were lost or torn";
}

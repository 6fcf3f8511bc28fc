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
        const std::string me = std::to_string(thread);
        const auto outcome = [&](const std::string& code) {
            auto result = js::V8Engine::runJavaScriptSource(isolate, {code, "/threads/s" + me + ".js"});
            return result ? js::V8Helper::qor_string(*result, isolate) : result.error().message;
        };
        const auto called = [&](const char* path, std::vector<v8::Local<v8::Value>> arguments) {
            auto result = js::V8Engine::callJsFunctionGetError(context->Global(), context, path, arguments);
            return result ? js::V8Helper::qor_string(result->value, isolate) : result.error().message;
        };
        outcome("var thread = " + me + "; var lib = { add: (a, b) => a + b + thread,"
                "fail() { throw new RangeError('thread ' + thread + ' fails'); } };");
        start.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
            v8::HandleScope roundScope(isolate);
            const std::string r = std::to_string(round);
            for (auto [got, expected] :
                 {std::pair{outcome("thread * 100000 + " + r), std::to_string(thread * 100000 + round)},
                  {outcome("throw new Error('thread ' + thread + ' round " + r + "')"), "Error: thread " + me + " round " + r},
                  {called("lib.add", {v8::Integer::New(isolate, round), v8::Integer::New(isolate, 10)}),
                   std::to_string(round + 10 + thread)},
                  {called("lib.fail", {}), "RangeError: thread " + me + " fails"}})
                if (got != expected)
                    problems += "got \"" + got + "\", expected \"" + expected + "\"\n";
            js::V8Engine::sendErrorToLog("thread " + me + " round " + r);
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
    EXPECT_EQ(std::count(records.begin(), records.end(), LogRecord{3, {std::string("thread 1 round ") + std::to_string(kRounds - 1)}}), 1);
    EXPECT_EQ(records.size(), static_cast<std::size_t>(2 + 2 * 3 * kRounds)) << "records were lost or torn";
}

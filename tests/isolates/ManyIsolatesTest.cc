// Two host threads, each with an isolate of its own, use the library at the
// same time: scripts, failing scripts, calls, modules and property lists,
// while the failure handlers log from both, called directly and by V8
// itself. Each thread must get exactly its own results, and every record
// must arrive whole. scripts/tsan runs this test under ThreadSanitizer.

#include "support/CapturingLogger.h"

#include <qor/javascript/QorJavaScript.h>

#include <gtest/gtest.h>
#include <v8-array-buffer.h>
#include <v8-initialization.h>
#include <v8-isolate.h>
#include <v8-maybe.h>

#include <algorithm>
#include <barrier>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace qorjs::test {
namespace {

namespace js = qor::format::engine::javascript;

constexpr int kThreads = 2;

int rounds()
{
    const char* value = std::getenv("QORJS_ISOLATE_ROUNDS");
    return value && *value ? std::atoi(value) : 200;
}

// V8 takes the resolver as a plain function: the module it serves is the
// same text for every thread, compiled into the asking thread's isolate.
v8::MaybeLocal<v8::Module> resolveBase(v8::Local<v8::Context> context,
                                       v8::Local<v8::String> specifier,
                                       v8::Local<v8::FixedArray>,
                                       v8::Local<v8::Module>)
{
    if (js::V8Helper::qor_string(specifier, context->GetIsolate()) != "base")
        return {};
    return js::V8Engine::loadModule(context, js::Source{"export const base = 1000;", "/threads/base.mjs", true});
}

// Owns an isolate with the library's failure handlers; disposed on every way out.
struct OwnIsolate {
    OwnIsolate() : allocator(v8::ArrayBuffer::Allocator::NewDefaultAllocator())
    {
        v8::Isolate::CreateParams params;
        params.array_buffer_allocator = allocator.get();
        isolate = v8::Isolate::New(params);
        isolate->SetFatalErrorHandler(js::V8Engine::fatalError);
        isolate->SetOOMErrorHandler(js::V8Engine::oomeError);
        isolate->SetAbortOnUncaughtExceptionCallback(js::V8Engine::abortOnUncaughtException);
        isolate->SetEventLogger(js::V8Engine::logEvent);
    }
    ~OwnIsolate() { isolate->Dispose(); }

    std::unique_ptr<v8::ArrayBuffer::Allocator> allocator;
    v8::Isolate* isolate = nullptr;
};

// What one thread saw go wrong; empty when everything was as expected.
using Problems = std::vector<std::string>;

void expectText(Problems& problems, const std::string& what, const std::string& got, const std::string& expected)
{
    if (got != expected)
        problems.push_back(what + ": got \"" + got + "\", expected \"" + expected + "\"");
}

// One thread's work: `rounds` rounds of everything, started together with
// the other thread.
void work(int thread, std::barrier<>& start, Problems& problems)
{
    OwnIsolate own;
    v8::Isolate* isolate = own.isolate;
    v8::Isolate::Scope isolateScope(isolate);
    v8::HandleScope handleScope(isolate);
    v8::Local<v8::Context> context = v8::Context::New(isolate);
    v8::Context::Scope contextScope(context);
    const std::string me = std::to_string(thread);
    const auto text = [isolate](v8::Local<v8::Value> value) { return js::V8Helper::qor_string(value, isolate); };

    // A Source does not own its text.
    const std::string library = "var thread = " + me +
                                ";\n"
                                "var lib = {math: {add(a, b) { return a + b + thread; }},\n"
                                "           fail() { throw new RangeError('thread ' + thread + ' fails'); }};";
    if (!js::V8Engine::runJavaScriptSource(isolate, js::Source{library, "/threads/library" + me + ".js"}))
        problems.push_back("the library script failed");

    start.arrive_and_wait();
    for (int round = 0; round < rounds(); ++round) {
        v8::HandleScope roundScope(isolate);
        const std::string r = std::to_string(round);

        const std::string code = "thread * 100000 + " + r;
        auto value = js::V8Engine::runJavaScriptSource(isolate, js::Source{code, "/threads/script" + me + ".js"});
        expectText(problems, "script", value ? text(*value) : value.error().message,
                   std::to_string(thread * 100000 + round));

        auto failed = js::V8Engine::runJavaScriptSource(
            isolate, js::Source{"\nthrow new Error('thread ' + thread + ' round " + r + "')", "/threads/fail.js"});
        if (failed || failed.error().type != js::Error::Type::Runtime || failed.error().lineNumber != 2)
            problems.push_back("the failing script did not fail as it should");
        else
            expectText(problems, "error", failed.error().message, "Error: thread " + me + " round " + r);

        std::vector<v8::Local<v8::Value>> arguments = {v8::Integer::New(isolate, round),
                                                       v8::Integer::New(isolate, 10)};
        auto sum = js::V8Engine::callJsFunctionGetError(context->Global(), context, "lib.math.add", arguments);
        expectText(problems, "call", sum && sum->success ? text(sum->value) : "no value",
                   std::to_string(round + 10 + thread));
        auto thrown = js::V8Engine::callJsFunctionGetError(context->Global(), context, "lib.fail", arguments);
        expectText(problems, "throwing call", thrown ? "no error" : thrown.error().message,
                   "RangeError: thread " + me + " fails");

        const std::string module = "import {base} from 'base';\nglobalThis.fromModule = base + thread * 10 + " + r + ";";
        if (!js::V8Engine::addModule(context, js::Source{module, "/threads/main" + me + ".mjs", true}, resolveBase))
            problems.push_back("the module did not link");
        expectText(problems, "module", text(context->Global()->Get(context, js::V8Helper::v8_string("fromModule", isolate)).ToLocalChecked()),
                   std::to_string(1000 + thread * 10 + round));

        const auto names = js::V8Engine::getPropertyNames(
            context->Global()->Get(context, js::V8Helper::v8_string("lib", isolate)).ToLocalChecked().As<v8::Object>(),
            isolate);
        if (names != std::vector<std::string>{"math", "fail"})
            problems.push_back("property names");

        // The handlers as a host calls them.
        js::V8Engine::sendErrorToLog("thread " + me + " round " + r);
        js::V8Engine::fatalError(("thread " + me).c_str(), r.c_str());
        js::V8Engine::oomeError(("thread " + me).c_str(), round % 2 == 0);
        js::V8Engine::logEvent(("thread " + me).c_str(), round);
        js::V8Engine::abortOnUncaughtException(isolate);
    }

    // V8 reporting a misuse of its interface through the fatal error
    // handler; it marks the isolate as failed, so it comes last.
    if (v8::Nothing<bool>().FromJust())
        problems.push_back("FromJust on Nothing gave true");
}

// Records of this level whose text, its pieces joined, contains `text`.
std::size_t countWith(const std::vector<LogRecord>& records, int level, const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](const LogRecord& record) {
        std::string joined;
        for (const std::string& piece : record.pieces)
            joined += piece;
        return record.level == level && joined.find(text) != std::string::npos;
    }));
}

TEST(ManyIsolates, TwoThreadsUseTheLibraryAtOnceWhileTheHandlersLog)
{
    auto logger = CapturingLogger::install();
    js::V8Engine::get();
    // V8 asks the host before it aborts on an exception nothing in
    // JavaScript catches; the library's callback says no and logs.
    v8::V8::SetFlagsFromString("--abort-on-uncaught-exception");

    std::barrier start(kThreads);
    std::vector<Problems> problems(kThreads);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back(work, thread, std::ref(start), std::ref(problems[static_cast<std::size_t>(thread)]));
    for (std::thread& thread : threads)
        thread.join();

    for (int thread = 0; thread < kThreads; ++thread)
        EXPECT_EQ(problems[static_cast<std::size_t>(thread)], Problems{}) << "thread " << thread;

    const std::vector<LogRecord> records = logger->records();
    const auto perThread = static_cast<std::size_t>(rounds());
    for (int thread = 0; thread < kThreads; ++thread) {
        const std::string name = "thread " + std::to_string(thread);
        EXPECT_EQ(countWith(records, qor::log::kLevelFatal, name), perThread) << name;
        EXPECT_EQ(countWith(records, qor::log::kLevelError, name), 2 * perThread) << name;
        EXPECT_EQ(countWith(records, qor::log::kLevelEvent, name), perThread) << name;
    }
    // From V8 itself: the misuse on each thread, and the uncaught exceptions
    // (two a round on each thread: the failing script and the throwing call,
    // besides the direct calls).
    EXPECT_EQ(countWith(records, qor::log::kLevelFatal, "v8::FromJust"), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(countWith(records, qor::log::kLevelFatal, "Uncaucht exception"), 3 * kThreads * perThread);
    // V8's own event log: script runs announce themselves.
    EXPECT_GT(std::count_if(records.begin(), records.end(),
                            [](const LogRecord& record) {
                                return record.level == qor::log::kLevelEvent && record.pieces.front().starts_with("V8.");
                            }),
              0);
}

}  // namespace
}  // namespace qorjs::test

// The in-process floor under the debugger's round trip: the request that the
// load client sends (Runtime.evaluate of 1+1) dispatched to a session of V8's
// inspector with no socket in between, to a fresh session and to one that is
// paused with Runtime and Debugger enabled, as the load client's is. "with
// response text" also turns every message into host text, as the debugger's
// channel did before it converted to UTF-8 itself. The large requests (a
// string literal of 1 MiB or 15 MiB, evaluated and sent back, as the load
// client's large round trips) are V8's own share of those round trips, the
// text left as V8 gives it.

#include "BenchIsolate.h"

#include <qor/javascript/V8Helper.h>

#include <benchmark/benchmark.h>
#include <v8-inspector.h>
#include <v8-script.h>

#include <functional>
#include <string>
#include <utility>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

// The inspector's embedder side. When the script pauses, V8 calls
// runMessageLoopOnPause: the benchmark's loop runs in there, so that the
// requests reach a paused session, as the load client's do.
class PausingClient final : public v8_inspector::V8InspectorClient {
public:
    std::function<void()> whilePaused;

    void runMessageLoopOnPause(int) override
    {
        if (whilePaused)
            std::exchange(whilePaused, nullptr)();
    }
    void quitMessageLoopOnPause() override {}
};

class CountingChannel final : public v8_inspector::V8Inspector::Channel {
public:
    CountingChannel(v8::Isolate* isolate, bool convert) : isolate(isolate), convert(convert) {}

    void sendResponse(int, std::unique_ptr<v8_inspector::StringBuffer> message) override
    {
        ++responses;
        take(*message);
    }
    void sendNotification(std::unique_ptr<v8_inspector::StringBuffer> message) override { take(*message); }
    void flushProtocolNotifications() override {}

    std::size_t responses = 0;

private:
    void take(const v8_inspector::StringBuffer& message)
    {
        if (!convert)
            return;
        v8::HandleScope scope(isolate);
        std::string text = js::V8Helper::qor_string(message.string(), isolate);
        benchmark::DoNotOptimize(text);
    }

    v8::Isolate* isolate;
    bool convert;
};

enum class SessionState {
    // A fresh session: no domain enabled, nothing paused.
    Fresh,
    // Runtime and Debugger enabled and paused on a statement: the state in
    // which the load client measures, where each evaluation also announces
    // its script with Debugger.scriptParsed.
    Paused,
};

void dispatch(benchmark::State& state, SessionState sessionState, bool convert, std::string_view expression = "1+1")
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();

    PausingClient client;
    std::unique_ptr<v8_inspector::V8Inspector> inspector = v8_inspector::V8Inspector::create(isolate, &client);
    inspector->contextCreated(v8_inspector::V8ContextInfo(context, 1, v8_inspector::StringView()));
    CountingChannel channel(isolate, convert);
    std::unique_ptr<v8_inspector::V8InspectorSession> session =
        inspector->connect(1, &channel, v8_inspector::StringView());

    const std::string request =
        R"({"id":1,"method":"Runtime.evaluate","params":{"expression":")" + std::string(expression) + R"(","contextId":)" +
        std::to_string(v8_inspector::V8ContextInfo::executionContextId(context)) + "}}";
    const v8_inspector::StringView view = js::V8Helper::v8_inspectorStringView(request);
    std::size_t answered = 0;
    const auto measure = [&] {
        const std::size_t before = channel.responses;
        for (auto _ : state) {
            v8::HandleScope scope(isolate);
            session->dispatchProtocolMessage(view);
        }
        answered = channel.responses - before;
    };

    if (sessionState == SessionState::Fresh) {
        measure();
    } else {
        for (const std::string_view enable : {R"({"id":1,"method":"Runtime.enable"})",
                                              R"({"id":2,"method":"Debugger.enable"})"})
            session->dispatchProtocolMessage(js::V8Helper::v8_inspectorStringView(enable));
        client.whilePaused = measure;
        session->schedulePauseOnNextStatement(v8_inspector::StringView(), v8_inspector::StringView());
        v8::Local<v8::Script> script;
        if (v8::Script::Compile(context, v8::String::NewFromUtf8Literal(isolate, "0;")).ToLocal(&script))
            benchmark::DoNotOptimize(script->Run(context));
    }
    if (answered != static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("a request went unanswered, or the session never paused");

    session.reset();
    inspector->contextDestroyed(context);
}

const bool registered = [] {
    benchmark::RegisterBenchmark("inspector dispatch/Runtime.evaluate 1+1",
                                 [](benchmark::State& state) { dispatch(state, SessionState::Fresh, false); });
    benchmark::RegisterBenchmark("inspector dispatch/Runtime.evaluate 1+1 with response text",
                                 [](benchmark::State& state) { dispatch(state, SessionState::Fresh, true); });
    benchmark::RegisterBenchmark("inspector dispatch/Runtime.evaluate 1+1 paused with response text",
                                 [](benchmark::State& state) { dispatch(state, SessionState::Paused, true); });
    for (const auto& [name, bytes] : {std::pair{"1 MiB", std::size_t{1} << 20}, std::pair{"15 MiB", std::size_t{15} << 20}})
        benchmark::RegisterBenchmark(
            (std::string("inspector dispatch/Runtime.evaluate of a ") + name + " string paused").c_str(),
            [bytes = bytes](benchmark::State& state) {
                dispatch(state, SessionState::Paused, false, "'" + std::string(bytes - 100, 'a') + "'");
            })
            ->Iterations(3);
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

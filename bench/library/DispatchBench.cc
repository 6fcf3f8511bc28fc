// The in-process floor under the debugger's round trip: the request that the
// load client sends (Runtime.evaluate of 1+1) dispatched to a session of V8's
// inspector with no socket in between. "with response text" also turns the
// answer into host text, as the debugger's channel does before it writes.

#include "BenchIsolate.h"

#include <qor/javascript/V8Helper.h>

#include <benchmark/benchmark.h>
#include <v8-inspector.h>

#include <string>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

// The inspector's embedder side with V8's default for every call: no pause
// ever happens here.
class QuietClient final : public v8_inspector::V8InspectorClient {};

class CountingChannel final : public v8_inspector::V8Inspector::Channel {
public:
    CountingChannel(v8::Isolate* isolate, bool convert) : isolate(isolate), convert(convert) {}

    void sendResponse(int, std::unique_ptr<v8_inspector::StringBuffer> message) override { take(*message); }
    void sendNotification(std::unique_ptr<v8_inspector::StringBuffer> message) override { take(*message); }
    void flushProtocolNotifications() override {}

    std::size_t messages = 0;

private:
    void take(const v8_inspector::StringBuffer& message)
    {
        ++messages;
        if (!convert)
            return;
        v8::HandleScope scope(isolate);
        std::string text = js::V8Helper::qor_string(message.string(), isolate);
        benchmark::DoNotOptimize(text);
    }

    v8::Isolate* isolate;
    bool convert;
};

void dispatch(benchmark::State& state, bool convert)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();

    QuietClient client;
    std::unique_ptr<v8_inspector::V8Inspector> inspector = v8_inspector::V8Inspector::create(isolate, &client);
    inspector->contextCreated(v8_inspector::V8ContextInfo(context, 1, v8_inspector::StringView()));
    CountingChannel channel(isolate, convert);
    std::unique_ptr<v8_inspector::V8InspectorSession> session =
        inspector->connect(1, &channel, v8_inspector::StringView());

    const std::string request =
        R"({"id":1,"method":"Runtime.evaluate","params":{"expression":"1+1","contextId":)" +
        std::to_string(v8_inspector::V8ContextInfo::executionContextId(context)) + "}}";
    const v8_inspector::StringView view = js::V8Helper::v8_inspectorStringView(request);
    for (auto _ : state) {
        v8::HandleScope scope(isolate);
        session->dispatchProtocolMessage(view);
    }
    if (channel.messages != static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("a request went unanswered");

    session.reset();
    inspector->contextDestroyed(context);
}

const bool registered = [] {
    benchmark::RegisterBenchmark("inspector dispatch/Runtime.evaluate 1+1",
                                 [](benchmark::State& state) { dispatch(state, false); });
    benchmark::RegisterBenchmark("inspector dispatch/Runtime.evaluate 1+1 with response text",
                                 [](benchmark::State& state) { dispatch(state, true); });
    return true;
}();

}  // namespace

}  // namespace qorjs::bench

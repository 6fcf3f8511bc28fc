#pragma once

// The two objects through which V8's inspector talks to a V8Debugger. They
// live inside the debugger (the client by value, the channel inside the
// client), which is why their declarations are visible here; hosts never use
// them directly, and nothing of them is exported.

#include <v8-inspector.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-platform.h>

#include <memory>

namespace qor::format::engine::javascript {

class V8Debugger;

// The inspector's context group. The debugger announces one context, in this group.
inline constexpr int kContextGroupId = 1;

// Where the inspector session delivers its responses and notifications: each
// one goes out through the debugger's transport as soon as it is produced.
class V8InspectorChannel final : public v8_inspector::V8Inspector::Channel {
public:
    V8InspectorChannel(v8::Isolate* isolate, V8Debugger* debugger);

    // The message's id is in its text; `callId` is not needed.
    void sendResponse(int callId, std::unique_ptr<v8_inspector::StringBuffer> message) override;
    void sendNotification(std::unique_ptr<v8_inspector::StringBuffer> message) override;

    // Nothing is held back, so there is nothing to flush.
    void flushProtocolNotifications() override;

private:
    void forward(const v8_inspector::StringBuffer& message);

    v8::Isolate* isolate;
    V8Debugger* debugger;
};

// The embedder side of V8's inspector for one isolate: owns the inspector,
// the one session of the attached DevTools client and the channel, and runs
// the nested message loop while a script is paused.
class V8InspectorClientImpl final : public v8_inspector::V8InspectorClient {
public:
    // Creates the inspector and announces the isolate's current context in
    // kContextGroupId. The isolate must be entered, with a context entered,
    // on the calling thread; without a context it throws std::logic_error.
    V8InspectorClientImpl(v8::Isolate* isolate, v8::Platform* platform, V8Debugger* debugger);
    ~V8InspectorClientImpl() override;

    V8InspectorClientImpl(const V8InspectorClientImpl&) = delete;
    V8InspectorClientImpl& operator=(const V8InspectorClientImpl&) = delete;

    // A fresh session for a newly accepted client; an earlier one is
    // destroyed once the new one exists.
    void connectSession();

    // Destroys the session, if there is one.
    void disconnectSession();

    // The context announced to the inspector: the one DevTools sees.
    v8::Local<v8::Context> announcedContext() const { return context.Get(isolate); }

    // The current session, or null while no client is connected.
    v8_inspector::V8InspectorSession* session() const { return currentSession.get(); }

    // V8 calls this when the script pauses. Reads and dispatches the client's
    // messages until it resumes or goes away; never nests.
    void runMessageLoopOnPause(int contextGroupId) override;

    // Ends the pause loop after its current pass.
    void quitMessageLoopOnPause() override;

    // The announced context: what V8 evaluates in when a client names no
    // context (Runtime.evaluate without a contextId, console commands).
    v8::Local<v8::Context> ensureDefaultContextInGroup(int contextGroupId) override;

    // Wall-clock time in milliseconds since the epoch: the timestamps of
    // console messages and the durations console.time measures.
    double currentTimeMS() override;

private:
    v8::Isolate* isolate;
    v8::Platform* platform;
    v8::Global<v8::Context> context;
    std::unique_ptr<v8_inspector::V8Inspector> inspector;
    std::unique_ptr<v8_inspector::V8InspectorSession> currentSession;
    V8InspectorChannel channel;
    V8Debugger* debugger;
    bool quitRequested = true;
    bool inPauseLoop = false;
};

}  // namespace qor::format::engine::javascript

#pragma once

// The two objects through which V8's inspector talks to a debugger session:
// the client (the pause loop, the default context) and the channel (the
// session's answers and events). They reach the session only through
// InspectorLink.

#include <v8-inspector.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-platform.h>

#include <memory>
#include <string>

namespace qor::format::engine::javascript {

// The inspector's context group. The debugger announces one context, in this group.
inline constexpr int kContextGroupId = 1;

// What the inspector's side needs of the session.
class InspectorLink {
public:
    // Sends one answer or event, as UTF-8 text. Never throws: a failure is
    // the session's to report.
    virtual void send(std::string message) = 0;
    // Reads one message while the script is paused (waiting for it) and
    // dispatches it; false once there is no usable connection.
    virtual bool servePausedMessage() = 0;
    // The pause is over: messages are no longer read in its loop.
    virtual void pauseEnded() = 0;

protected:
    ~InspectorLink() = default;
};

// Where the inspector session delivers its responses and notifications.
class V8InspectorChannel final : public v8_inspector::V8Inspector::Channel {
public:
    explicit V8InspectorChannel(InspectorLink& link);

    // The message's id is in its text; `callId` is not needed.
    void sendResponse(int callId, std::unique_ptr<v8_inspector::StringBuffer> message) override;
    void sendNotification(std::unique_ptr<v8_inspector::StringBuffer> message) override;

    // Nothing is held back here; the session writes what a batch produced
    // together.
    void flushProtocolNotifications() override;

private:
    InspectorLink& link;
};

// The embedder side of V8's inspector for one isolate: owns the inspector,
// the one session of the attached DevTools client and the channel, and runs
// the nested message loop while a script is paused.
class V8InspectorClientImpl final : public v8_inspector::V8InspectorClient {
public:
    // Creates the inspector and announces the isolate's current context in
    // kContextGroupId. The isolate must be entered, with a context entered,
    // on the calling thread; without a context it throws std::logic_error.
    V8InspectorClientImpl(v8::Isolate* isolate, v8::Platform* platform, InspectorLink& link);
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

    // Tells the client that the context has been created, as the
    // constructor does, or that the host's work in it is over (the client
    // sees Runtime.executionContextDestroyed).
    void announceContext();
    void announceContextEnd();

    // The current session, or null while no client is connected.
    v8_inspector::V8InspectorSession* session() const { return currentSession.get(); }

    // Whether the script is paused now, in the loop below.
    bool paused() const { return inPauseLoop; }

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
    InspectorLink& link;
    bool quitRequested = true;
    bool inPauseLoop = false;
};

}  // namespace qor::format::engine::javascript

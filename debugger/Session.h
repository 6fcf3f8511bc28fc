#pragma once

// What a V8Debugger does: when to listen, when to hand messages to the
// inspector, when the host's work runs, and what a failure ends. The
// transport moves the bytes, the inspector client runs the pause loop, and
// the socket watch asks for the isolate's thread when a client has sent
// something while the host's work runs.

#include "debugger/InspectorClient.h"
#include "debugger/SocketWatch.h"
#include "debugger/Transport.h"

#include <qor/javascript/V8Runtime.h>

#include <v8-isolate.h>
#include <v8-platform.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// Where an isolate keeps its debugger session, for the interrupts that the
// socket watch asks for (the limits and the runtime have slots 1 and 2).
inline constexpr std::uint32_t kDebuggerDataSlot = 3;

class DebugSession final : public InspectorLink {
public:
    DebugSession(v8::Isolate* isolate, v8::Platform* platform);
    ~DebugSession();
    DebugSession(const DebugSession&) = delete;
    DebugSession& operator=(const DebugSession&) = delete;

    TransportRules rules;

    void execute(bool breakOnStart,
                 std::function<void()> run,
                 std::function<bool(unsigned short)> beforeListen,
                 std::function<void()> onDisconnect,
                 unsigned short port);
    std::expected<unsigned short, std::string> listen(unsigned short port);
    bool hasClient() const { return transport.connected(); }
    void serveWaiting();
    void serveUntilDisconnected();
    void setWaitingCallback(std::function<void()> waiting);
    // The waiting callback posts a serving task to the runtime's loop.
    void serveInLoopOf(V8Runtime::Remote runtime);
    void breakProgram(std::string_view reason, std::string_view details);

    // InspectorLink
    void send(std::string message) override;
    bool servePausedMessage() override;
    void pauseEnded() override;

private:
    // Lets a task posted to a runtime's loop find the session, or find it gone.
    struct Anchor {
        DebugSession* session;
    };
    // The host's callback, set on the isolate's thread and called on the
    // watch's.
    struct Waiting {
        std::mutex mutex;
        std::function<void()> callback;
    };

    static void onInterrupt(v8::Isolate* isolate, void* data);
    void askForThread();

    void serveWaitingOnce();
    void waitForRun();
    // A fresh inspector session for a client just accepted.
    void clientArrived();
    // The connection failed: the session goes, and the watch looks at the
    // listener again. Reported unless the client closed in an orderly way.
    void clientLeft(const boost::system::system_error& failure);
    // Dispatches `messages` with their answers written together.
    void dispatchAll(const std::vector<std::string>& messages);
    void dispatch(std::string_view message);
    // The message's "method" ("" without one); nullopt when it is not JSON.
    std::optional<std::string> methodOf(std::string_view message);
    // What has arrived besides `first`, which is dispatched with it.
    std::vector<std::string> withWaiting(std::string first);
    // Has the watch look at the right socket, and look again unless the
    // isolate's thread reads it itself now.
    void rewatch();
    // The isolate's thread reads the socket itself for the scope's life.
    struct ReadingHere {
        explicit ReadingHere(DebugSession& session);
        ~ReadingHere();
        ReadingHere(const ReadingHere&) = delete;
        ReadingHere& operator=(const ReadingHere&) = delete;
        DebugSession& session;
        bool was;
    };

    v8::Isolate* isolate;
    Transport transport;
    V8InspectorClientImpl inspectorClient;
    std::shared_ptr<Anchor> anchor;
    std::shared_ptr<Waiting> waiting;

    bool alreadyConnected = false;
    bool breakOnStart = false;
    bool debuggerEnabled = false;
    bool serving = false;
    bool readingHere = false;
    // False when the watch asked for the thread while serving was under way.
    bool servedMeanwhile = true;
    std::function<void()> runCallback;
    std::function<void()> disconnectCallback;

    // Last: it goes first, so that no interrupt is asked for once the rest
    // starts to go.
    std::unique_ptr<SocketWatch> watch;
};

}  // namespace qor::format::engine::javascript

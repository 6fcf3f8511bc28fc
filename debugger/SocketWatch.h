#pragma once

// Watches the debugger's socket while the isolate's thread is busy with the
// host's work, so that a client's message is served without waiting for the
// host to look. The watching is a task on V8's platform (one of V8's worker
// threads waits in poll), not a thread of the library's own; all it does on
// readable data is call `onWaiting`, which asks the isolate's thread to come
// and read. The socket itself is only ever touched on the isolate's thread.

#include <v8-platform.h>

#include <functional>
#include <memory>

namespace qor::format::engine::javascript {

class SocketWatch {
public:
#ifdef _WIN32
    using Handle = unsigned long long;  // a SOCKET
#else
    using Handle = int;
#endif
    static constexpr Handle kNone = static_cast<Handle>(-1);

    // `onWaiting` runs on the worker thread, at most once per served(), and
    // never after the watch is destroyed.
    SocketWatch(v8::Platform* platform, std::function<void()> onWaiting);
    // Stops the task and waits until it no longer looks at any socket.
    ~SocketWatch();
    SocketWatch(const SocketWatch&) = delete;
    SocketWatch& operator=(const SocketWatch&) = delete;

    // What to watch from now on (kNone: nothing). Call it before the socket
    // it names is closed.
    void watch(Handle handle);

    // The isolate's thread has read what was waiting: watch for more. Until
    // then the watch does not look, so data not yet read does not call
    // `onWaiting` over and over.
    void served();

    struct State;

private:
    std::shared_ptr<State> state;
};

}  // namespace qor::format::engine::javascript

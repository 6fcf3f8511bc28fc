#pragma once

#include <qor/javascript/Export.h>

#include <v8-isolate.h>
#include <v8-platform.h>

#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

class DebugSession;
class V8Runtime;

// Runs a piece of the host's work under the Chrome DevTools inspector, served
// over one WebSocket connection on 127.0.0.1.
//
// Everything happens on the thread that owns the isolate: construct, call,
// and destroy it there with the isolate entered. The library starts no thread
// of its own. Once the host has called listen, a task on V8's platform
// watches the socket; when something arrives while the host's JavaScript
// runs, the isolate is interrupted and the messages are served there, on
// the isolate's thread, so the pause button and breakpoints set meanwhile
// take effect at once. Without listen, messages are read only in execute
// and during pauses. Network failures, and std::exceptions
// thrown by the host's own callbacks, are not thrown at the host: each is
// reported as one line "Error: <text>" on std::cerr (an orderly close by the
// client is not reported). Exceptions of other types pass through.
class V8Debugger {
public:
    // Creates V8's inspector for `isolate` and announces its current context,
    // the one DevTools will see. The isolate must be entered, with a context
    // entered (std::logic_error otherwise). `platform`
    // (V8Engine::getPlatform) runs V8's tasks while a script is paused; both
    // must outlive the debugger.
    QORJS_API V8Debugger(v8::Isolate* isolate, v8::Platform* platform);

    // Closes an open connection with close code 1000, waiting at most five
    // seconds for the client's answer. Throws nothing.
    QORJS_API ~V8Debugger();

    V8Debugger(const V8Debugger&) = delete;
    V8Debugger& operator=(const V8Debugger&) = delete;

    // Runs `run` under the debugger.
    //
    // Without a client connection, asks `beforeListen(port)` first (an empty
    // function counts as yes); on false `run` is called directly and nothing
    // is opened. Otherwise it listens on 127.0.0.1:`port`, accepts one client
    // (blocking, without a time-out), performs the WebSocket handshake (a
    // client that has not sent its whole upgrade request within five seconds
    // fails it) and hands each message to the inspector until the client sends
    // "Runtime.runIfWaitingForDebugger"; then `run` is called. With
    // `breakOnStart` the script pauses before the first statement `run`
    // executes.
    //
    // The connection outlives the call: a later execute reuses it without
    // asking `beforeListen`, and its `run` starts on the first JSON message.
    //
    // A client that goes away, fails the handshake or is refused (see
    // setAllowedOrigins) before the run ends the call without running `run`:
    // `onDisconnect` is called and a new listener opens next time. A listener
    // that cannot be opened (the port is in use) ends the call without a
    // client and without `onDisconnect`.
    //
    // After listen, execute neither asks `beforeListen` nor opens a listener
    // of its own: it waits on the lasting one, whose port stays. With
    // `breakOnStart`, a client that asks to run before enabling the Debugger
    // domain gets up to a second to enable it, so that the pause is not lost.
    QORJS_API void execute(bool breakOnStart,
                           std::function<void()> run,
                           std::function<bool(unsigned short)> beforeListen,
                           std::function<void()> onDisconnect,
                           unsigned short port);

    // Pauses the running script now, as if it had hit a breakpoint; the
    // client sees `reason` and `details` (a JSON object's text) in its
    // Debugger.paused event. Call it on the isolate's thread from inside the
    // running work, e.g. from a native function the script calls. Does
    // nothing while no client is connected.
    QORJS_API void breakProgram(std::string_view reason, std::string_view details);

    // Web page origins whose WebSocket connections are accepted besides the
    // DevTools frontend's own ("devtools://devtools"); "*" accepts every
    // origin. Clients that send no Origin (tools, not pages) are always
    // accepted. Without this, a page a browser has open could drive the
    // debugger, and a debugger session runs arbitrary code in the host.
    // Applies to handshakes made after the call.
    QORJS_API void setAllowedOrigins(std::vector<std::string> origins);

    // Called with the port each new listener is bound to, once it listens and
    // before any client is accepted; with port 0, the one the system chose.
    // This is the moment to tell clients where to connect: beforeListen comes
    // before the listener exists. Applies to listeners opened after the call.
    QORJS_API void setListeningCallback(std::function<void(unsigned short)> listening);

    // Serves the HTTP requests with which DevTools clients find a target
    // before they connect: GET /json/version, /json/list and /json, describing
    // one target with this `title` and `url` (e.g. the script's file: URL)
    // whose webSocketDebuggerUrl is ws://127.0.0.1:PORT/ID. /json/protocol
    // answers 404: clients use the protocol description they bring.
    //
    // Each such request is answered on its own connection, which is then
    // closed; nothing is printed, no callback is called, and the same listener
    // goes on accepting until a WebSocket client arrives. The Host and Origin
    // rules and the bound on the upgrade request apply to discovery requests
    // too, and any other request is handled as without discovery. Off until
    // this is called; applies to listeners opened after the call.
    QORJS_API void enableDiscovery(std::string title, std::string url);

    // Listens on 127.0.0.1:`port` (0: a port the system chooses) for as long
    // as the debugger lives, and returns the port; the listening callback is
    // called with it. A client may then attach at any time, leave, and
    // attach again, while the host works: it is accepted, and its messages
    // are served, when the host's JavaScript runs (by interrupt), when the
    // host calls serveWaitingMessages, during a pause, and in execute. One
    // client at a time; the next waits until it has gone. Discovery requests
    // are answered on the way, allowed or refused, and the listener stays.
    // Calling it again returns the same port. The reason when the port
    // cannot be had.
    QORJS_API std::expected<unsigned short, std::string> listen(unsigned short port);

    // Whether a client is connected now.
    QORJS_API bool hasClient() const;

    // Accepts a waiting client and serves every message that has arrived,
    // without waiting for more (a new client's handshake may take up to five
    // seconds). For a host whose own loop is idle: JavaScript that runs is
    // interrupted for this already. Does nothing when called from inside
    // the debugger's own work.
    QORJS_API void serveWaitingMessages();

    // Called when a client or a message is waiting, so that a host asleep in
    // its own loop can wake and call serveWaitingMessages on the isolate's
    // thread. It is called on one of V8's worker threads, at most once until
    // the waiting has been served, never after the debugger is destroyed;
    // it must not call the debugger.
    QORJS_API void setMessageWaitingCallback(std::function<void()> waiting);

    // Has `runtime`'s loop serve the debugger: what arrives while the loop
    // sleeps between timers is served by a task posted to it. The debugger
    // may be destroyed before the runtime.
    QORJS_API void serveInLoopOf(V8Runtime& runtime);

    // Serves the client until it leaves: for a host whose work is over and
    // whose client is still looking (taking a profile of the whole run, or
    // a heap snapshot of the final state). The client is told first that the
    // context's work is over (Runtime.executionContextDestroyed, as when a
    // page closes), and the context is announced again on return. Returns at
    // once without a client.
    QORJS_API void serveUntilDisconnected();

private:
    std::unique_ptr<DebugSession> session;
};

}  // namespace qor::format::engine::javascript

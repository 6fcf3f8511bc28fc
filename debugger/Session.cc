#include "debugger/Session.h"

#include <qor/javascript/V8Helper.h>

#include "debugger/ErrorLine.h"
#include "debugger/HandshakeRules.h"

#include <boost/beast/websocket/error.hpp>

#include <v8-context.h>
#include <v8-exception.h>
#include <v8-local-handle.h>

#include <chrono>

namespace qor::format::engine::javascript {

namespace {

// The request with which a DevTools client says it is ready for the run.
constexpr std::string_view kRunIfWaitingForDebugger = "Runtime.runIfWaitingForDebugger";

// How long a run that pauses on its first statement waits for the client to
// enable the Debugger domain after asking to run: clients often ask in that
// order, waiting for each answer, and a pause scheduled before the domain is
// on is lost.
constexpr std::chrono::seconds kDebuggerEnableWait{1};

bool closedByClient(const boost::system::system_error& failure)
{
    return failure.code() == boost::beast::websocket::error::closed;
}

}  // namespace

DebugSession::DebugSession(v8::Isolate* isolate, v8::Platform* platform)
    : isolate(isolate),
      transport(rules),
      inspectorClient(isolate, platform, *this),
      anchor(std::make_shared<Anchor>(Anchor{this})),
      waiting(std::make_shared<Waiting>()),
      watch(std::make_unique<SocketWatch>(platform, [this] { askForThread(); }))
{
    isolate->SetData(kDebuggerDataSlot, this);
}

DebugSession::~DebugSession()
{
    watch.reset();
    if (isolate->GetData(kDebuggerDataSlot) == this)
        isolate->SetData(kDebuggerDataSlot, nullptr);
    anchor->session = nullptr;
    transport.close();
}

// ---- The isolate's thread, asked for ----------------------------------------

void DebugSession::askForThread()
{
    // On the watch's thread. The interrupt runs inside the host's JavaScript
    // at its next check; a host whose own loop sleeps hears of it through
    // its callback instead.
    isolate->RequestInterrupt(&DebugSession::onInterrupt, nullptr);
    std::lock_guard<std::mutex> lock(waiting->mutex);
    if (waiting->callback)
        waiting->callback();
}

void DebugSession::onInterrupt(v8::Isolate* isolate, void*)
{
    // An interrupt cannot be taken back, and one asked for may run after the
    // session has gone (or never, if the isolate goes first): it finds the
    // isolate's session, if there is one, rather than holding a pointer.
    if (auto* session = static_cast<DebugSession*>(isolate->GetData(kDebuggerDataSlot)))
        session->serveWaiting();
}

void DebugSession::setWaitingCallback(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(waiting->mutex);
    waiting->callback = std::move(callback);
}

void DebugSession::serveInLoopOf(V8Runtime::Remote runtime)
{
    // The task may run after the session has gone: it finds it through the
    // anchor, on the runtime's thread, which is the isolate's.
    setWaitingCallback([runtime, anchor = anchor] {
        runtime.post([anchor](V8Runtime&) {
            if (DebugSession* session = anchor->session)
                session->serveWaiting();
        });
    });
}

void DebugSession::rewatch()
{
    // Serving while the host works is what listen asks for. A host that only
    // calls execute has its messages read where it always had: before the
    // run and during pauses, so that a later execute finds them.
    watch->watch(transport.listening() ? transport.watchedHandle() : SocketWatch::kNone);
    // While the isolate's thread waits on the socket itself, a watch that
    // woke for each message would only cost a thread's wake-up, an interrupt
    // and a posted task per message: it looks again once that wait is over.
    if (!readingHere)
        watch->served();
}

DebugSession::ReadingHere::ReadingHere(DebugSession& session) : session(session), was(session.readingHere)
{
    session.readingHere = true;
}

DebugSession::ReadingHere::~ReadingHere()
{
    session.readingHere = was;
    session.rewatch();
}

void DebugSession::pauseEnded()
{
    readingHere = false;
    rewatch();
}

void DebugSession::serveWaiting()
{
    // Inside a pause or a wait of execute, whoever reads already takes what
    // is waiting. Inside a dispatch (an evaluation's script is interrupted
    // too), what has arrived is served once the dispatch is over.
    if (inspectorClient.paused() || runCallback)
        return;
    if (serving) {
        servedMeanwhile = false;
        return;
    }
    serving = true;
    struct Done {
        bool& serving;
        ~Done() { serving = false; }
    } done{serving};
    do {
        servedMeanwhile = true;
        serveWaitingOnce();
    } while (!servedMeanwhile);
}

void DebugSession::serveWaitingOnce()
{
    std::vector<std::string> messages;
    try {
        if (!transport.connected() && transport.acceptWaitingClient())
            clientArrived();
        while (transport.connected()) {
            std::optional<std::string> message = transport.nextMessage(Transport::kNoWait);
            if (!message)
                break;
            messages.push_back(std::move(*message));
        }
    } catch (const RefusedHandshake& refused) {
        printErrorLine(refused.report());
    } catch (const boost::system::system_error& failure) {
        dispatchAll(messages);
        clientLeft(failure);
        return;
    } catch (const std::exception& error) {
        printErrorLine(error.what());
    }
    rewatch();
    dispatchAll(messages);
}

// ---- Sessions ----------------------------------------------------------------

void DebugSession::clientArrived()
{
    inspectorClient.connectSession();
    debuggerEnabled = false;
    rewatch();
}

void DebugSession::clientLeft(const boost::system::system_error& failure)
{
    transport.drop();
    inspectorClient.disconnectSession();
    rewatch();
    if (!closedByClient(failure))
        printErrorLine(failure.code().message());
}

std::expected<unsigned short, std::string> DebugSession::listen(unsigned short port)
{
    try {
        const unsigned short bound = transport.listen(port);
        rewatch();
        return bound;
    } catch (const boost::system::system_error& error) {
        return std::unexpected(error.code().message());
    }
}

void DebugSession::execute(bool breakOnStart,
                           std::function<void()> run,
                           std::function<bool(unsigned short)> beforeListen,
                           std::function<void()> onDisconnect,
                           unsigned short port)
{
    this->breakOnStart = breakOnStart;
    disconnectCallback = onDisconnect;
    alreadyConnected = transport.connected();
    try {
        if (!transport.connected()) {
            if (!transport.listening() && beforeListen && !beforeListen(port)) {
                if (run)
                    run();
                return;
            }
            transport.openListenerForOneClient(port);
        }
    } catch (const std::exception& error) {
        // No listener: no client came, so no disconnect either.
        printErrorLine(error.what());
        return;
    }
    runCallback = std::move(run);
    try {
        if (!transport.connected()) {
            transport.acceptClient();
            clientArrived();
        }
        waitForRun();
    } catch (const RefusedHandshake& refused) {
        printErrorLine(refused.report());
        if (disconnectCallback)
            disconnectCallback();
    } catch (const boost::system::system_error& failure) {
        clientLeft(failure);
        if (disconnectCallback)
            disconnectCallback();
    } catch (const std::exception& error) {
        // The host's own failure: the connection and the session stay.
        printErrorLine(error.what());
    }
    runCallback = nullptr;
}

void DebugSession::waitForRun()
{
    ReadingHere reading(*this);
    while (runCallback) {
        std::string message = *transport.nextMessage(Transport::kForever);
        rewatch();
        dispatch(message);
        const std::optional<std::string> method = methodOf(message);
        debuggerEnabled |= method == "Debugger.enable";
        // On a connection kept from an earlier execute any JSON message
        // starts the run; on a new one, only the request to run.
        if (!method || (!alreadyConnected && *method != kRunIfWaitingForDebugger))
            continue;
        if (breakOnStart && !alreadyConnected) {
            for (const auto until = std::chrono::steady_clock::now() + kDebuggerEnableWait; !debuggerEnabled;) {
                const auto left = until - std::chrono::steady_clock::now();
                if (left <= Transport::Duration::zero())
                    break;
                std::optional<std::string> next = transport.nextMessage(left);
                if (!next)
                    break;
                dispatch(*next);
                debuggerEnabled |= methodOf(*next) == "Debugger.enable";
            }
            if (v8_inspector::V8InspectorSession* session = inspectorClient.session())
                session->schedulePauseOnNextStatement(V8Helper::v8_inspectorStringView({}),
                                                      V8Helper::v8_inspectorStringView({}));
        }
        alreadyConnected = false;
        std::function<void()> run = std::exchange(runCallback, nullptr);
        readingHere = false;
        rewatch();
        run();
    }
}

std::optional<std::string> DebugSession::methodOf(std::string_view message)
{
    v8::HandleScope handleScope(isolate);
    // The host may call execute without a context entered; the message is
    // then read in the context the debugger announced.
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    if (context.IsEmpty())
        context = inspectorClient.announcedContext();
    v8::Context::Scope contextScope(context);
    // A message that is not JSON leaves V8's SyntaxError pending; it must not
    // reach the host's work.
    v8::TryCatch notJson(isolate);
    v8::Local<v8::Object> parsed = V8Helper::parseJson(context, std::string(message));
    if (parsed.IsEmpty())
        return std::nullopt;
    return V8Helper::getPropertyFromJson(isolate, parsed, "method");
}

// ---- Messages ----------------------------------------------------------------

void DebugSession::dispatch(std::string_view message)
{
    v8::HandleScope handleScope(isolate);
    if (v8_inspector::V8InspectorSession* session = inspectorClient.session())
        session->dispatchProtocolMessage(V8Helper::v8_inspectorStringView(message));
}

void DebugSession::dispatchAll(const std::vector<std::string>& messages)
{
    if (messages.empty())
        return;
    const bool wasServing = std::exchange(serving, true);
    transport.beginBatch();
    for (const std::string& message : messages)
        dispatch(message);
    serving = wasServing;
    try {
        transport.endBatch();
    } catch (const boost::system::system_error& failure) {
        if (!closedByClient(failure))
            printErrorLine(failure.code().message());
    }
}

std::vector<std::string> DebugSession::withWaiting(std::string first)
{
    std::vector<std::string> messages{std::move(first)};
    try {
        while (std::optional<std::string> next = transport.nextMessage(Transport::kNoWait))
            messages.push_back(std::move(*next));
    } catch (const boost::system::system_error&) {
        // Reported by the next read, after these are served.
    }
    return messages;
}

bool DebugSession::servePausedMessage()
{
    if (!transport.connected())
        return false;
    // Until pauseEnded.
    readingHere = true;
    try {
        std::string message = *transport.nextMessage(Transport::kForever);
        rewatch();
        dispatchAll(withWaiting(std::move(message)));
    } catch (const boost::system::system_error&) {
        // The pause loop ends the inspector session; the listener, if any,
        // takes the next client.
        transport.drop();
        rewatch();
        return false;
    }
    return true;
}

void DebugSession::serveUntilDisconnected()
{
    if (!transport.connected())
        return;
    // The client learns that the program is over, as it would from a page
    // that has closed, and can take what it came for and leave. The context
    // is announced again for later clients of the host.
    inspectorClient.announceContextEnd();
    struct AnnounceAgain {
        V8InspectorClientImpl& client;
        ~AnnounceAgain() { client.announceContext(); }
    } announceAgain{inspectorClient};
    ReadingHere reading(*this);
    while (transport.connected()) {
        try {
            std::string message = *transport.nextMessage(Transport::kForever);
            rewatch();
            dispatchAll(withWaiting(std::move(message)));
        } catch (const boost::system::system_error& failure) {
            clientLeft(failure);
        }
    }
}

void DebugSession::send(std::string message)
{
    if (!transport.connected())
        return;
    try {
        transport.write(message);
    } catch (const boost::system::system_error& error) {
        if (!closedByClient(error))
            printErrorLine(error.code().message());
    } catch (const std::exception& error) {
        printErrorLine(error.what());
    }
}

void DebugSession::breakProgram(std::string_view reason, std::string_view details)
{
    if (v8_inspector::V8InspectorSession* session = inspectorClient.session())
        session->breakProgram(V8Helper::v8_inspectorStringView(reason), V8Helper::v8_inspectorStringView(details));
}

}  // namespace qor::format::engine::javascript

// The session driver: when to listen, when to hand a message to the
// inspector, when the host's work runs, and what a failure ends.

#include <qor/javascript/V8Debugger.h>
#include <qor/javascript/V8Helper.h>

#include "debugger/DebugConnection.h"
#include "debugger/Discovery.h"
#include "debugger/ErrorLine.h"
#include "debugger/HandshakeRules.h"

#include <boost/beast/websocket/error.hpp>

#include <v8-context.h>
#include <v8-exception.h>
#include <v8-local-handle.h>

namespace qor::format::engine::javascript {

namespace {

// The request with which a DevTools client says it is ready for the run.
constexpr std::string_view kRunIfWaitingForDebugger = "Runtime.runIfWaitingForDebugger";

}  // namespace

V8Debugger::V8Debugger(v8::Isolate* isolate, v8::Platform* platform)
    : isolate(isolate), client(&inspectorClient), inspectorClient(isolate, platform, this)
{
}

V8Debugger::~V8Debugger()
{
    closeConnection();
}

void V8Debugger::setAllowedOrigins(std::vector<std::string> origins)
{
    allowedOrigins = std::move(origins);
}

void V8Debugger::setListeningCallback(std::function<void(unsigned short)> listening)
{
    listeningCallback = std::move(listening);
}

void V8Debugger::enableDiscovery(std::string title, std::string url)
{
    // One id for the debugger's life: a client that reads the list again
    // after a reconnect finds the same target.
    const std::string id = discovery ? discovery->id : newTargetId();
    discovery = std::make_unique<DiscoveryTarget>(DiscoveryTarget{id, std::move(title), std::move(url)});
}

void V8Debugger::execute(bool breakOnStart,
                         std::function<void()> run,
                         std::function<bool(unsigned short)> beforeListen,
                         std::function<void()> onDisconnect,
                         unsigned short port)
{
    try {
        this->breakOnStart = breakOnStart;
        runCallback = run;
        disconnectCallback = onDisconnect;
        if (!connection) {
            if (beforeListen && !beforeListen(port)) {
                if (runCallback)
                    runCallback();
                runCallback = nullptr;
                return;
            }
            connection = acceptClient(port);
        }
        runSession();
    } catch (const std::exception& error) {
        printErrorLine(error.what());
    }
}

void V8Debugger::runSession()
{
    try {
        alreadyConnected = isWebSocketOpen();
        if (!alreadyConnected)
            openWebSocket();
        while (runCallback) {
            // A failed write, or a client gone during a pause, may have
            // dropped the connection in a dispatch. Waiting on would wait for
            // nothing; where it was lost, it was reported already.
            if (!connection) {
                endSessionOnTransportFailure();
                return;
            }
            handleIncomingMessage();
        }
    } catch (const RefusedHandshake& refused) {
        endSessionOnTransportFailure();
        printErrorLine(refused.report());
    } catch (const boost::system::system_error& error) {
        endSessionOnTransportFailure();
        if (error.code() != boost::beast::websocket::error::closed)
            printErrorLine(error.code().message());
    } catch (const std::exception& error) {
        // The host's own failure: the connection and the session stay.
        printErrorLine(error.what());
    }
}

void V8Debugger::endSessionOnTransportFailure()
{
    dropConnection();
    client->disconnectSession();
    if (disconnectCallback)
        disconnectCallback();
}

void V8Debugger::dispatchToSession(std::string_view message)
{
    v8::HandleScope handleScope(isolate);
    if (v8_inspector::V8InspectorSession* session = client->session())
        session->dispatchProtocolMessage(V8Helper::v8_inspectorStringView(message));
}

bool V8Debugger::startsRun(const std::string& message)
{
    v8::HandleScope handleScope(isolate);
    // The host may call execute without a context entered; the message is
    // then read in the context the debugger announced.
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    if (context.IsEmpty())
        context = client->announcedContext();
    v8::Context::Scope contextScope(context);
    // A message that is not JSON leaves V8's SyntaxError pending; it must not
    // reach the host's work.
    v8::TryCatch notJson(isolate);
    v8::Local<v8::Object> parsed = V8Helper::parseJson(context, message);
    if (parsed.IsEmpty())
        return false;
    return alreadyConnected || V8Helper::getPropertyFromJson(isolate, parsed, "method") == kRunIfWaitingForDebugger;
}

void V8Debugger::handleIncomingMessage()
{
    const std::string message = readMessage();
    dispatchToSession(message);
    if (!runCallback || !startsRun(message))
        return;

    alreadyConnected = false;
    if (v8_inspector::V8InspectorSession* session = client->session(); session && breakOnStart)
        session->schedulePauseOnNextStatement(V8Helper::v8_inspectorStringView({}),
                                              V8Helper::v8_inspectorStringView({}));
    runCallback();
    runCallback = nullptr;
}

bool V8Debugger::processMessageWhilePaused()
{
    if (!connection)
        return false;
    if (!isWebSocketOpen()) {
        dropConnection();
        return false;
    }
    try {
        dispatchToSession(readMessage());
    } catch (const boost::system::system_error&) {
        dropConnection();
        return false;
    }
    return true;
}

void V8Debugger::breakProgram(std::string_view reason, std::string_view details)
{
    if (v8_inspector::V8InspectorSession* session = client->session())
        session->breakProgram(V8Helper::v8_inspectorStringView(reason), V8Helper::v8_inspectorStringView(details));
}

}  // namespace qor::format::engine::javascript

// The public face of the debugger; the work is DebugSession's.

#include <qor/javascript/V8Debugger.h>
#include <qor/javascript/V8Runtime.h>

#include "debugger/Discovery.h"
#include "debugger/Session.h"

namespace qor::format::engine::javascript {

V8Debugger::V8Debugger(v8::Isolate* isolate, v8::Platform* platform)
    : session(std::make_unique<DebugSession>(isolate, platform))
{
}

V8Debugger::~V8Debugger() = default;

void V8Debugger::setAllowedOrigins(std::vector<std::string> origins)
{
    session->rules.allowedOrigins = std::move(origins);
}

void V8Debugger::setListeningCallback(std::function<void(unsigned short)> listening)
{
    session->rules.listening = std::move(listening);
}

void V8Debugger::enableDiscovery(std::string title, std::string url)
{
    // One id for the debugger's life: a client that reads the list again
    // after a reconnect finds the same target.
    std::unique_ptr<DiscoveryTarget>& discovery = session->rules.discovery;
    const std::string id = discovery ? discovery->id : newTargetId();
    discovery = std::make_unique<DiscoveryTarget>(DiscoveryTarget{id, std::move(title), std::move(url)});
}

void V8Debugger::execute(bool breakOnStart,
                         std::function<void()> run,
                         std::function<bool(unsigned short)> beforeListen,
                         std::function<void()> onDisconnect,
                         unsigned short port)
{
    session->execute(breakOnStart, std::move(run), std::move(beforeListen), std::move(onDisconnect), port);
}

void V8Debugger::breakProgram(std::string_view reason, std::string_view details)
{
    session->breakProgram(reason, details);
}

std::expected<unsigned short, std::string> V8Debugger::listen(unsigned short port)
{
    return session->listen(port);
}

bool V8Debugger::hasClient() const
{
    return session->hasClient();
}

void V8Debugger::serveWaitingMessages()
{
    session->serveWaiting();
}

void V8Debugger::setMessageWaitingCallback(std::function<void()> waiting)
{
    session->setWaitingCallback(std::move(waiting));
}

void V8Debugger::serveInLoopOf(V8Runtime& runtime)
{
    session->serveInLoopOf(runtime.remote());
}

void V8Debugger::serveUntilDisconnected()
{
    session->serveUntilDisconnected();
}

}  // namespace qor::format::engine::javascript

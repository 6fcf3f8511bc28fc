#include "debugger/InspectorClient.h"

#include <qor/javascript/V8Helper.h>

#include "debugger/ErrorLine.h"
#include "debugger/Utf8.h"
#include "engine/Limits.h"

#include <libplatform/libplatform.h>
#include <v8-context.h>
#include <v8-local-handle.h>

#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>

namespace qor::format::engine::javascript {

// ---- Channel -----------------------------------------------------------------

V8InspectorChannel::V8InspectorChannel(InspectorLink& link) : link(link) {}

void V8InspectorChannel::sendResponse(int, std::unique_ptr<v8_inspector::StringBuffer> message)
{
    link.send(utf8Of(message->string()));
}

void V8InspectorChannel::sendNotification(std::unique_ptr<v8_inspector::StringBuffer> message)
{
    link.send(utf8Of(message->string()));
}

void V8InspectorChannel::flushProtocolNotifications() {}

// ---- Client ------------------------------------------------------------------

V8InspectorClientImpl::V8InspectorClientImpl(v8::Isolate* isolate, v8::Platform* platform, InspectorLink& link)
    : isolate(isolate), platform(platform), channel(link), link(link)
{
    v8::HandleScope handleScope(isolate);
    v8::Local<v8::Context> current = isolate->GetCurrentContext();
    if (current.IsEmpty())
        throw std::logic_error("V8Debugger needs a context entered on its isolate when it is constructed");
    context.Reset(isolate, current);
    inspector = v8_inspector::V8Inspector::create(isolate, this);
    announceContext();
}

void V8InspectorClientImpl::announceContext()
{
    v8::HandleScope handleScope(isolate);
    v8_inspector::V8ContextInfo info(announcedContext(), kContextGroupId, V8Helper::v8_inspectorStringView({}));
    // DevTools frontends pick the context marked so as the page's main one,
    // the one their console evaluates in.
    info.auxData = V8Helper::v8_inspectorStringView(R"({"isDefault":true})");
    inspector->contextCreated(info);
}

void V8InspectorClientImpl::announceContextEnd()
{
    v8::HandleScope handleScope(isolate);
    inspector->contextDestroyed(announcedContext());
}

V8InspectorClientImpl::~V8InspectorClientImpl()
{
    // The session belongs to the inspector and may still call the channel
    // while it shuts down, so it goes first.
    currentSession.reset();
    inspector.reset();
}

void V8InspectorClientImpl::connectSession()
{
    std::unique_ptr<v8_inspector::V8InspectorSession> fresh =
        inspector->connect(kContextGroupId, &channel, V8Helper::v8_inspectorStringView({}));
    currentSession = std::move(fresh);
}

void V8InspectorClientImpl::disconnectSession()
{
    currentSession.reset();
}

void V8InspectorClientImpl::runMessageLoopOnPause(int)
{
    if (inPauseLoop)
        return;
    quitRequested = false;
    inPauseLoop = true;
    struct LeaveLoop {
        bool& inPauseLoop;
        InspectorLink& link;
        ~LeaveLoop()
        {
            inPauseLoop = false;
            link.pauseEnded();
        }
    } leaveLoop{inPauseLoop, link};
    // A user stepping through a script is not racing its time limit.
    PausedTime paused(isolate);

    while (true) {
        // This runs inside V8's frames: no exception may leave it. A failure
        // other than the transport's (which ends the loop below) is reported
        // and the loop goes on with the next message.
        try {
            if (!link.servePausedMessage()) {
                quitRequested = true;
                disconnectSession();
            }
        } catch (const std::exception& error) {
            printErrorLine(error.what());
        }
        while (v8::platform::PumpMessageLoop(platform, isolate, v8::platform::MessageLoopBehavior::kDoNotWait))
            ;
        if (quitRequested)
            break;
    }
}

void V8InspectorClientImpl::quitMessageLoopOnPause()
{
    quitRequested = true;
}

v8::Local<v8::Context> V8InspectorClientImpl::ensureDefaultContextInGroup(int contextGroupId)
{
    if (contextGroupId != kContextGroupId)
        return {};
    return announcedContext();
}

double V8InspectorClientImpl::currentTimeMS()
{
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(sinceEpoch).count();
}

}  // namespace qor::format::engine::javascript

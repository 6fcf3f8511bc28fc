#include "Jobs.h"

#include <qor/javascript/V8Engine.h>

#include <libplatform/libplatform.h>

namespace qorjs {

// A task can queue promise jobs and a promise job can post tasks, so the two
// take turns until neither has anything left.

// The checkpoints go through the library, so that the run's limits watch
// the jobs too.

namespace js = qor::format::engine::javascript;

std::optional<js::Error> runPendingJobs(v8::Isolate* isolate, v8::Platform* platform)
{
    do
        if (auto done = js::V8Engine::performMicrotaskCheckpoint(isolate); !done)
            return std::move(done.error());
    while (v8::platform::PumpMessageLoop(platform, isolate));
    return std::nullopt;
}

namespace {

// The isolate's data slot that points to the tracker while it lives.
constexpr std::uint32_t kRejectionsSlot = 0;

}  // namespace

UnhandledRejections::UnhandledRejections(v8::Isolate* isolate) : isolate(isolate)
{
    isolate->SetData(kRejectionsSlot, this);
    isolate->SetPromiseRejectCallback(&UnhandledRejections::track);
}

UnhandledRejections::~UnhandledRejections()
{
    isolate->SetPromiseRejectCallback(nullptr);
    isolate->SetData(kRejectionsSlot, nullptr);
}

std::optional<v8::Local<v8::Value>> UnhandledRejections::first() const
{
    if (rejected.empty())
        return std::nullopt;
    return rejected.front().second.Get(isolate);
}

void UnhandledRejections::track(v8::PromiseRejectMessage message)
{
    v8::Isolate* isolate = message.GetPromise()->GetIsolate();
    auto* self = static_cast<UnhandledRejections*>(isolate->GetData(kRejectionsSlot));
    if (self == nullptr)
        return;
    switch (message.GetEvent()) {
    case v8::kPromiseRejectWithNoHandler:
        self->rejected.emplace_back(v8::Global<v8::Promise>(isolate, message.GetPromise()),
                                    v8::Global<v8::Value>(isolate, message.GetValue()));
        break;
    case v8::kPromiseHandlerAddedAfterReject:
        std::erase_if(self->rejected, [&](const auto& entry) { return entry.first == message.GetPromise(); });
        break;
    default:
        break;
    }
}

}  // namespace qorjs

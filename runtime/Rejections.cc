#include "runtime/Rejections.h"

#include "runtime/Records.h"
#include "runtime/RuntimeState.h"

namespace qor::format::engine::javascript {

Rejections::Rejections(v8::Isolate* isolate, std::function<bool(const Error&)> handler)
    : isolate(isolate), handler(std::move(handler))
{
    isolate->SetPromiseRejectCallback(&Rejections::track);
}

Rejections::~Rejections()
{
    isolate->SetPromiseRejectCallback(nullptr);
}

std::optional<Error> Rejections::check()
{
    while (!rejected.empty()) {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Value> reason = rejected.front().second.Get(isolate);
        rejected.erase(rejected.begin());
        Error record = recordOfValue(isolate, reason);
        bool goOn = false;
        if (handler) {
            // The host's code: an exception from it fails the run as a
            // "no" would, rather than unwinding through the loop.
            try {
                goOn = handler(record);
            } catch (...) {
                goOn = false;
            }
        }
        if (!goOn)
            return record;
    }
    return std::nullopt;
}

void Rejections::forget(v8::Local<v8::Promise> promise)
{
    std::erase_if(rejected, [&](const auto& entry) { return entry.first == promise; });
}

void Rejections::track(v8::PromiseRejectMessage message)
{
    v8::Local<v8::Promise> promise = message.GetPromise();
    V8Runtime::State* state = runtimeStateOf(promise->GetIsolate());
    if (state == nullptr || !state->rejections)
        return;
    Rejections& self = *state->rejections;
    switch (message.GetEvent()) {
    case v8::kPromiseRejectWithNoHandler:
        self.rejected.emplace_back(v8::Global<v8::Promise>(self.isolate, promise),
                                   v8::Global<v8::Value>(self.isolate, message.GetValue()));
        break;
    case v8::kPromiseHandlerAddedAfterReject:
        self.forget(promise);
        break;
    default:
        break;
    }
}

}  // namespace qor::format::engine::javascript

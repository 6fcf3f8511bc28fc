#pragma once

// Promises rejected without a handler, kept until the turn that made them has
// run its promise jobs: a handler attached meanwhile takes one off the list.

#include <qor/javascript/Error.h>

#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-promise.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace qor::format::engine::javascript {

class Rejections {
public:
    // Tracks the rejections of `isolate`, whose runtime state it is part of;
    // `handler` is the host's (Settings::onUnhandledRejection).
    Rejections(v8::Isolate* isolate, std::function<bool(const Error&)> handler);
    ~Rejections();
    Rejections(const Rejections&) = delete;
    Rejections& operator=(const Rejections&) = delete;

    // Takes the rejections kept so far, first to last, to the handler: the
    // record of the first one it does not let go (every one, without a
    // handler). Reported rejections are forgotten. In an entered context.
    std::optional<Error> check();

    // Forgets `promise`: its rejection is somebody's business after all.
    void forget(v8::Local<v8::Promise> promise);

    // V8's callback, set on the isolate while this lives.
    static void track(v8::PromiseRejectMessage message);

private:
    v8::Isolate* isolate;
    std::function<bool(const Error&)> handler;
    std::vector<std::pair<v8::Global<v8::Promise>, v8::Global<v8::Value>>> rejected;
};

}  // namespace qor::format::engine::javascript

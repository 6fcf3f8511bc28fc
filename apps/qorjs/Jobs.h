#pragma once

#include <qor/javascript/Error.h>

#include <v8-isolate.h>
#include <v8-platform.h>
#include <v8-persistent-handle.h>
#include <v8-promise.h>

#include <optional>
#include <utility>
#include <vector>

namespace qorjs {

// Runs the promise jobs that are due and the tasks V8 posted to the platform
// (the isolate has no event loop of its own) until none is left. The record
// of a limit that stopped them, if one did.
std::optional<qor::format::engine::javascript::Error> runPendingJobs(v8::Isolate* isolate, v8::Platform* platform);

// Keeps the promises rejected without a handler while it lives, so that a
// program which ends with one can be reported as failed. A handler attached
// later (before the program ends) takes the promise off the list.
class UnhandledRejections {
public:
    explicit UnhandledRejections(v8::Isolate* isolate);
    ~UnhandledRejections();
    UnhandledRejections(const UnhandledRejections&) = delete;
    UnhandledRejections& operator=(const UnhandledRejections&) = delete;

    // The reason of the first promise still rejected without a handler.
    std::optional<v8::Local<v8::Value>> first() const;

    // Forgets the promises kept so far (once they have been reported).
    void clear() { rejected.clear(); }

private:
    static void track(v8::PromiseRejectMessage message);

    v8::Isolate* isolate;
    std::vector<std::pair<v8::Global<v8::Promise>, v8::Global<v8::Value>>> rejected;
};

}  // namespace qorjs

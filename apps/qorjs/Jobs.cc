#include "Jobs.h"

#include <libplatform/libplatform.h>

namespace qorjs {

// A task can queue promise jobs and a promise job can post tasks, so the two
// take turns until neither has anything left.

void runPendingJobs(v8::Isolate* isolate, v8::Platform* platform)
{
    do
        isolate->PerformMicrotaskCheckpoint();
    while (v8::platform::PumpMessageLoop(platform, isolate));
}

v8::Promise::PromiseState settle(v8::Isolate* isolate, v8::Platform* platform, v8::Local<v8::Promise> promise)
{
    isolate->PerformMicrotaskCheckpoint();
    while (promise->State() == v8::Promise::kPending && v8::platform::PumpMessageLoop(platform, isolate))
        isolate->PerformMicrotaskCheckpoint();
    return promise->State();
}

}  // namespace qorjs

#pragma once

#include <v8-isolate.h>
#include <v8-platform.h>
#include <v8-promise.h>

namespace qorjs {

// Runs the promise jobs that are due and the tasks V8 posted to the platform
// (the isolate has no event loop of its own) until none is left.
void runPendingJobs(v8::Isolate* isolate, v8::Platform* platform);

// Runs jobs and tasks until `promise` is settled or nothing is left to run,
// and returns its state then: kPending means it waits for something that
// will never happen (there are no timers or I/O in qorjs).
v8::Promise::PromiseState settle(v8::Isolate* isolate, v8::Platform* platform, v8::Local<v8::Promise> promise);

}  // namespace qorjs

#pragma once

#include <v8-context.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>
#include <v8-persistent-handle.h>
#include <v8-platform.h>

#include <memory>

namespace qorjs::fuzz {

// V8, started once through the library, and one isolate with one context,
// entered on the fuzzing thread for the life of the process. Each input runs
// in a handle scope of its own and leaves nothing behind in the context.
class FuzzIsolate {
public:
    static FuzzIsolate& get();

    v8::Isolate* isolate() const { return isolateHandle; }
    v8::Local<v8::Context> context() const { return contextHandle.Get(isolateHandle); }
    v8::Platform* platform() const { return platformHandle; }

    // Runs the tasks V8 posted for this thread (garbage collection among
    // them), so that they do not pile up from one input to the next.
    void runPendingTasks();

private:
    FuzzIsolate();

    std::unique_ptr<v8::ArrayBuffer::Allocator> allocator;
    v8::Platform* platformHandle = nullptr;
    v8::Isolate* isolateHandle = nullptr;
    v8::Global<v8::Context> contextHandle;
};

}  // namespace qorjs::fuzz

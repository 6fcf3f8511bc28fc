#pragma once

#include <qor/javascript/V8Engine.h>

#include <libplatform/libplatform.h>
#include <v8-array-buffer.h>
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
    // Never destroyed: libFuzzer leaves through exit(), and tearing V8 down
    // from an exit handler would race its worker threads.
    static FuzzIsolate& get()
    {
        static FuzzIsolate* instance = new FuzzIsolate();
        return *instance;
    }

    v8::Local<v8::Context> context() const { return contextHandle.Get(isolate); }

    // Runs the tasks V8 posted for this thread (garbage collection among
    // them), so that they do not pile up from one input to the next.
    void runPendingTasks()
    {
        while (v8::platform::PumpMessageLoop(platform, isolate)) {
        }
    }

    v8::Platform* const platform = qor::format::engine::javascript::V8Engine::get().getPlatform();
    v8::Isolate* isolate = nullptr;

private:
    FuzzIsolate()
    {
        v8::Isolate::CreateParams params;
        params.array_buffer_allocator = allocator.get();
        isolate = v8::Isolate::New(params);
        isolate->Enter();
        v8::HandleScope scope(isolate);
        v8::Local<v8::Context> context = v8::Context::New(isolate);
        context->Enter();
        contextHandle.Reset(isolate, context);
    }

    const std::unique_ptr<v8::ArrayBuffer::Allocator> allocator{v8::ArrayBuffer::Allocator::NewDefaultAllocator()};
    v8::Global<v8::Context> contextHandle;
};

}  // namespace qorjs::fuzz

#pragma once

#include <qor/javascript/V8Engine.h>

#include <libplatform/libplatform.h>
#include <v8-array-buffer.h>
#include <v8-context.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>

namespace qorjs::fuzz {

namespace js = qor::format::engine::javascript;

// V8, started once through the library, and one isolate with one context,
// entered on the fuzzing thread for the life of the process (the isolate
// keeps the context it has entered alive). Never disposed: libFuzzer leaves
// through exit(), and tearing V8 down from an exit handler would race its
// worker threads.
inline v8::Isolate* fuzzIsolate()
{
    static v8::Isolate* const isolate = [] {
        js::V8Engine::get();
        v8::Isolate::CreateParams params;
        params.array_buffer_allocator = v8::ArrayBuffer::Allocator::NewDefaultAllocator();
        v8::Isolate* created = v8::Isolate::New(params);
        created->Enter();
        v8::HandleScope scope(created);
        v8::Context::New(created)->Enter();
        return created;
    }();
    return isolate;
}

// Runs one input: body(isolate, context) in a handle scope of its own, so
// that it leaves nothing behind, then the tasks V8 posted for this thread
// (garbage collection among them), so that they do not pile up from one input
// to the next.
template <typename Body>
void runInput(Body body)
{
    v8::Isolate* isolate = fuzzIsolate();
    {
        v8::HandleScope scope(isolate);
        body(isolate, isolate->GetCurrentContext());
    }
    while (v8::platform::PumpMessageLoop(js::V8Engine::get().getPlatform(), isolate)) {
    }
}

}  // namespace qorjs::fuzz

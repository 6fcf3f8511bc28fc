#include "support/FuzzIsolate.h"

#include <qor/javascript/V8Engine.h>

#include <libplatform/libplatform.h>
#include <v8-array-buffer.h>

namespace qorjs::fuzz {

FuzzIsolate& FuzzIsolate::get()
{
    // Never destroyed: libFuzzer leaves through exit(), and tearing V8 down
    // from an exit handler would race its worker threads.
    static FuzzIsolate* instance = new FuzzIsolate();
    return *instance;
}

FuzzIsolate::FuzzIsolate()
{
    platformHandle = qor::format::engine::javascript::V8Engine::get().getPlatform();
    allocator.reset(v8::ArrayBuffer::Allocator::NewDefaultAllocator());
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = allocator.get();
    isolateHandle = v8::Isolate::New(params);
    isolateHandle->Enter();
    v8::HandleScope scope(isolateHandle);
    v8::Local<v8::Context> context = v8::Context::New(isolateHandle);
    context->Enter();
    contextHandle.Reset(isolateHandle, context);
}

void FuzzIsolate::runPendingTasks()
{
    while (v8::platform::PumpMessageLoop(platformHandle, isolateHandle))
        ;
}

}  // namespace qorjs::fuzz

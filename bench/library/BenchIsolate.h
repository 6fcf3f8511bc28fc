#pragma once

// The one isolate and context that every benchmark of the process runs in,
// library call and raw floor alike, with the script they call into already
// run: functions f0 and f3, the same under app.lib, thrower, and an object
// `hundred` with 100 properties.

#include <v8-array-buffer.h>
#include <v8-context.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>

#include <memory>

namespace qorjs::bench {

class BenchIsolate {
public:
    // Starts nothing of V8's own: the engine is running already.
    BenchIsolate();
    ~BenchIsolate();
    BenchIsolate(const BenchIsolate&) = delete;
    BenchIsolate& operator=(const BenchIsolate&) = delete;

    // The live instance; there is exactly one while benchmarks run.
    static BenchIsolate& current();

    v8::Isolate* isolate() const { return isolateHandle; }
    // The entered context; call with a HandleScope open.
    v8::Local<v8::Context> context() const { return contextHandle.Get(isolateHandle); }

private:
    std::unique_ptr<v8::ArrayBuffer::Allocator> allocator;
    v8::Isolate* isolateHandle = nullptr;
    v8::Global<v8::Context> contextHandle;
};

}  // namespace qorjs::bench

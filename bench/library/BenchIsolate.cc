#include "BenchIsolate.h"

#include <v8-local-handle.h>
#include <v8-primitive.h>
#include <v8-script.h>

#include <stdexcept>

namespace qorjs::bench {

namespace {

BenchIsolate* live = nullptr;

constexpr const char* kSetupScript = R"js(
function f0() { return 1; }
function f3(a, b, c) { return a + b + c; }
var app = { lib: { f0: f0, f3: f3 } };
function thrower() { throw new Error("benchmark failure"); }
var hundred = {};
for (let i = 0; i < 100; i++) hundred["property" + i] = i;
)js";

}  // namespace

BenchIsolate::BenchIsolate() : allocator(v8::ArrayBuffer::Allocator::NewDefaultAllocator())
{
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = allocator.get();
    isolateHandle = v8::Isolate::New(params);
    isolateHandle->Enter();

    v8::HandleScope scope(isolateHandle);
    v8::Local<v8::Context> created = v8::Context::New(isolateHandle);
    created->Enter();
    contextHandle.Reset(isolateHandle, created);

    v8::Local<v8::String> code = v8::String::NewFromUtf8(isolateHandle, kSetupScript).ToLocalChecked();
    v8::Local<v8::Script> script;
    if (!v8::Script::Compile(created, code).ToLocal(&script) || script->Run(created).IsEmpty())
        throw std::runtime_error("the benchmarks' setup script failed");
    live = this;
}

BenchIsolate::~BenchIsolate()
{
    live = nullptr;
    {
        v8::HandleScope scope(isolateHandle);
        context()->Exit();
    }
    contextHandle.Reset();
    isolateHandle->Exit();
    isolateHandle->Dispose();
}

BenchIsolate& BenchIsolate::current()
{
    return *live;
}

}  // namespace qorjs::bench

// V8Error::get on a caught exception against reading the same pieces by hand.

#include "BenchIsolate.h"
#include "Pairs.h"
#include "RawSteps.h"

#include <qor/javascript/Error.h>

namespace qorjs::bench {

namespace {

namespace js = qor::format::engine::javascript;

// Calls thrower(), whose Error has a message, a position and a stack trace,
// and runs `body` with the v8::TryCatch that caught it.
template <class Body>
void withCaughtError(benchmark::State& state, Body body)
{
    v8::Isolate* isolate = BenchIsolate::current().isolate();
    v8::HandleScope outer(isolate);
    v8::Local<v8::Context> context = BenchIsolate::current().context();
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Function> thrower;
    if (raw::function(context, context->Global(), "thrower").ToLocal(&thrower))
        benchmark::DoNotOptimize(thrower->Call(context, v8::Undefined(isolate), 0, nullptr));
    if (!tryCatch.HasCaught()) {
        state.SkipWithError("nothing was caught");
        return;
    }
    body(isolate, tryCatch);
}

void libraryGet(benchmark::State& state)
{
    withCaughtError(state, [&state](v8::Isolate* isolate, const v8::TryCatch& tryCatch) {
        for (auto _ : state) {
            js::Error error = js::V8Error::get(js::Error::Type::Runtime, isolate, tryCatch);
            benchmark::DoNotOptimize(error);
        }
    });
}

void rawGet(benchmark::State& state)
{
    withCaughtError(state, [&state](v8::Isolate* isolate, const v8::TryCatch& tryCatch) {
        for (auto _ : state) {
            js::Error error = raw::caught(js::Error::Type::Runtime, isolate, tryCatch);
            benchmark::DoNotOptimize(error);
        }
    });
}

const bool registered = registerPair("V8Error::get/caught exception", libraryGet, rawGet);

}  // namespace

}  // namespace qorjs::bench

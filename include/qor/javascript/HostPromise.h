#pragma once

// A JavaScript promise that the host settles later, from any thread.

#include <qor/javascript/HostFunctions.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace qor::format::engine::javascript {

namespace binding {

// What a HostPromise's copies share: the promise's number in its runtime,
// the runtime's Remote, and the KeepAlive held until it is settled.
class PromiseCore;

// The value to settle with, made on the runtime's thread.
using SettleWith = std::function<std::expected<v8::Local<v8::Value>, std::string>(v8::Local<v8::Context>)>;

// A pending promise in `runtime`, which keeps its loop waiting until settled.
QORJS_API std::shared_ptr<PromiseCore> newPromise(V8Runtime& runtime);

// Settles it, on the runtime's thread, the next time its loop runs: resolved
// with what `value` makes (a refusal rejects it with a TypeError), or
// rejected with an Error whose message is `message`. False when it was
// settled already or its runtime is gone.
QORJS_API bool resolvePromise(PromiseCore& core, SettleWith value);
QORJS_API bool rejectPromise(PromiseCore& core, std::string message);

// The promise, in the caller's handle scope; empty once settled and gone.
QORJS_API v8::Local<v8::Promise> promiseOf(const PromiseCore& core, v8::Local<v8::Context> context);

}  // namespace binding

// A promise the host settles later from any thread, with a T converted
// as a result is (see Conversion), or with an error. Make it on the
// runtime's thread (a host function that takes V8Runtime& can) and return
// it, or expose it: JavaScript sees a promise. Until it is settled the
// runtime's loop waits for it, as for a KeepAlive. Copies share it; the last
// copy to go, unsettled, rejects it ("the host dropped the promise without
// settling it"). Settling after the runtime is gone does nothing.
//
//   expose(runtime, "host.later", [pool](V8Runtime& runtime, int n) {
//       HostPromise<int> promise(runtime);
//       pool.run([promise, n] { promise.resolve(n * 2); });
//       return promise;
//   });
template <class T = void>
class HostPromise {
public:
    explicit HostPromise(V8Runtime& runtime) : core(binding::newPromise(runtime)) {}

    // Fulfils it with `value`. False when it was settled already or the
    // runtime is gone. Thread-safe.
    template <class U = T>
        requires(!std::is_void_v<U>)
    bool resolve(U value) const
    {
        auto held = std::make_shared<T>(std::move(value));
        return binding::resolvePromise(*core, [held](v8::Local<v8::Context> context) {
            return toValue(context, *held);
        });
    }
    template <class U = T>
        requires std::is_void_v<U>
    bool resolve() const
    {
        return binding::resolvePromise(*core, [](v8::Local<v8::Context> context) {
            return std::expected<v8::Local<v8::Value>, std::string>(v8::Undefined(context->GetIsolate()));
        });
    }

    // Rejects it with an Error whose message is `message`. Thread-safe.
    bool reject(std::string message) const { return binding::rejectPromise(*core, std::move(message)); }

private:
    friend struct Conversion<HostPromise<T>>;
    std::shared_ptr<binding::PromiseCore> core;
};

// A host promise is its JavaScript promise.
template <class T>
struct Conversion<HostPromise<T>> {
    using Held = HostPromise<T>;
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const HostPromise<T>& value)
    {
        v8::Local<v8::Promise> promise = binding::promiseOf(*value.core, context);
        if (promise.IsEmpty())
            return std::unexpected(std::string("the host promise is no longer known to its runtime"));
        return promise.template As<v8::Value>();
    }
};

}  // namespace qor::format::engine::javascript

// Host promises: the resolver stays on the runtime's thread, in its
// bindings, under a number; the host's copies hold the number, the
// runtime's Remote and a KeepAlive, and settle by posting a task.

#include <qor/javascript/HostPromise.h>
#include <qor/javascript/V8Helper.h>

#include "binding/Bindings.h"

#include <v8-exception.h>

#include <mutex>

namespace qor::format::engine::javascript::binding {

class PromiseCore {
public:
    PromiseCore(V8Runtime::Remote remote, V8Runtime::KeepAlive keepAlive, std::uint64_t number)
        : remote(std::move(remote)), keepAlive(std::move(keepAlive)), number(number)
    {
    }

    // Nothing may wait forever for a promise no copy can settle any more.
    ~PromiseCore() { rejectPromise(*this, "the host dropped the promise without settling it"); }

    // Posts `settle` once, to run with the promise's resolver on the
    // runtime's thread; false when settled already or the runtime is gone.
    bool settleWith(std::function<void(V8Runtime&, v8::Local<v8::Promise::Resolver>)> settle)
    {
        V8Runtime::KeepAlive held;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (settled)
                return false;
            settled = true;
            held = std::move(keepAlive);
        }
        // Posted before the KeepAlive goes, so that a waiting loop cannot
        // find itself with nothing left in between.
        return remote.post([promise = number, settle = std::move(settle)](V8Runtime& runtime) {
            v8::Local<v8::Promise::Resolver> resolver = bindingsOf(runtime).takePromise(promise);
            if (!resolver.IsEmpty())
                settle(runtime, resolver);
        });
    }

    V8Runtime::Remote remote;
    V8Runtime::KeepAlive keepAlive;
    const std::uint64_t number;
    std::mutex mutex;
    bool settled = false;
};

std::shared_ptr<PromiseCore> newPromise(V8Runtime& runtime)
{
    CallScope<> scope(runtime);
    v8::Local<v8::Promise::Resolver> resolver = v8::Promise::Resolver::New(runtime.context()).ToLocalChecked();
    const std::uint64_t number = bindingsOf(runtime).addPromise(resolver);
    return std::make_shared<PromiseCore>(runtime.remote(), runtime.remote().keepAlive(), number);
}

bool resolvePromise(PromiseCore& core, SettleWith value)
{
    return core.settleWith([value = std::move(value)](V8Runtime& runtime, v8::Local<v8::Promise::Resolver> resolver) {
        v8::Local<v8::Context> context = runtime.context();
        auto made = value(context);
        v8::Maybe<bool> done =
            made ? resolver->Resolve(context, *made)
                 : resolver->Reject(context, v8::Exception::TypeError(V8Helper::v8_string(
                                                 "the host's result: " + made.error(), runtime.isolate())));
        (void)done;
    });
}

bool rejectPromise(PromiseCore& core, std::string message)
{
    return core.settleWith([message = std::move(message)](V8Runtime& runtime, v8::Local<v8::Promise::Resolver> resolver) {
        v8::Maybe<bool> done = resolver->Reject(runtime.context(),
                                                v8::Exception::Error(V8Helper::v8_string(message, runtime.isolate())));
        (void)done;
    });
}

v8::Local<v8::Promise> promiseOf(const PromiseCore& core, v8::Local<v8::Context> context)
{
    V8Runtime* runtime = runtimeOf(context->GetIsolate());
    if (runtime == nullptr)
        return {};
    v8::Local<v8::Promise::Resolver> resolver = bindingsOf(*runtime).promise(core.number);
    if (resolver.IsEmpty())
        return {};
    return resolver->GetPromise();
}

}  // namespace qor::format::engine::javascript::binding

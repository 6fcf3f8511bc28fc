#pragma once

// What a runtime keeps for the host's bindings: callables and class
// descriptions, the JavaScript values C++ holds, the objects JavaScript owns,
// and the promises the host will settle. Made on first use; a runtime whose
// host binds nothing has none.

#include <qor/javascript/HostFunctions.h>

#include <v8-persistent-handle.h>
#include <v8-promise.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace qor::format::engine::javascript {

class HostBindings {
public:
    explicit HostBindings(V8Runtime& runtime) : runtime(runtime) {}

    // What the runtime does before its isolate goes, inside it: every cell
    // emptied, every object JavaScript owns deleted, every pending promise
    // forgotten. What was kept stays until this object goes, after the
    // isolate: nothing can call it any more by then.
    void release();

    void keep(std::unique_ptr<binding::Kept> kept);
    std::shared_ptr<binding::Cell> cell(v8::Local<v8::Value> value);
    void adopt(v8::Local<v8::Object> instance, void* object, void (*destroy)(void*));

    // Pending promises by number; numbers are never reused.
    std::uint64_t addPromise(v8::Local<v8::Promise::Resolver> resolver);
    v8::Local<v8::Promise::Resolver> promise(std::uint64_t number) const;
    v8::Local<v8::Promise::Resolver> takePromise(std::uint64_t number);

    V8Runtime& runtime;

private:
    struct Adopted {
        v8::Global<v8::Object> instance;
        void* object;
        void (*destroy)(void*);
        HostBindings* owner;
    };
    static void collected(const v8::WeakCallbackInfo<Adopted>& info);
    static void destroyCollected(const v8::WeakCallbackInfo<Adopted>& info);

    std::vector<std::unique_ptr<binding::Kept>> kept;
    std::vector<std::weak_ptr<binding::Cell>> cells;
    std::size_t cellsAtLastSweep = 0;
    std::unordered_map<Adopted*, std::unique_ptr<Adopted>> adopted;
    std::unordered_map<std::uint64_t, v8::Global<v8::Promise::Resolver>> promises;
    std::uint64_t lastPromise = 0;
};

// The runtime's bindings, made on first use.
HostBindings& bindingsOf(V8Runtime& runtime);

}  // namespace qor::format::engine::javascript

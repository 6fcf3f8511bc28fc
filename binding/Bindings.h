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
#include <string>
#include <string_view>
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

    // Pending promises by number. Numbers are unique in the process, not
    // just in the runtime: a HostPromise shown in another runtime finds
    // nothing there rather than one of that runtime's own promises.
    std::uint64_t addPromise(v8::Local<v8::Promise::Resolver> resolver);
    v8::Local<v8::Promise::Resolver> promise(std::uint64_t number) const;
    v8::Local<v8::Promise::Resolver> takePromise(std::uint64_t number);

    V8Runtime& runtime;

    // ---- Functions found by number ------------------------------------------
    // In a runtime that makes a snapshot, or was restored from one, a host
    // function carries a number rather than the address of what it calls,
    // and one library callback finds that by number: the snapshot then holds
    // no address of the host's, and a restored runtime reconnects each number
    // to what the host exposes again under the same name.

    // Numbers host functions from now on; `held` are the names a snapshot
    // holds, by number, none of them exposed again yet.
    void numberFunctions(std::vector<std::string> held);
    bool byNumber() const { return numbering; }
    // The number of the function named `name` that calls `kept`: the first
    // held one of that name (a path exposed twice holds two) not yet exposed
    // again, else a new number.
    std::uint32_t number(std::string_view name, binding::Kept* kept);
    // The names by number, and those held but not exposed again.
    const std::vector<std::string>& numberedNames() const { return names; }
    std::vector<std::string> notExposedAgain() const;
    // The classes the host made, which a snapshot cannot hold.
    std::vector<std::string> classNames;
    static void callByNumber(const v8::FunctionCallbackInfo<v8::Value>& info);

private:
    bool numbering = false;
    std::vector<std::string> names;
    std::vector<binding::Kept*> numbered;

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
};

// The runtime's bindings, made on first use.
HostBindings& bindingsOf(V8Runtime& runtime);

// The library callbacks of the bindings, which a startup snapshot must know.
void addBindingReferences(std::vector<std::intptr_t>& table);

}  // namespace qor::format::engine::javascript

#include "binding/Bindings.h"

#include "runtime/RuntimeState.h"

#include <qor/javascript/HostClass.h>

#include <algorithm>
#include <atomic>

namespace qor::format::engine::javascript {

HostBindings& bindingsOf(V8Runtime& runtime)
{
    V8Runtime::State* state = runtimeStateOf(runtime.isolate());
    if (!state->bindings) {
        state->bindings = std::make_unique<HostBindings>(runtime);
        if (state->numberedBindings)
            state->bindings->numberFunctions({});
    }
    return *state->bindings;
}

void HostBindings::release()
{
    for (const std::weak_ptr<binding::Cell>& weak : cells) {
        if (std::shared_ptr<binding::Cell> cell = weak.lock()) {
            cell->value.Reset();
            cell->runtime = nullptr;
        }
    }
    cells.clear();
    for (auto& [address, record] : adopted) {
        record->instance.Reset();
        record->destroy(record->object);
    }
    adopted.clear();
    promises.clear();
    for (const std::unique_ptr<binding::Kept>& each : kept)
        each->release();
}

void HostBindings::numberFunctions(std::vector<std::string> held)
{
    numbering = true;
    names = std::move(held);
    numbered.assign(names.size(), nullptr);
}

namespace {

// Whether `held`, a name a snapshot holds, is `name` or `name` with the mark
// of its own that number() gave it when the name was taken already
// ("host.f#2").
bool heldAs(std::string_view held, std::string_view name)
{
    if (!held.starts_with(name))
        return false;
    held.remove_prefix(name.size());
    return held.empty() ||
           (held.size() > 1 && held[0] == '#' && held.find_first_not_of("0123456789", 1) == std::string_view::npos);
}

}  // namespace

std::uint32_t HostBindings::number(std::string_view name, binding::Kept* what)
{
    // Held ones of a name are numbered in the order the builder exposed
    // them: exposing a path again fills the next one of its name (the host
    // cannot expose "host.f#2", only "host.f" a second time).
    for (std::size_t at = 0; at < names.size(); ++at) {
        if (numbered[at] == nullptr && heldAs(names[at], name)) {
            numbered[at] = what;
            return static_cast<std::uint32_t>(at);
        }
    }
    // A name taken already (a path exposed twice, or the name every function
    // converted from a std::function shares) gets a mark of its own, so that
    // each number still has a name to be exposed again under.
    std::string unique(name);
    for (int copy = 2; std::find(names.begin(), names.end(), unique) != names.end(); ++copy)
        unique = std::string(name) + "#" + std::to_string(copy);
    names.push_back(std::move(unique));
    numbered.push_back(what);
    return static_cast<std::uint32_t>(names.size() - 1);
}

std::vector<std::string> HostBindings::notExposedAgain() const
{
    std::vector<std::string> missing;
    for (std::size_t at = 0; at < names.size(); ++at)
        if (numbered[at] == nullptr)
            missing.push_back(names[at]);
    return missing;
}

void HostBindings::callByNumber(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    V8Runtime::State* state = runtimeStateOf(isolate);
    const std::uint32_t at = info.Data().As<v8::Uint32>()->Value();
    HostBindings* bindings = state != nullptr ? state->bindings.get() : nullptr;
    if (bindings == nullptr || at >= bindings->numbered.size()) {
        binding::throwError(isolate, "this host function is gone: its runtime has ended");
        return;
    }
    if (binding::Kept* what = bindings->numbered[at]) {
        what->call(info);
        return;
    }
    binding::throwError(isolate, bindings->names[at] +
                                     " is a host function the snapshot holds, but the host did not expose it again");
}

void addBindingReferences(std::vector<std::intptr_t>& table)
{
    table.push_back(reinterpret_cast<std::intptr_t>(&HostBindings::callByNumber));
}

void HostBindings::keep(std::unique_ptr<binding::Kept> what)
{
    kept.push_back(std::move(what));
}

std::shared_ptr<binding::Cell> HostBindings::cell(v8::Local<v8::Value> value)
{
    // Cells the host let go of are swept whenever the list has doubled, so
    // that it stays within twice what is alive.
    if (cells.size() >= 2 * cellsAtLastSweep + 16) {
        std::erase_if(cells, [](const std::weak_ptr<binding::Cell>& weak) { return weak.expired(); });
        cellsAtLastSweep = cells.size();
    }
    auto made = std::make_shared<binding::Cell>();
    made->value.Reset(runtime.isolate(), value);
    made->runtime = &runtime;
    cells.push_back(made);
    return made;
}

void HostBindings::adopt(v8::Local<v8::Object> instance, void* object, void (*destroy)(void*))
{
    instance->SetAlignedPointerInInternalField(0, object);
    auto record = std::make_unique<Adopted>();
    Adopted* address = record.get();
    record->instance.Reset(runtime.isolate(), instance);
    record->object = object;
    record->destroy = destroy;
    record->owner = this;
    record->instance.SetWeak(address, &HostBindings::collected, v8::WeakCallbackType::kParameter);
    adopted.emplace(address, std::move(record));
}

// The first pass may only let go of the handle; the object is deleted in
// the second, where the host's destructor may do what it likes.
void HostBindings::collected(const v8::WeakCallbackInfo<Adopted>& info)
{
    info.GetParameter()->instance.Reset();
    info.SetSecondPassCallback(&HostBindings::destroyCollected);
}

void HostBindings::destroyCollected(const v8::WeakCallbackInfo<Adopted>& info)
{
    Adopted* record = info.GetParameter();
    HostBindings* owner = record->owner;
    auto found = owner->adopted.find(record);
    if (found == owner->adopted.end())
        return;
    std::unique_ptr<Adopted> gone = std::move(found->second);
    owner->adopted.erase(found);
    gone->destroy(gone->object);
}

std::uint64_t HostBindings::addPromise(v8::Local<v8::Promise::Resolver> resolver)
{
    static std::atomic<std::uint64_t> lastPromise{0};
    const std::uint64_t number = ++lastPromise;
    promises.emplace(number, v8::Global<v8::Promise::Resolver>(runtime.isolate(), resolver));
    return number;
}

v8::Local<v8::Promise::Resolver> HostBindings::promise(std::uint64_t number) const
{
    auto found = promises.find(number);
    if (found == promises.end())
        return {};
    return found->second.Get(runtime.isolate());
}

v8::Local<v8::Promise::Resolver> HostBindings::takePromise(std::uint64_t number)
{
    auto found = promises.find(number);
    if (found == promises.end())
        return {};
    v8::Local<v8::Promise::Resolver> resolver = found->second.Get(runtime.isolate());
    promises.erase(found);
    return resolver;
}

// ---- What the public templates call ------------------------------------------

namespace binding {

void keep(V8Runtime& runtime, std::unique_ptr<Kept> kept)
{
    bindingsOf(runtime).keep(std::move(kept));
}

V8Runtime* runtimeOf(v8::Isolate* isolate)
{
    V8Runtime::State* state = runtimeStateOf(isolate);
    return state == nullptr ? nullptr : state->owner;
}

std::shared_ptr<Cell> cell(V8Runtime& runtime, v8::Local<v8::Value> value)
{
    return bindingsOf(runtime).cell(value);
}

void adopt(V8Runtime& runtime, v8::Local<v8::Object> instance, void* object, void (*destroy)(void*))
{
    bindingsOf(runtime).adopt(instance, object, destroy);
}

}  // namespace binding

}  // namespace qor::format::engine::javascript

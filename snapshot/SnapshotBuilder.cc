#include "snapshot/Contents.h"

#include "binding/Bindings.h"
#include "runtime/Records.h"
#include "runtime/RuntimeState.h"

#include <v8-script.h>

#include <mutex>

namespace qor::format::engine::javascript {

namespace {

// "a, b and c"
std::string listed(const std::vector<std::string>& names)
{
    std::string text;
    for (std::size_t at = 0; at < names.size(); ++at) {
        if (at > 0)
            text += at + 1 == names.size() ? " and " : ", ";
        text += names[at];
    }
    return text;
}

// What in the runtime's state a snapshot cannot hold; none when it can.
std::optional<std::string> inTheWay(V8Runtime& runtime, V8Runtime::State& state)
{
    if (state.bindings && !state.bindings->classNames.empty())
        return "it holds host classes (" + listed(state.bindings->classNames) +
               "), whose objects point into the host: a snapshot can hold host functions only";
    if (state.loader->loadedAny())
        return std::string("it holds ES modules, which a snapshot cannot: build its state with classic scripts");
    if (runtime.nextTimerDue())
        return std::string("timers are set: clear them, or let them run (runLoop) before the snapshot is made");
    std::lock_guard<std::mutex> lock(state.shared->mutex);
    if (!state.shared->tasks.empty())
        return std::string("tasks posted to the runtime have not run yet: run the loop first");
    if (state.shared->keepAlives > 0)
        return std::string("the host still holds a KeepAlive (an unsettled HostPromise holds one): "
                           "finish that work before the snapshot is made");
    return std::nullopt;
}

// Called by V8 for each internal field that holds something other than a
// JavaScript value: a pointer into the host, which a snapshot cannot carry.
// The library's own objects hold none, so any is refused, after V8 is done.
// An empty field is no pointer: this V8 gives every ArrayBuffer and typed
// array embedder fields of their own, left empty, and those are data a
// snapshot holds as any other.
v8::StartupData refuseInternalField(v8::Local<v8::Object> holder, int index, void* seen)
{
    if (holder->GetAlignedPointerFromInternalField(index) != nullptr)
        *static_cast<bool*>(seen) = true;
    return {nullptr, 0};
}

}  // namespace

std::unique_ptr<V8Runtime> SnapshotAccess::makeForSnapshot(V8Runtime::Settings settings)
{
    V8Runtime::Making making;
    making.forSnapshot = true;
    return std::unique_ptr<V8Runtime>(new V8Runtime(std::move(settings), making));
}

std::unique_ptr<V8Runtime> SnapshotAccess::makeFrom(std::shared_ptr<const StartupSnapshot::Contents> contents,
                                                    V8Runtime::Settings settings)
{
    V8Runtime::Making making;
    making.from = std::move(contents);
    return std::unique_ptr<V8Runtime>(new V8Runtime(std::move(settings), making));
}

SnapshotBuilder::SnapshotBuilder(V8Runtime::Settings settings)
    : made(SnapshotAccess::makeForSnapshot(std::move(settings)))
{
}

SnapshotBuilder::~SnapshotBuilder() = default;

V8Runtime& SnapshotBuilder::runtime()
{
    if (!made)
        throw std::logic_error("SnapshotBuilder::runtime: the snapshot was built, and its runtime is gone");
    return *made;
}

std::expected<StartupSnapshot, Error> SnapshotBuilder::build()
{
    if (!made)
        return std::unexpected(recordOfText("the snapshot was built already: a SnapshotBuilder builds one"));
    // Whatever happens, the runtime goes with this call: V8 allows one
    // snapshot per isolate, and none of it is usable after.
    std::unique_ptr<V8Runtime> runtime = std::move(made);
    V8Runtime::State& state = SnapshotAccess::stateOf(*runtime);
    if (auto why = inTheWay(*runtime, state))
        return std::unexpected(recordOfText("cannot make a snapshot of this runtime: " + *why));

    std::vector<std::string> hostFunctions;
    if (state.bindings)
        hostFunctions = state.bindings->numberedNames();

    v8::Isolate* isolate = state.isolate;
    bool pointerSeen = false;
    v8::StartupData blob{nullptr, 0};
    {
        v8::Isolate::Scope isolateScope(isolate);
        {
            v8::HandleScope handleScope(isolate);
            v8::Local<v8::Context> context = state.context.Get(isolate);
            // What the runtime holds of the context goes first: a snapshot
            // is made of what the context holds, not of the host's handles.
            {
                v8::Context::Scope contextScope(context);
                if (state.bindings)
                    state.bindings->release();
                state.console.reset();
                state.loader.reset();
                state.loop.reset();
                state.rejections.reset();
            }
            state.context.Reset();
            state.creator->SetDefaultContext(context,
                                             v8::SerializeInternalFieldsCallback(&refuseInternalField, &pointerSeen));
        }
        // Code is kept: a restored runtime then runs what the state's
        // functions had compiled without compiling it again.
        blob = state.creator->CreateBlob(v8::SnapshotCreator::FunctionCodeHandling::kKeep);
    }
    runtime.reset();
    std::unique_ptr<const char[]> owned(blob.data);
    if (pointerSeen)
        return std::unexpected(recordOfText("cannot make a snapshot of this runtime: an object in it holds a pointer "
                                            "into the host (made with an internal field)"));
    if (blob.data == nullptr || blob.raw_size <= 0)
        return std::unexpected(recordOfText("cannot make a snapshot of this runtime: V8 made none"));
    return wrapSnapshot(blob, hostFunctions);
}

std::expected<std::unique_ptr<V8Runtime>, Error> restoreRuntime(const StartupSnapshot& snapshot,
                                                                V8Runtime::Settings settings,
                                                                const std::function<void(V8Runtime&)>& exposeAgain)
{
    if (!snapshot.contents())
        return std::unexpected(recordOfText("restoreRuntime: the snapshot is empty"));
    startEngineForRuntimes();
    if (snapshot.contents()->v8Tag != v8::ScriptCompiler::CachedDataVersionTag())
        return std::unexpected(recordOfText("not a usable startup snapshot: it was made with other V8 flags; "
                                            "make it again"));
    std::unique_ptr<V8Runtime> runtime = SnapshotAccess::makeFrom(snapshot.contents(), std::move(settings));
    if (exposeAgain)
        exposeAgain(*runtime);
    std::vector<std::string> missing = bindingsOf(*runtime).notExposedAgain();
    if (!missing.empty())
        return std::unexpected(recordOfText("cannot restore the snapshot: it holds host functions that were not "
                                            "exposed again: " + listed(missing)));
    return runtime;
}

}  // namespace qor::format::engine::javascript

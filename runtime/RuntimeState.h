#pragma once

// What a V8Runtime is made of, in the order it is made; destroyed in reverse.

#include <qor/javascript/StartupSnapshot.h>
#include <qor/javascript/V8Runtime.h>

#include "binding/Bindings.h"
#include "runtime/Console.h"
#include "runtime/Loop.h"
#include "runtime/ModuleLoader.h"
#include "runtime/Rejections.h"

#include <v8-persistent-handle.h>
#include <v8-snapshot.h>

#include <cstdint>
#include <memory>
#include <optional>

namespace qor::format::engine::javascript {

class V8Engine;

// The isolate's data slot through which V8's callbacks (rejections, import(),
// import.meta, the module resolver) find the runtime.
constexpr std::uint32_t kRuntimeDataSlot = 2;

struct V8Runtime::Making {
    // Made through a v8::SnapshotCreator, which then owns the isolate.
    bool forSnapshot = false;
    // Restored from these snapshot contents, when set.
    std::shared_ptr<const StartupSnapshot::Contents> from;
};

struct V8Runtime::State {
    ~State();

    // runModule and its kin: loads `url` (from `code` when given), evaluates
    // it and waits for it.
    std::expected<v8::Local<v8::Object>, Error> runModule(const std::string& url, const std::string* code);
    // Waits, running the loop, until `promise` has settled or nothing is left
    // that could settle it; the loop's failure meanwhile.
    std::expected<void, Error> settle(v8::Local<v8::Promise> promise);
    // The promise jobs after a call from the host; none while the call runs
    // inside a step (a native function called back into the runtime).
    std::expected<void, Error> afterStep();

    V8Runtime* owner = nullptr;
    V8Limits::ArrayBufferAllocator allocator;
    // For a runtime that makes a snapshot: what made its isolate, and
    // disposes of it.
    std::unique_ptr<v8::SnapshotCreator> creator;
    // For a restored runtime: the snapshot, which V8 reads from for as long
    // as the isolate lives (each new context is restored from it).
    std::shared_ptr<const StartupSnapshot::Contents> restoredFrom;
    v8::StartupData blob{nullptr, 0};
    v8::Isolate* isolate = nullptr;
    std::optional<V8Limits> limits;
    v8::Global<v8::Context> context;
    std::shared_ptr<V8Runtime::Shared> shared = std::make_shared<V8Runtime::Shared>();
    std::shared_ptr<CompileCache> compileCache;
    std::unique_ptr<Rejections> rejections;
    std::unique_ptr<Loop> loop;
    std::unique_ptr<ModuleLoader> loader;
    std::unique_ptr<Console> console;
    // Made on the host's first binding; what it kept goes after the isolate.
    std::unique_ptr<HostBindings> bindings;
    // Host functions are found by number (see HostBindings): the runtime
    // makes a snapshot or was restored from one.
    bool numberedBindings = false;
};

// Starts V8 as a runtime needs it, if it is not running yet: with the flags
// a runtime's modules need, which V8 reads only as it starts.
V8Engine& startEngineForRuntimes();

inline V8Runtime::State* runtimeStateOf(v8::Isolate* isolate)
{
    return static_cast<V8Runtime::State*>(isolate->GetData(kRuntimeDataSlot));
}

}  // namespace qor::format::engine::javascript

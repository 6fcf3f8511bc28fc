#include "runtime/RuntimeState.h"

#include "runtime/Calls.h"
#include "runtime/Inspect.h"
#include "runtime/Records.h"

#include "engine/Limits.h"
#include "engine/Running.h"
#include "script/ClassicScript.h"
#include "snapshot/Contents.h"

#include <qor/javascript/V8Engine.h>

#include <v8-initialization.h>

#include <deque>
#include <filesystem>

namespace qor::format::engine::javascript {

// ---- State ------------------------------------------------------------------------

// Torn down in reverse, inside the isolate, before the isolate goes; parts
// never made (a constructor that threw) are skipped.
V8Runtime::State::~State()
{
    if (isolate == nullptr)
        return;
    {
        v8::Isolate::Scope isolateScope(isolate);
        v8::HandleScope handleScope(isolate);
        std::optional<v8::Context::Scope> contextScope;
        if (!context.IsEmpty())
            contextScope.emplace(context.Get(isolate));
        if (bindings)
            bindings->release();
        console.reset();
        loader.reset();
        loop.reset();
        rejections.reset();
    }
    {
        v8::Isolate::Scope isolateScope(isolate);
        context.Reset();
        limits.reset();
        isolate->SetData(kRuntimeDataSlot, nullptr);
    }
    if (creator)
        creator.reset();
    else
        isolate->Dispose();
}

std::expected<v8::Local<v8::Object>, Error> V8Runtime::State::runModule(const std::string& url, const std::string* code)
{
    v8::Isolate::Scope isolateScope(isolate);
    v8::Local<v8::Context> here = context.Get(isolate);
    v8::Context::Scope contextScope(here);

    auto module = loader->load(here, url, code);
    if (!module)
        return std::unexpected(std::move(module.error()));
    v8::Local<v8::Promise> evaluated;
    {
        // One step, watched as a whole: the evaluation's own run is nested
        // in it, so that a stop comes back here as a record.
        Loop::Step step(*loop);
        LimitedRun run(isolate);
        v8::TryCatch tryCatch(isolate);
        const bool started = loader->evaluate(here, *module).ToLocal(&evaluated);
        if (auto stop = run.end(tryCatch.HasTerminated())) {
            loop->dropTimers();
            return std::unexpected(recordOfStop(*stop));
        }
        if (!started)
            return std::unexpected(recordOf(Error::Type::Runtime, isolate, tryCatch));
    }
    auto settled = settle(evaluated);
    loader->saveCaches();
    if (!settled)
        return std::unexpected(std::move(settled.error()));
    switch (evaluated->State()) {
    case v8::Promise::kFulfilled:
        return (*module)->GetModuleNamespace().As<v8::Object>();
    case v8::Promise::kRejected:
        return std::unexpected(recordOfValue(isolate, evaluated->Result()));
    case v8::Promise::kPending:
        break;
    }
    return std::unexpected(recordOfText("the top-level await of " + ModuleLoader::displayName(url) +
                                        " never finished: nothing left to run can settle what it waits for"));
}

std::expected<void, Error> V8Runtime::State::settle(v8::Local<v8::Promise> promise)
{
    // Waited for, so handled: its rejection is the caller's result, not an
    // unhandled one.
    promise->MarkAsHandled();
    rejections->forget(promise);
    if (promise->State() != v8::Promise::kPending)
        return {};
    return loop->run(Loop::Until::Settled, promise);
}

std::expected<void, Error> V8Runtime::State::afterStep()
{
    if (loop->nested())
        return {};
    return loop->runJobs();
}

// ---- V8Runtime ----------------------------------------------------------------------

V8Engine& startEngineForRuntimes()
{
    // V8 10.2 parses `assert { type: "json" }` only behind this flag, which
    // it reads as it starts.
    if (!engineIsRunning())
        v8::V8::SetFlagsFromString("--harmony-import-assertions");
    return V8Engine::get();
}

V8Runtime::V8Runtime(Settings settings) : V8Runtime(std::move(settings), Making{}) {}

V8Runtime::V8Runtime(Settings settings, const Making& making) : state(std::make_unique<State>())
{
    state->owner = this;
    V8Engine& engine = startEngineForRuntimes();

    v8::Isolate* isolate = nullptr;
    if (making.forSnapshot) {
        // The creator makes the isolate, with an allocator of its own, and
        // keeps it entered on this thread until it goes.
        state->creator = std::make_unique<v8::SnapshotCreator>(snapshotReferences());
        isolate = state->isolate = state->creator->GetIsolate();
        state->numberedBindings = true;
    } else {
        v8::Isolate::CreateParams params;
        params.array_buffer_allocator = &state->allocator;
        if (making.from) {
            state->restoredFrom = making.from;
            state->blob = snapshotBlobOf(*making.from);
            params.snapshot_blob = &state->blob;
            params.external_references = snapshotReferences();
            state->numberedBindings = true;
        }
        isolate = state->isolate = v8::Isolate::New(params);
    }
    isolate->SetFatalErrorHandler(V8Engine::fatalError);
    isolate->SetOOMErrorHandler(V8Engine::oomeError);
    isolate->SetAbortOnUncaughtExceptionCallback(V8Engine::abortOnUncaughtException);
    isolate->SetEventLogger(V8Engine::logEvent);
    isolate->SetData(kRuntimeDataSlot, state.get());

    v8::Isolate::Scope isolateScope(isolate);
    v8::HandleScope handleScope(isolate);
    // Always there, so that a runaway allocation ends with a record at V8's
    // own heap limit rather than with the process.
    state->limits.emplace(isolate, engine.getPlatform(), settings.limits, &state->allocator);
    state->shared->limits = &*state->limits;
    v8::Local<v8::Context> context = v8::Context::New(isolate);
    state->context.Reset(isolate, context);
    v8::Context::Scope contextScope(context);

    ModuleSource modules = fileModules();
    if (settings.modules.resolve)
        modules.resolve = std::move(settings.modules.resolve);
    if (settings.modules.load)
        modules.load = std::move(settings.modules.load);
    state->rejections = std::make_unique<Rejections>(isolate, std::move(settings.onUnhandledRejection));
    state->loop = std::make_unique<Loop>(*this, state->shared, *state->rejections, settings.timers);
    state->compileCache = settings.compileCache;
    state->loader = std::make_unique<ModuleLoader>(isolate, std::move(modules), std::move(settings.compileCache));
    if (settings.console)
        state->console = std::make_unique<Console>(context, std::move(settings.consoleSink));
    if (making.from)
        bindingsOf(*this).numberFunctions(making.from->hostFunctions);
}

V8Runtime::V8Runtime() : V8Runtime(Settings{}) {}

V8Runtime::~V8Runtime()
{
    // Tasks still queued are dropped unrun, here on the runtime's thread and
    // before the isolate goes, whatever they hold.
    std::deque<std::function<void(V8Runtime&)>> unrun;
    {
        std::lock_guard<std::mutex> lock(state->shared->mutex);
        state->shared->open = false;
        state->shared->limits = nullptr;
        unrun.swap(state->shared->tasks);
        state->shared->queued.store(0, std::memory_order_relaxed);
    }
    state->shared->wake.notify_all();
    unrun.clear();
    state.reset();
}

v8::Isolate* V8Runtime::isolate() const
{
    return state->isolate;
}

v8::Local<v8::Context> V8Runtime::context() const
{
    return state->context.Get(state->isolate);
}

V8Limits& V8Runtime::limits()
{
    return *state->limits;
}

V8Runtime::Remote V8Runtime::remote() const
{
    Remote remote;
    remote.shared = state->shared;
    return remote;
}

std::expected<v8::Local<v8::Value>, Error> V8Runtime::runScript(const Source& source)
{
    v8::Isolate::Scope isolateScope(state->isolate);
    v8::Context::Scope contextScope(context());
    std::expected<v8::Local<v8::Value>, Error> result;
    {
        // Watched as one step around the script's own run, so that a stop is
        // told apart from a script that threw the same words.
        Loop::Step step(*state->loop);
        LimitedRun run(state->isolate);
        // A runtime that makes a snapshot compiles its scripts whole: the
        // snapshot then holds the code of every function, and a restored
        // runtime compiles none of them again.
        result = runClassicScript(state->isolate, source, recordOf, state->compileCache.get(),
                                  state->creator != nullptr);
        if (auto stop = run.end()) {
            state->loop->dropTimers();
            return std::unexpected(recordOfStop(*stop));
        }
    }
    if (auto jobs = state->afterStep(); !jobs)
        return std::unexpected(std::move(jobs.error()));
    state->loader->saveCaches();
    return result;
}

std::expected<v8::Local<v8::Object>, Error> V8Runtime::runModule(std::string_view url)
{
    return state->runModule(std::string(url), nullptr);
}

std::expected<v8::Local<v8::Object>, Error> V8Runtime::runModuleFile(const std::filesystem::path& file)
{
    std::error_code error;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(file, error), error);
    const std::string url = fileUrlFromPath((error || canonical.empty() ? file : canonical).string());
    if (state->loader->knows(url))
        return state->runModule(url, nullptr);
    auto text = fileModules().load(url);
    if (!text)
        return std::unexpected(recordOfText("cannot load " + file.string() + ": " + text.error()));
    return state->runModule(url, &*text);
}

std::expected<v8::Local<v8::Object>, Error> V8Runtime::runModuleText(std::string_view code, std::string_view url)
{
    const std::string text(code);
    return state->runModule(std::string(url), &text);
}

std::expected<v8::Local<v8::Value>, Error> V8Runtime::call(v8::Local<v8::Function> function,
                                                           const std::vector<v8::Local<v8::Value>>& arguments,
                                                           v8::Local<v8::Value> receiver)
{
    v8::Isolate::Scope isolateScope(state->isolate);
    v8::Local<v8::Context> here = context();
    v8::Context::Scope contextScope(here);
    bool stopped = false;
    std::expected<v8::Local<v8::Value>, Error> result = [&] {
        Loop::Step step(*state->loop);
        return callUnderLimits(state->isolate, here, function, receiver, arguments, &stopped);
    }();
    if (stopped)
        state->loop->dropTimers();
    if (auto jobs = state->afterStep(); !jobs)
        return std::unexpected(std::move(jobs.error()));
    return result;
}

std::expected<v8::Local<v8::Value>, Error> V8Runtime::call(std::string_view path,
                                                           const std::vector<v8::Local<v8::Value>>& arguments)
{
    v8::Isolate::Scope isolateScope(state->isolate);
    v8::Local<v8::Context> here = context();
    v8::Context::Scope contextScope(here);
    bool found = false;
    bool stopped = false;
    std::expected<v8::Local<v8::Value>, Error> result = [&] {
        Loop::Step step(*state->loop);
        return callPathUnderLimits(state->isolate, here, path, arguments, &found, &stopped);
    }();
    if (stopped)
        state->loop->dropTimers();
    // A path that leads to no function called nothing: its failure comes back
    // without a turn of promise jobs.
    if (!found)
        return result;
    if (auto jobs = state->afterStep(); !jobs)
        return std::unexpected(std::move(jobs.error()));
    return result;
}

std::expected<v8::Local<v8::Value>, Error> V8Runtime::await(v8::Local<v8::Value> value)
{
    if (value.IsEmpty() || !value->IsPromise())
        return value;
    v8::Isolate::Scope isolateScope(state->isolate);
    v8::Context::Scope contextScope(context());
    v8::Local<v8::Promise> promise = value.As<v8::Promise>();
    if (auto settled = state->settle(promise); !settled)
        return std::unexpected(std::move(settled.error()));
    switch (promise->State()) {
    case v8::Promise::kFulfilled:
        return promise->Result();
    case v8::Promise::kRejected:
        return std::unexpected(recordOfValue(state->isolate, promise->Result()));
    case v8::Promise::kPending:
        break;
    }
    return std::unexpected(recordOfText("the promise never settled: nothing left to run can settle it"));
}

std::expected<void, Error> V8Runtime::runLoop()
{
    v8::Isolate::Scope isolateScope(state->isolate);
    v8::HandleScope handleScope(state->isolate);
    v8::Context::Scope contextScope(context());
    return state->loop->run(Loop::Until::Idle);
}

std::expected<void, Error> V8Runtime::runReady()
{
    v8::Isolate::Scope isolateScope(state->isolate);
    v8::HandleScope handleScope(state->isolate);
    v8::Context::Scope contextScope(context());
    return state->loop->run(Loop::Until::Ready);
}

std::optional<std::chrono::steady_clock::time_point> V8Runtime::nextTimerDue() const
{
    return state->loop->nextDeadline();
}

std::string V8Runtime::inspect(v8::Local<v8::Value> value)
{
    v8::Isolate::Scope isolateScope(state->isolate);
    return inspectValue(context(), value);
}

// ---- Scope, KeepAlive, Remote ------------------------------------------------------

V8Runtime::Scope::Scope(V8Runtime& runtime)
    : isolateScope(runtime.isolate()), handleScope(runtime.isolate()), contextScope(runtime.context())
{
}

V8Runtime::Scope::~Scope() = default;

V8Runtime::KeepAlive::KeepAlive(KeepAlive&& other) noexcept : shared(std::move(other.shared)) {}

V8Runtime::KeepAlive& V8Runtime::KeepAlive::operator=(KeepAlive&& other) noexcept
{
    if (this != &other) {
        release();
        shared = std::move(other.shared);
    }
    return *this;
}

V8Runtime::KeepAlive::~KeepAlive()
{
    release();
}

void V8Runtime::KeepAlive::release()
{
    if (!shared)
        return;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        --shared->keepAlives;
    }
    shared->wake.notify_all();
    shared.reset();
}

bool V8Runtime::Remote::post(std::function<void(V8Runtime&)> task) const
{
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (!shared->open)
            return false;
        shared->tasks.push_back(std::move(task));
        shared->queued.store(shared->tasks.size(), std::memory_order_relaxed);
    }
    shared->wake.notify_all();
    return true;
}

V8Runtime::KeepAlive V8Runtime::Remote::keepAlive() const
{
    KeepAlive alive;
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->open) {
        ++shared->keepAlives;
        alive.shared = shared;
    }
    return alive;
}

void V8Runtime::Remote::terminate() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->limits != nullptr)
        shared->limits->terminate();
}

}  // namespace qor::format::engine::javascript

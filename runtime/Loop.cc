#include "runtime/Loop.h"

#include "runtime/Calls.h"
#include "runtime/Records.h"
#include "runtime/Rejections.h"
#include "runtime/RuntimeState.h"

#include "engine/Limits.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include <libplatform/libplatform.h>
#include <v8-container.h>
#include <v8-exception.h>
#include <v8-function.h>
#include <v8-template.h>

#include <cmath>
#include <exception>

namespace qor::format::engine::javascript {

namespace {

// Longer delays are kept at this (about 35 years): it is still "never
// sooner than asked" for any program, and the clock's arithmetic cannot
// overflow.
constexpr double kLongestDelayMs = 1099511627776.0;  // 2^40

void throwTypeError(v8::Isolate* isolate, const std::string& text)
{
    isolate->ThrowException(v8::Exception::TypeError(V8Helper::v8_string(text, isolate)));
}

void setFunction(v8::Local<v8::Context> context,
                 const char* name,
                 v8::FunctionCallback callback,
                 v8::Local<v8::Value> data,
                 int length)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::String> key = V8Helper::v8_string(name, isolate);
    v8::Local<v8::Function> function;
    if (!v8::Function::New(context, callback, data, length).ToLocal(&function))
        return;
    function->SetName(key);
    v8::Maybe<bool> ignored = context->Global()->Set(context, key, function);
    (void)ignored;
}

}  // namespace

Loop::Loop(V8Runtime& runtime, std::shared_ptr<V8Runtime::Shared> shared, Rejections& rejections, bool timers)
    : runtime(runtime), isolate(runtime.isolate()), shared(std::move(shared)), rejections(rejections)
{
    if (!timers)
        return;
    v8::HandleScope scope(isolate);
    v8::Local<v8::Context> context = runtime.context();
    // The functions find the loop through the isolate, not through data of
    // their own: they hold no pointer, so a startup snapshot can keep them.
    v8::Local<v8::Value> none;
    setFunction(context, "setTimeout", &Loop::setTimeout, none, 1);
    setFunction(context, "setInterval", &Loop::setInterval, none, 1);
    setFunction(context, "clearTimeout", &Loop::clearTimer, none, 0);
    setFunction(context, "clearInterval", &Loop::clearTimer, none, 0);
    setFunction(context, "queueMicrotask", &Loop::queueMicrotask, none, 1);
}

Loop::~Loop() = default;

void Loop::addExternalReferences(std::vector<std::intptr_t>& table)
{
    for (v8::FunctionCallback callback :
         {&Loop::setTimeout, &Loop::setInterval, &Loop::clearTimer, &Loop::queueMicrotask, &Loop::runMicrotask})
        table.push_back(reinterpret_cast<std::intptr_t>(callback));
}

// ---- The functions scripts call -----------------------------------------------

Loop* Loop::from(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    V8Runtime::State* state = runtimeStateOf(info.GetIsolate());
    Loop* loop = state != nullptr ? state->loop.get() : nullptr;
    if (loop == nullptr)
        throwTypeError(info.GetIsolate(), "the runtime has ended: timers can no longer be set or cleared");
    return loop;
}

void Loop::setTimeout(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    if (Loop* loop = from(info))
        loop->addTimer(info, false);
}

void Loop::setInterval(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    if (Loop* loop = from(info))
        loop->addTimer(info, true);
}

void Loop::clearTimer(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    Loop* loop = from(info);
    if (loop == nullptr)
        return;
    // As on the web: an id that names no timer (undefined, one already fired
    // or cleared) is ignored.
    double id = 0;
    if (!info[0]->NumberValue(info.GetIsolate()->GetCurrentContext()).To(&id))
        return;
    if (id < 1 || id > static_cast<double>(loop->lastId) || id != std::floor(id))
        return;
    auto found = loop->timers.find(static_cast<std::uint32_t>(id));
    if (found == loop->timers.end())
        return;
    loop->queue.erase(QueueKey(found->second.deadline, found->second.order, found->first));
    loop->timers.erase(found);
}

void Loop::addTimer(const v8::FunctionCallbackInfo<v8::Value>& info, bool repeat)
{
    const char* name = repeat ? "setInterval" : "setTimeout";
    if (!info[0]->IsFunction()) {
        // The web would compile a string here; a runtime has no reason to.
        throwTypeError(isolate, std::string("the first argument of ") + name + " must be a function");
        return;
    }
    double delayMs = 0;
    if (info.Length() > 1 && !info[1]->NumberValue(isolate->GetCurrentContext()).To(&delayMs))
        return;
    if (std::isnan(delayMs) || delayMs < 0)
        delayMs = 0;
    delayMs = std::min(delayMs, kLongestDelayMs);
    // Rounded up, so the wait is never shorter than asked.
    const auto delay = std::chrono::ceil<Clock::duration>(std::chrono::duration<double, std::milli>(delayMs));

    Timer timer;
    timer.callback.Reset(isolate, info[0].As<v8::Function>());
    for (int i = 2; i < info.Length(); ++i)
        timer.arguments.emplace_back(isolate, info[i]);
    if (repeat)
        timer.interval = delay;

    const std::uint32_t id = ++lastId;
    Timer& stored = timers.emplace(id, std::move(timer)).first->second;
    schedule(id, stored, Clock::now() + delay);
    info.GetReturnValue().Set(id);
}

void Loop::schedule(std::uint32_t id, Timer& timer, Clock::time_point deadline)
{
    timer.deadline = deadline;
    timer.order = ++lastOrder;
    queue.emplace(timer.deadline, timer.order, id);
}

void Loop::queueMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    if (!info[0]->IsFunction()) {
        throwTypeError(isolate, "the argument of queueMicrotask must be a function");
        return;
    }
    // The callback runs through runMicrotask, which sees its exception: V8
    // would otherwise drop an exception thrown by a microtask unreported.
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Function> job;
    if (!v8::Function::New(context, &Loop::runMicrotask, info[0], 0).ToLocal(&job))
        return;
    isolate->EnqueueMicrotask(job);
}

void Loop::runMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Value> callback = info.Data();
    v8::TryCatch tryCatch(isolate);
    v8::MaybeLocal<v8::Value> result = callback.As<v8::Function>()->Call(context, v8::Undefined(isolate), 0, nullptr);
    // A run stopped from outside is not the callback's failure.
    if (!result.IsEmpty() || tryCatch.HasTerminated())
        return;
    V8Runtime::State* state = runtimeStateOf(isolate);
    Loop* loop = state != nullptr ? state->loop.get() : nullptr;
    if (loop != nullptr && !loop->pendingFailure)
        loop->pendingFailure = recordOf(Error::Type::Runtime, isolate, tryCatch);
}

// ---- Turns --------------------------------------------------------------------

Error Loop::stopped(Error record)
{
    dropTimers();
    return record;
}

void Loop::dropTimers()
{
    queue.clear();
    timers.clear();
}

std::optional<Loop::Clock::time_point> Loop::nextDeadline() const
{
    if (queue.empty())
        return std::nullopt;
    return std::get<0>(*queue.begin());
}

std::expected<void, Error> Loop::runJobs()
{
    // A task can queue promise jobs and a promise job can post tasks, so the
    // two take turns until neither has anything left. V8's tasks can run
    // script (a FinalizationRegistry's callbacks): they are steps too.
    v8::Platform* platform = V8Engine::get().getPlatform();
    for (bool pumped = true; pumped;) {
        // One run of the limits for both: the checkpoint's own is nested in
        // it, and a stop in either ends both.
        LimitedRun run(isolate);
        pumped = V8Engine::performMicrotaskCheckpoint(isolate) && v8::platform::PumpMessageLoop(platform, isolate);
        if (auto stop = run.end())
            return std::unexpected(stopped(recordOfStop(*stop)));
    }
    return {};
}

std::optional<std::expected<void, Error>> Loop::runPostedTask(std::size_t* budget)
{
    if (shared->queued.load(std::memory_order_relaxed) == 0 || (budget != nullptr && *budget == 0))
        return std::nullopt;
    std::function<void(V8Runtime&)> task;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->tasks.empty())
            return std::nullopt;
        task = std::move(shared->tasks.front());
        shared->tasks.pop_front();
        shared->queued.store(shared->tasks.size(), std::memory_order_relaxed);
    }
    if (budget != nullptr)
        --*budget;
    v8::HandleScope scope(isolate);
    Step step(*this);
    LimitedRun run(isolate);
    std::optional<Error> thrown;
    // The host's own code: an exception from it is a failure of the run, not
    // something to unwind the host's loop call with.
    try {
        task(runtime);
    } catch (const std::exception& error) {
        thrown = recordOfText(std::string("a posted task threw: ") + error.what());
    } catch (...) {
        thrown = recordOfText("a posted task threw an exception");
    }
    if (auto stop = run.end())
        return std::unexpected(stopped(recordOfStop(*stop)));
    if (thrown)
        return std::unexpected(std::move(*thrown));
    return std::expected<void, Error>{};
}

std::optional<std::expected<void, Error>> Loop::fireTimer(Clock::time_point dueBy)
{
    if (queue.empty() || std::get<0>(*queue.begin()) > dueBy)
        return std::nullopt;
    const auto [deadline, order, id] = *queue.begin();
    queue.erase(queue.begin());

    v8::HandleScope scope(isolate);
    auto found = timers.find(id);
    v8::Local<v8::Function> callback = found->second.callback.Get(isolate);
    std::vector<v8::Local<v8::Value>> arguments;
    for (const auto& argument : found->second.arguments)
        arguments.push_back(argument.Get(isolate));
    const std::optional<Clock::duration> interval = found->second.interval;
    // A timeout is gone once it fires, so clearing it from its own callback
    // does nothing; an interval stays, so that its callback can clear it.
    if (!interval)
        timers.erase(found);

    bool stop = false;
    std::expected<v8::Local<v8::Value>, Error> called = [&] {
        Step step(*this);
        // `this` undefined: a sloppy callback sees the global object, as on the web.
        return callUnderLimits(isolate, runtime.context(), callback, v8::Undefined(isolate), arguments, &stop);
    }();
    if (stop)
        return std::unexpected(stopped(std::move(called.error())));
    if (interval) {
        if (auto again = timers.find(id); again != timers.end())
            schedule(id, again->second, Clock::now() + *interval);
    }
    if (!called)
        return std::unexpected(std::move(called.error()));
    return std::expected<void, Error>{};
}

bool Loop::wait()
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->tasks.empty())
        return true;
    const std::optional<Clock::time_point> deadline = nextDeadline();
    if (!deadline && shared->keepAlives == 0)
        return false;
    const auto woken = [&] { return !shared->tasks.empty() || (!deadline && shared->keepAlives == 0); };
    if (deadline)
        shared->wake.wait_until(lock, *deadline, woken);
    else
        shared->wake.wait(lock, woken);
    return true;
}

std::expected<void, Error> Loop::run(Until until, v8::Local<v8::Promise> promise)
{
    if (running || nested())
        return std::unexpected(
            recordOfText("the loop is running already: it cannot be run again from inside one of its steps"));
    running = true;
    struct Done {
        bool& running;
        ~Done() { running = false; }
    } done{running};

    // Ready: what was due at the start, and the tasks queued by then.
    const Clock::time_point start = Clock::now();
    std::size_t taskBudget = shared->queued.load(std::memory_order_relaxed);
    for (;;) {
        v8::HandleScope scope(isolate);
        if (auto jobs = runJobs(); !jobs)
            return jobs;
        if (pendingFailure)
            return std::unexpected(*std::exchange(pendingFailure, std::nullopt));
        if (until == Until::Settled && promise->State() != v8::Promise::kPending)
            return {};
        if (auto rejection = rejections.check())
            return std::unexpected(std::move(*rejection));
        if (auto task = runPostedTask(until == Until::Ready ? &taskBudget : nullptr)) {
            if (!*task)
                return *task;
            continue;
        }
        if (auto timer = fireTimer(until == Until::Ready ? start : Clock::now())) {
            if (!*timer)
                return *timer;
            continue;
        }
        if (until == Until::Ready || !wait())
            return {};
    }
}

}  // namespace qor::format::engine::javascript

#include "EventLoop.h"

#include "ErrorReport.h"
#include "Jobs.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-exception.h>
#include <v8-container.h>
#include <v8-function.h>
#include <v8-microtask-queue.h>
#include <v8-template.h>

#include <cmath>
#include <thread>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// Longer delays are kept at this (about 35 years): it is still "never
// sooner than asked" for any program, and the clock's arithmetic cannot
// overflow.
constexpr double kLongestDelayMs = 1099511627776.0;  // 2^40

void throwTypeError(v8::Isolate* isolate, const std::string& text)
{
    isolate->ThrowException(v8::Exception::TypeError(js::V8Helper::v8_string(text, isolate)));
}

void setFunction(v8::Local<v8::Context> context,
                 const char* name,
                 v8::FunctionCallback callback,
                 v8::Local<v8::Value> data,
                 int length)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::String> key = js::V8Helper::v8_string(name, isolate);
    v8::Local<v8::Function> function = v8::Function::New(context, callback, data, length).ToLocalChecked();
    function->SetName(key);
    context->Global()->Set(context, key, function).Check();
}

}  // namespace

EventLoop::EventLoop(v8::Local<v8::Context> context, v8::Platform* platform, std::string fallbackUrl)
    : isolate(context->GetIsolate()),
      platform(platform),
      context(isolate, context),
      fallbackUrl(std::move(fallbackUrl))
{
    v8::HandleScope scope(isolate);
    v8::Local<v8::ObjectTemplate> shape = v8::ObjectTemplate::New(isolate);
    shape->SetInternalFieldCount(1);
    v8::Local<v8::Object> data = shape->NewInstance(context).ToLocalChecked();
    data->SetAlignedPointerInInternalField(0, this);
    handle.Reset(isolate, data);

    setFunction(context, "setTimeout", &EventLoop::setTimeout, data, 1);
    setFunction(context, "setInterval", &EventLoop::setInterval, data, 1);
    setFunction(context, "clearTimeout", &EventLoop::clearTimer, data, 0);
    setFunction(context, "clearInterval", &EventLoop::clearTimer, data, 0);
    setFunction(context, "queueMicrotask", &EventLoop::queueMicrotask, data, 1);
}

EventLoop::~EventLoop()
{
    v8::HandleScope scope(isolate);
    handle.Get(isolate)->SetAlignedPointerInInternalField(0, nullptr);
}

EventLoop* EventLoop::from(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    auto* loop = static_cast<EventLoop*>(info.Data().As<v8::Object>()->GetAlignedPointerFromInternalField(0));
    if (loop == nullptr)
        throwTypeError(info.GetIsolate(), "the program has ended: timers can no longer be set or cleared");
    return loop;
}

void EventLoop::setTimeout(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    if (EventLoop* loop = from(info))
        loop->addTimer(info, false);
}

void EventLoop::setInterval(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    if (EventLoop* loop = from(info))
        loop->addTimer(info, true);
}

void EventLoop::clearTimer(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    EventLoop* loop = from(info);
    if (loop == nullptr)
        return;
    // As on the web: an id that names no timer (undefined, one already
    // fired or cleared) is ignored.
    double id = 0;
    if (!info[0]->NumberValue(info.GetIsolate()->GetCurrentContext()).To(&id))
        return;
    if (id >= 1 && id <= static_cast<double>(loop->lastId) && id == std::floor(id))
        loop->cancel(static_cast<std::uint32_t>(id));
}

void EventLoop::addTimer(const v8::FunctionCallbackInfo<v8::Value>& info, bool repeat)
{
    const char* name = repeat ? "setInterval" : "setTimeout";
    if (!info[0]->IsFunction()) {
        // The web would compile a string here; a runner has no reason to.
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

void EventLoop::schedule(std::uint32_t id, Timer& timer, Clock::time_point deadline)
{
    timer.deadline = deadline;
    timer.order = ++lastOrder;
    queue.emplace(timer.deadline, timer.order, id);
}

void EventLoop::cancel(std::uint32_t id)
{
    auto found = timers.find(id);
    if (found == timers.end())
        return;
    queue.erase(QueueKey(found->second.deadline, found->second.order, id));
    timers.erase(found);
}

void EventLoop::queueMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    if (!info[0]->IsFunction()) {
        throwTypeError(isolate, "the argument of queueMicrotask must be a function");
        return;
    }
    // The callback runs through runMicrotask, which sees its exception: V8
    // would otherwise drop an exception thrown by a microtask unreported.
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Value> parts[] = {info.Data(), info[0]};
    v8::Local<v8::Function> job;
    if (!v8::Function::New(context, &EventLoop::runMicrotask, v8::Array::New(isolate, parts, 2), 0).ToLocal(&job))
        return;
    isolate->EnqueueMicrotask(job);
}

void EventLoop::runMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Array> parts = info.Data().As<v8::Array>();
    v8::Local<v8::Value> data, callback;
    if (!parts->Get(context, 0).ToLocal(&data) || !parts->Get(context, 1).ToLocal(&callback))
        return;
    v8::TryCatch tryCatch(isolate);
    v8::MaybeLocal<v8::Value> result = callback.As<v8::Function>()->Call(context, v8::Undefined(isolate), 0, nullptr);
    // A run stopped from outside is not the callback's failure.
    if (!result.IsEmpty() || tryCatch.HasTerminated())
        return;
    if (auto* loop = static_cast<EventLoop*>(data.As<v8::Object>()->GetAlignedPointerFromInternalField(0)))
        loop->recordFailure(tryCatch);
}

void EventLoop::recordFailure(const v8::TryCatch& tryCatch)
{
    if (!failure)
        failure = renderCaught(isolate, tryCatch, js::Error::Type::Runtime, fallbackUrl);
}

std::optional<std::string> EventLoop::takeFailure()
{
    return std::exchange(failure, std::nullopt);
}

std::optional<EventLoop::Clock::time_point> EventLoop::nextDeadline() const
{
    if (queue.empty())
        return std::nullopt;
    return std::get<0>(*queue.begin());
}

void EventLoop::runJobs()
{
    // A limit that stopped a job ends the run as a callback's failure does.
    if (auto stopped = runPendingJobs(isolate, platform); stopped && !failure)
        failure = renderError(fallbackUrl, *stopped);
}

bool EventLoop::fireNext(bool wait)
{
    if (queue.empty())
        return false;
    const auto [deadline, order, id] = *queue.begin();
    if (Clock::now() < deadline) {
        if (!wait)
            return false;
        // Whatever V8 posted runs before the thread sleeps.
        runJobs();
        while (Clock::now() < deadline)
            std::this_thread::sleep_until(deadline);
    }
    queue.erase(queue.begin());

    v8::HandleScope scope(isolate);
    v8::Local<v8::Context> here = context.Get(isolate);
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

    {
        // Through the library, so that the isolate's limits watch each
        // callback as one operation: a callback that never returns ends with
        // the time limit's error. The library calls with `this` undefined;
        // a sloppy callback sees the global object as on the web.
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::Object> holder = v8::Object::New(isolate);
        const bool held = holder->Set(here, js::V8Helper::v8_string("callback", isolate), callback).FromMaybe(false);
        const js::V8FuncResult called =
            held ? js::V8Engine::callJsFunction(holder, here, "callback", arguments) : js::V8FuncResult{};
        if (!called.success) {
            if (tryCatch.HasTerminated()) {
                // The run was stopped from outside: nothing more is to run.
                queue.clear();
                timers.clear();
                return true;
            }
            if (tryCatch.HasCaught())
                recordFailure(tryCatch);
        }
    }
    if (interval) {
        if (auto again = timers.find(id); again != timers.end())
            schedule(id, again->second, Clock::now() + *interval);
    }
    runJobs();
    return true;
}

void EventLoop::run(const std::function<bool()>& stop)
{
    runJobs();
    while (!failure && !queue.empty() && !(stop && stop()))
        fireNext(true);
}

v8::Promise::PromiseState EventLoop::settle(v8::Local<v8::Promise> promise)
{
    runJobs();
    while (promise->State() == v8::Promise::kPending && !failure && fireNext(true)) {
    }
    return promise->State();
}

void EventLoop::runDue()
{
    runJobs();
    // Only what was due on entry: an interval of 0 would otherwise never let go.
    const Clock::time_point now = Clock::now();
    while (!failure && !queue.empty() && std::get<0>(*queue.begin()) <= now)
        fireNext(false);
}

}  // namespace qorjs

#pragma once

#include <v8-context.h>
#include <v8-exception.h>
#include <v8-isolate.h>
#include <v8-persistent-handle.h>
#include <v8-platform.h>
#include <v8-promise.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace qorjs {

// The runner's event loop: timers and queued microtasks, run on the isolate's
// own thread between the program's turns.
//
// While it lives, the context's global object has setTimeout, clearTimeout,
// setInterval, clearInterval and queueMicrotask. A timer fires no earlier than
// its delay; timers due at the same moment fire in the order they were set;
// the promise jobs a callback queues run before the next callback. A callback
// that throws ends the loop: its report is kept for the caller, who decides
// whether the program is over (a script) or goes on (the REPL).
//
// Nothing here starts a thread: waiting for the next timer is a sleep on the
// isolate's thread, so a debugger pause inside a callback holds every timer
// behind it.
class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Installs the timer functions on `context`'s global object. A failure is
    // rendered under the URL of the script that threw, `fallbackUrl` when V8
    // names none.
    EventLoop(v8::Local<v8::Context> context, v8::Platform* platform, std::string fallbackUrl);
    // The functions stay on the global object (a script may hold them), but
    // from then on they throw instead of reaching the loop.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs promise jobs, V8's tasks and timers, sleeping until the next timer
    // is due, until no timer is left, a callback has failed, or `stop`
    // (asked after each callback) says so.
    void run(const std::function<bool()>& stop = {});

    // As run, but only until `promise` is settled; returns its state then.
    // kPending means it waits for something no timer will bring.
    v8::Promise::PromiseState settle(v8::Local<v8::Promise> promise);

    // Runs promise jobs, V8's tasks and the timers due now, without waiting.
    void runDue();

    // When the next timer is due; none when no timer is set.
    std::optional<Clock::time_point> nextDeadline() const;

    // The rendered report of the first callback that threw since the last
    // call, which clears it.
    std::optional<std::string> takeFailure();
    bool failed() const { return failure.has_value(); }

private:
    struct Timer {
        v8::Global<v8::Function> callback;
        std::vector<v8::Global<v8::Value>> arguments;
        std::optional<Clock::duration> interval;
        Clock::time_point deadline;
        std::uint64_t order = 0;
    };
    // Deadline, then the order of setting, then the timer's id.
    using QueueKey = std::tuple<Clock::time_point, std::uint64_t, std::uint32_t>;

    static EventLoop* from(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void setTimeout(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void setInterval(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void clearTimer(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void queueMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void runMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info);

    void addTimer(const v8::FunctionCallbackInfo<v8::Value>& info, bool repeat);
    void schedule(std::uint32_t id, Timer& timer, Clock::time_point deadline);
    void cancel(std::uint32_t id);
    // Fires the first timer if it is due, or after sleeping for it when
    // `wait`; false when there was none to fire.
    bool fireNext(bool wait);
    void runJobs();
    void recordFailure(const v8::TryCatch& tryCatch);

    v8::Isolate* isolate;
    v8::Platform* platform;
    v8::Global<v8::Context> context;
    // The object the installed functions carry as their data; its internal
    // field points here while the loop lives.
    v8::Global<v8::Object> handle;
    std::string fallbackUrl;
    std::map<std::uint32_t, Timer> timers;
    std::set<QueueKey> queue;
    std::uint32_t lastId = 0;
    std::uint64_t lastOrder = 0;
    std::optional<std::string> failure;
};

}  // namespace qorjs

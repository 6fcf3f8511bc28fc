#pragma once

// The runtime's loop: promise jobs, V8's own tasks, tasks posted from other
// threads, and the timers of setTimeout and setInterval, run in turns on the
// runtime's thread.

#include <qor/javascript/V8Runtime.h>

#include <v8-persistent-handle.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

namespace qor::format::engine::javascript {

class Rejections;

// What other threads reach, under `mutex`. `open` turns false when the
// runtime goes; from then on nothing is queued and `limits` is gone.
struct V8Runtime::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void(V8Runtime&)>> tasks;
    // The size of `tasks`, written under `mutex`, so that the loop's turns
    // can see that none is queued without taking the mutex. A task posted
    // meanwhile is seen by the next turn, or by wait(), which looks under
    // the mutex.
    std::atomic<std::size_t> queued{0};
    std::size_t keepAlives = 0;
    bool open = true;
    V8Limits* limits = nullptr;
};

class Loop {
public:
    using Clock = std::chrono::steady_clock;

    // Until when run() goes on.
    enum class Until {
        Idle,     // nothing is left to run and no KeepAlive is held
        Ready,    // what was due when it started has run; no waiting
        Settled,  // the promise given has settled (or as Idle)
    };

    // With `timers`, installs setTimeout, setInterval, clearTimeout,
    // clearInterval and queueMicrotask on the context's global object.
    Loop(V8Runtime& runtime, std::shared_ptr<V8Runtime::Shared> shared, Rejections& rejections, bool timers);
    // The functions stay on the global object (a script may hold them), but
    // from then on they throw instead of reaching the loop.
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // The callbacks of the functions above, which a startup snapshot must know.
    static void addExternalReferences(std::vector<std::intptr_t>& table);

    // Runs turns until `until` says so or a step fails: the record of the
    // first failure. Refused while a step of this loop is running.
    std::expected<void, Error> run(Until until, v8::Local<v8::Promise> promise = {});

    // Runs the promise jobs and V8's tasks that are queued. A stop by a limit
    // drops the timers and is returned; a queueMicrotask callback that threw
    // is kept for the next run() to report.
    std::expected<void, Error> runJobs();

    // Whether a step of the loop, or a runtime call, is running now: then
    // promise jobs are left to the turn that runs around it.
    bool nested() const { return depth > 0; }

    // Marks a runtime call that runs JavaScript; see nested().
    struct Step {
        explicit Step(Loop& loop) : loop(loop) { ++loop.depth; }
        ~Step() { --loop.depth; }
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;
        Loop& loop;
    };

    std::optional<Clock::time_point> nextDeadline() const;

    // The program is over: its timers go.
    void dropTimers();

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

    static Loop* from(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void setTimeout(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void setInterval(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void clearTimer(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void queueMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info);
    static void runMicrotask(const v8::FunctionCallbackInfo<v8::Value>& info);

    void addTimer(const v8::FunctionCallbackInfo<v8::Value>& info, bool repeat);
    void schedule(std::uint32_t id, Timer& timer, Clock::time_point deadline);

    // One posted task, if one is queued (and, with `budget`, while it lasts).
    std::optional<std::expected<void, Error>> runPostedTask(std::size_t* budget);
    // The first timer due by `dueBy`.
    std::optional<std::expected<void, Error>> fireTimer(Clock::time_point dueBy);
    // Sleeps until the next timer, a posted task or the last KeepAlive's end.
    // False when there is nothing to wait for.
    bool wait();
    // A stop ends the program: its timers go, and the record is returned.
    Error stopped(Error record);

    V8Runtime& runtime;
    v8::Isolate* isolate;
    std::shared_ptr<V8Runtime::Shared> shared;
    Rejections& rejections;
    std::map<std::uint32_t, Timer> timers;
    std::set<QueueKey> queue;
    std::uint32_t lastId = 0;
    std::uint64_t lastOrder = 0;
    std::optional<Error> pendingFailure;
    int depth = 0;
    bool running = false;
};

}  // namespace qor::format::engine::javascript

#pragma once

// The library's side of V8Limits: what an operation does when it starts and
// ends, and what the debugger's pause loop tells the clock.

#include <qor/javascript/V8Limits.h>

#include <v8-isolate.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qor::format::engine::javascript {

enum class StopReason : int { None = 0, Time = 1, Heap = 2, Host = 3 };

struct V8Limits::State {
    // Fixed at construction.
    v8::Platform* platform = nullptr;
    Settings settings;
    ArrayBufferAllocator* allocator = nullptr;
    std::chrono::nanoseconds tick{0};
    // For the tick tasks, which share the state.
    std::weak_ptr<State> selfWeak;

    // The isolate, cleared when the V8Limits goes; other threads (the tick
    // task, terminate) use it only under `mutex`, which the end of an
    // outermost operation takes too (see LimitedRun::leave).
    std::mutex mutex;
    v8::Isolate* isolate = nullptr;

    // Written on the isolate's thread only. `activity` is odd while an
    // outermost operation runs and goes up by one at each start and end, so
    // the tick can tell one long run from a series of short ones.
    int depth = 0;
    std::atomic<std::uint64_t> activity{0};

    // Whether a tick task is queued on the platform; operations post one
    // only when none is.
    std::atomic<bool> armed{false};

    // Debugger pauses in progress: the clock does not run while one is.
    std::atomic<int> paused{0};

    // Why the running operation is being stopped, and whether a termination
    // may still be pending in V8 for it.
    std::atomic<int> reason{0};
    std::atomic<bool> terminationRequested{false};

    // The limit the heap message names: the host's, or V8's own.
    std::atomic<std::size_t> reportedHeapLimit{0};

    // Heap checks on the isolate's thread: whether one is collecting, and
    // the heap's size after the last full collection.
    bool collecting = false;
    std::size_t lastLive = 0;
    // Set by the tick when it asks for a heap check; an operation that ends
    // before V8 ran the check makes it. Overdue once a whole tick has passed
    // without V8 running it (one long allocation inside a builtin): only then
    // does the check at the end judge the heap as it stands, since a heap
    // past the limit at the end of a short operation may hold nothing but the
    // garbage of the operations before it.
    std::atomic<bool> heapCheckDue{false};
    std::atomic<bool> heapCheckOverdue{false};

    // The tick's own bookkeeping, under `mutex`.
    std::uint64_t seenActivity = 0;
    std::chrono::nanoseconds counted{0};
    std::chrono::steady_clock::time_point lastTick;

    // Records `why` (the first reason wins) and asks V8 to stop. Any thread.
    void requestStop(StopReason why);
    // Posts a tick task unless one is queued. Isolate thread.
    void arm();
    // Measures the heap; terminates past the limit. `afterFullCollection`:
    // what is left is live, else garbage may still count. `atEnd`: the
    // operation is ending with a check it asked for still due.
    void checkHeap(bool afterFullCollection, bool atEnd = false);
    // The words of the record for `why`.
    std::string message(StopReason why) const;
};

// The limits of `isolate`, or null.
inline V8Limits::State* limitsOf(v8::Isolate* isolate)
{
    return static_cast<V8Limits::State*>(isolate->GetData(V8Limits::kIsolateDataSlot));
}

// One library operation under the isolate's limits, if it has any: opened
// before the operation runs JavaScript, finished with end() before it
// returns. Costs a few loads and stores and, at the end of the outermost one,
// a lock of the tick's mutex when there are limits; one load when there are
// none.
class LimitedRun {
public:
    explicit LimitedRun(v8::Isolate* isolate) : state(limitsOf(isolate))
    {
        if (state != nullptr)
            enter();
    }
    ~LimitedRun()
    {
        if (state != nullptr)
            (void)leave(false);
    }
    LimitedRun(const LimitedRun&) = delete;
    LimitedRun& operator=(const LimitedRun&) = delete;

    // Ends the run. When a limit or the host stopped it, the record's message;
    // the outermost run then cancels the termination, a nested one renews it
    // so that the operations around it end too. `terminated`: the
    // operation's v8::TryCatch saw a termination.
    std::optional<std::string> end(bool terminated = false)
    {
        if (state == nullptr)
            return std::nullopt;
        std::optional<std::string> stopped = leave(terminated);
        state = nullptr;
        return stopped;
    }

    // Whether this run is the outermost one (only it reports to the host
    // through a pending exception).
    bool outermost() const { return outer; }

private:
    void enter();
    std::optional<std::string> leave(bool terminated);

    V8Limits::State* state;
    bool outer = false;
};

// Leaves an Error with `message` pending, for the caller's v8::TryCatch: how
// the operations that do not return a record report a stop.
void throwLimitError(v8::Isolate* isolate, const std::string& message);

// Time spent inside the debugger's pause loop, not counted against the time
// limit.
class PausedTime {
public:
    explicit PausedTime(v8::Isolate* isolate) : state(limitsOf(isolate))
    {
        if (state != nullptr)
            state->paused.fetch_add(1);
    }
    ~PausedTime()
    {
        if (state != nullptr)
            state->paused.fetch_sub(1);
    }
    PausedTime(const PausedTime&) = delete;
    PausedTime& operator=(const PausedTime&) = delete;

private:
    V8Limits::State* state;
};

}  // namespace qor::format::engine::javascript

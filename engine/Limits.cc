#include "engine/Limits.h"

#include <v8-exception.h>
#include <v8-primitive.h>
#include <v8-statistics.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qor::format::engine::javascript {

namespace {

using Clock = std::chrono::steady_clock;

// How often the heap is measured while a script runs: allocation runs at
// gigabytes a second, so the limit is overshot by what is allocated between
// two looks.
constexpr std::chrono::milliseconds kHeapTick{5};

// The room V8 gets past its own limit when it reaches it, so that the
// allocation in progress succeeds instead of ending the process; the script
// is stopped meanwhile.
constexpr std::size_t kRoomPastV8Limit = std::size_t{1} << 30;

// What ArrayBuffers may take when the heap holds `heap` bytes: the rest of
// the limit, less a sixteenth of it, so that a script whose buffers are
// refused sees the RangeError instead of being stopped by the next small
// growth of its heap.
std::size_t bufferRoom(std::size_t heap, std::size_t limit)
{
    const std::size_t reserve = limit / 16;
    return heap + reserve < limit ? limit - heap - reserve : 0;
}

std::string sizeText(std::size_t bytes)
{
    constexpr std::size_t mb = std::size_t{1} << 20;
    if (bytes % mb == 0)
        return std::to_string(bytes / mb) + " MB";
    return std::to_string(bytes) + " bytes";
}

// The task that watches a running operation: it counts the time the same
// operation has run, stops it past the time limit, asks for heap checks and
// queues itself again until nothing runs.
class TickTask final : public v8::Task {
public:
    explicit TickTask(std::shared_ptr<V8Limits::State> state) : state(std::move(state)) {}

    void Run() override
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->isolate == nullptr) {
            state->armed.store(false);
            return;
        }
        const auto now = Clock::now();
        const std::uint64_t activity = state->activity.load();
        if ((activity & 1) == 0) {
            state->seenActivity = activity;
            state->armed.store(false);
            // An operation that started between the two looks would find
            // the task still armed and post none.
            if (state->activity.load() == activity)
                return;
            bool expected = false;
            if (!state->armed.compare_exchange_strong(expected, true))
                return;
        } else {
            const bool paused = state->paused.load() > 0;
            if (activity != state->seenActivity) {
                state->seenActivity = activity;
                state->counted = std::chrono::nanoseconds{0};
            } else if (!paused) {
                state->counted += now - state->lastTick;
            }
            if (state->settings.timeLimit.count() > 0 && state->counted >= state->settings.timeLimit)
                state->requestStop(StopReason::Time);
            // A termination V8 did not act on (the script went on in a native
            // function's caller, or V8 finished what it was doing) is asked
            // for again.
            if (state->reason.load() != 0)
                state->isolate->TerminateExecution();
            else if (state->settings.heapLimitBytes > 0 && !paused && state->heapCheckDue.exchange(true))
                state->heapCheckOverdue.store(true, std::memory_order_relaxed);
            else if (state->settings.heapLimitBytes > 0 && !paused)
                state->isolate->RequestInterrupt(
                    [](v8::Isolate* isolate, void*) {
                        if (V8Limits::State* limits = limitsOf(isolate))
                            limits->checkHeap(false);
                    },
                    nullptr);
        }
        state->lastTick = now;
        post(state);
    }

    static void post(const std::shared_ptr<V8Limits::State>& state)
    {
        const double seconds = std::chrono::duration<double>(state->tick).count();
        state->platform->CallDelayedOnWorkerThread(std::make_unique<TickTask>(state), seconds);
    }

private:
    std::shared_ptr<V8Limits::State> state;
};

void afterCollection(v8::Isolate* isolate, v8::GCType type, v8::GCCallbackFlags, void* data)
{
    auto* state = static_cast<V8Limits::State*>(data);
    if (type == v8::kGCTypeMarkSweepCompact) {
        state->checkHeap(true);
        return;
    }
    // No collection may start inside this one: a heap past the limit after a
    // minor collection is looked at again from an interrupt.
    v8::HeapStatistics statistics;
    isolate->GetHeapStatistics(&statistics);
    const std::size_t external = state->allocator != nullptr ? state->allocator->allocatedBytes() : 0;
    if (statistics.used_heap_size() + external > state->settings.heapLimitBytes)
        isolate->RequestInterrupt(
            [](v8::Isolate* isolate, void*) {
                if (V8Limits::State* limits = limitsOf(isolate))
                    limits->checkHeap(false);
            },
            nullptr);
}

std::size_t nearHeapLimit(void* data, std::size_t currentLimit, std::size_t initialLimit)
{
    auto* state = static_cast<V8Limits::State*>(data);
    // V8's own limit came first: the host's is higher, or there is none.
    if (state->settings.heapLimitBytes == 0 || state->settings.heapLimitBytes > initialLimit)
        state->reportedHeapLimit.store(initialLimit);
    if ((state->activity.load() & 1) != 0)
        state->requestStop(StopReason::Heap);
    return currentLimit + kRoomPastV8Limit;
}

}  // namespace

// ---- State -------------------------------------------------------------------

void V8Limits::State::requestStop(StopReason why)
{
    int expected = 0;
    if (reason.compare_exchange_strong(expected, static_cast<int>(why)))
        terminationRequested.store(true);
    // Under the mutex on other threads; on the isolate's own thread the
    // isolate is alive by definition.
    isolate->TerminateExecution();
}

void V8Limits::State::arm()
{
    bool expected = false;
    if (!armed.compare_exchange_strong(expected, true))
        return;
    // The operation being started is this isolate's, so the state is alive;
    // the task keeps it alive past the V8Limits.
    TickTask::post(std::shared_ptr<State>(selfWeak));
}

void V8Limits::State::checkHeap(bool afterFullCollection, bool atEnd)
{
    if (settings.heapLimitBytes == 0 || collecting)
        return;
    heapCheckDue.store(false, std::memory_order_relaxed);
    heapCheckOverdue.store(false, std::memory_order_relaxed);
    v8::HeapStatistics statistics;
    isolate->GetHeapStatistics(&statistics);
    const std::size_t heap = statistics.used_heap_size();
    const std::size_t external = allocator != nullptr ? allocator->allocatedBytes() : 0;
    const std::size_t limit = settings.heapLimitBytes;
    if (afterFullCollection)
        lastLive = heap;
    if (allocator != nullptr)
        allocator->room.store(bufferRoom(heap, limit));
    // Four refusals in a row are one allocation V8 gave up on after
    // collecting; a fifth is the script asking again.
    constexpr unsigned kRefusalsOfTwoAllocations = 5;
    if (allocator != nullptr && allocator->refusals.load(std::memory_order_relaxed) >= kRefusalsOfTwoAllocations &&
        (activity.load() & 1) != 0) {
        requestStop(StopReason::Heap);
        return;
    }
    // Only the library's own operations are stopped.
    if (heap + external <= limit || (activity.load() & 1) == 0)
        return;
    // A check V8 had no chance to make while the operation ran (one long
    // allocation inside a builtin, then the end) judges what the heap held:
    // a collection now would only find the script's garbage.
    if (afterFullCollection || atEnd) {
        requestStop(StopReason::Heap);
        return;
    }
    // Garbage counts until a full collection: only what survives one is
    // held against the limit. A collection is asked for once enough has been
    // allocated since the last one to make a difference, so that a heap
    // that stays just under the limit is not collected over and over.
    if (heap < lastLive + limit / 16)
        return;
    // Every collection V8 has until one frees nothing: a single one keeps
    // what was allocated while it was marking (a runaway's last allocation,
    // freed only by the next), and that garbage would stop the scripts after.
    collecting = true;
    isolate->LowMemoryNotification();
    collecting = false;
    isolate->GetHeapStatistics(&statistics);
    const std::size_t live = statistics.used_heap_size();
    lastLive = live;
    if (allocator != nullptr)
        allocator->room.store(bufferRoom(live, limit));
    if (live + (allocator != nullptr ? allocator->allocatedBytes() : 0) > limit)
        requestStop(StopReason::Heap);
}

std::string V8Limits::State::message(StopReason why) const
{
    switch (why) {
    case StopReason::Time:
        return "The script ran longer than its time limit of " + std::to_string(settings.timeLimit.count()) + " ms";
    case StopReason::Heap:
        return "The script was stopped: the JavaScript heap reached its limit of " +
               sizeText(reportedHeapLimit.load());
    case StopReason::Host:
        return "The script was stopped by the host";
    case StopReason::None:
        break;
    }
    return {};
}

// ---- LimitedRun --------------------------------------------------------------

void LimitedRun::enter()
{
    if (state->depth++ > 0)
        return;
    outer = true;
    v8::Isolate* isolate = state->isolate;
    // A stop that came in as the previous operation ended would end this one.
    if (state->terminationRequested.load(std::memory_order_relaxed)) {
        isolate->CancelTerminateExecution();
        state->reason.store(0);
        state->terminationRequested.store(false);
    }
    state->activity.store(state->activity.load(std::memory_order_relaxed) + 1);
    if (!state->armed.load())
        state->arm();
}

std::optional<std::string> LimitedRun::leave(bool terminated)
{
    const bool last = --state->depth == 0;
    if (last && state->heapCheckDue.load(std::memory_order_relaxed))
        state->checkHeap(false, state->heapCheckOverdue.load(std::memory_order_relaxed));
    if (last) {
        // The tick and terminate() hold the mutex from seeing an operation
        // run until they have asked V8 to stop it. Ended under it, this one
        // has every stop meant for it in by now, cancelled below, and none
        // comes after: a tick preempted in between would otherwise stop the
        // next operation with this one's reason.
        std::lock_guard<std::mutex> lock(state->mutex);
        state->activity.store(state->activity.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        if (state->allocator != nullptr && state->allocator->refusals.load(std::memory_order_relaxed) != 0)
            state->allocator->refusals.store(0, std::memory_order_relaxed);
    }
    int why = state->reason.load();
    // A termination without a reason: the host's own, through V8.
    if (why == 0 && last && (terminated || state->isolate->IsExecutionTerminating()))
        why = static_cast<int>(StopReason::Host);
    if (why == 0)
        return std::nullopt;
    std::string text = state->message(static_cast<StopReason>(why));
    if (last) {
        state->isolate->CancelTerminateExecution();
        state->reason.store(0);
        state->terminationRequested.store(false);
    } else {
        state->isolate->TerminateExecution();
    }
    return text;
}

void throwLimitError(v8::Isolate* isolate, const std::string& message)
{
    v8::Local<v8::String> text;
    if (v8::String::NewFromUtf8(isolate, message.data(), v8::NewStringType::kNormal, static_cast<int>(message.size()))
            .ToLocal(&text))
        isolate->ThrowException(v8::Exception::Error(text));
}

// ---- V8Limits ----------------------------------------------------------------

V8Limits::V8Limits(v8::Isolate* isolate, v8::Platform* platform, Settings settings, ArrayBufferAllocator* allocator)
    : state(std::make_shared<State>())
{
    state->selfWeak = state;
    state->platform = platform;
    state->settings = settings;
    state->allocator = allocator;
    state->isolate = isolate;
    state->reportedHeapLimit.store(settings.heapLimitBytes);
    // A tick often enough for the time limit to end a script within a
    // quarter more than the limit, and for the heap to be measured between
    // collections.
    std::chrono::nanoseconds tick = std::chrono::milliseconds{100};
    if (settings.timeLimit.count() > 0)
        tick = std::max<std::chrono::nanoseconds>(std::chrono::milliseconds{1}, settings.timeLimit / 8);
    if (settings.heapLimitBytes > 0)
        tick = std::min<std::chrono::nanoseconds>(tick, kHeapTick);
    state->tick = tick;
    if (allocator != nullptr && settings.heapLimitBytes > 0)
        allocator->room.store(bufferRoom(0, settings.heapLimitBytes));

    isolate->SetData(kIsolateDataSlot, state.get());
    isolate->AddNearHeapLimitCallback(nearHeapLimit, state.get());
    // Once the heap is small again, V8's limit is its first one again, so that
    // one runaway after another does not raise it for good.
    isolate->AutomaticallyRestoreInitialHeapLimit(0.5);
    if (settings.heapLimitBytes > 0)
        isolate->AddGCEpilogueCallback(afterCollection, state.get());
}

V8Limits::~V8Limits()
{
    v8::Isolate* isolate = state->isolate;
    if (state->settings.heapLimitBytes > 0)
        isolate->RemoveGCEpilogueCallback(afterCollection, state.get());
    isolate->RemoveNearHeapLimitCallback(nearHeapLimit, 0);
    isolate->SetData(kIsolateDataSlot, nullptr);
    if (state->allocator != nullptr)
        state->allocator->room.store(SIZE_MAX);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->isolate = nullptr;
}

void V8Limits::terminate()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->isolate != nullptr && (state->activity.load() & 1) != 0)
        state->requestStop(StopReason::Host);
}

V8Limits::Settings V8Limits::settings() const
{
    return state->settings;
}

// ---- ArrayBufferAllocator ----------------------------------------------------

V8Limits::ArrayBufferAllocator::ArrayBufferAllocator() = default;
V8Limits::ArrayBufferAllocator::~ArrayBufferAllocator() = default;

bool V8Limits::ArrayBufferAllocator::admit(std::size_t length)
{
    const std::size_t ceiling = room.load(std::memory_order_relaxed);
    std::size_t held = allocated.load(std::memory_order_relaxed);
    do {
        if (length > ceiling || held > ceiling - length) {
            refusals.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
    } while (!allocated.compare_exchange_weak(held, held + length, std::memory_order_relaxed));
    // An allocation that got in after V8 collected for it was not given up
    // on: the refusals before it are no sign of a script past its limit.
    if (refusals.load(std::memory_order_relaxed) != 0)
        refusals.store(0, std::memory_order_relaxed);
    return true;
}

void* V8Limits::ArrayBufferAllocator::Allocate(std::size_t length)
{
    if (!admit(length))
        return nullptr;
    void* data = std::calloc(length == 0 ? 1 : length, 1);
    if (data == nullptr)
        allocated.fetch_sub(length, std::memory_order_relaxed);
    return data;
}

void* V8Limits::ArrayBufferAllocator::AllocateUninitialized(std::size_t length)
{
    if (!admit(length))
        return nullptr;
    void* data = std::malloc(length == 0 ? 1 : length);
    if (data == nullptr)
        allocated.fetch_sub(length, std::memory_order_relaxed);
    return data;
}

void V8Limits::ArrayBufferAllocator::Free(void* data, std::size_t length)
{
    std::free(data);
    allocated.fetch_sub(length, std::memory_order_relaxed);
}

std::size_t V8Limits::ArrayBufferAllocator::allocatedBytes() const
{
    return allocated.load(std::memory_order_relaxed);
}

}  // namespace qor::format::engine::javascript

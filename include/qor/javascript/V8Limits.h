#pragma once

#include <qor/javascript/Export.h>

#include <v8-array-buffer.h>
#include <v8-isolate.h>
#include <v8-platform.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace qor::format::engine::javascript {

// Limits on what the scripts of one isolate may take: a heap limit, a time
// limit per library operation, and a stop that the host can pull from any
// thread.
//
// While a V8Limits lives, every library operation that runs JavaScript on its
// isolate (runJavaScriptSource, callJsFunction, callJsFunctionGetError,
// evaluateModule, addModule, performMicrotaskCheckpoint) is watched. When a
// limit or the host ends it, the operation returns its ordinary failure
// value: an Error of type Runtime from the operations that return
// std::expected; the empty handle, false or success == false from the others,
// with an Error whose message says the same left pending for the caller's
// v8::TryCatch. The message names the limit and its value ("The script ran
// longer than its time limit of 200 ms", "The script was stopped: the
// JavaScript heap reached its limit of 64 MB", "The script was stopped by the
// host"). No termination is left pending afterwards: the next operation on
// the isolate runs normally. Operations nested inside another one (a native
// function that calls back into the library) end with the outermost one.
//
// What the limits do not cover: native code the host calls from JavaScript
// runs to its end (the script stops once it returns); JavaScript the host runs
// through V8 directly is not timed; and some conditions V8 treats as fatal
// whatever the host does (an array of a billion elements, "invalid table
// size"): a host that must survive those runs the script in a process of its
// own.
//
// The library starts no thread for this: the time limit and the heap checks
// run as delayed tasks on V8's platform while an operation runs.
//
// Construct it on the isolate's thread after the isolate is created, and
// destroy it there before the isolate is disposed. It occupies the isolate's
// data slot kIsolateDataSlot.
class V8Limits {
public:
    // The isolate data slot (v8::Isolate::SetData) through which the library
    // finds an isolate's limits; slot 0 is left to the host.
    static constexpr std::uint32_t kIsolateDataSlot = 1;

    struct Settings {
        // Bytes of V8's heap plus ArrayBuffer memory (counted when the
        // isolate uses an ArrayBufferAllocator below). Zero: V8's own heap
        // limit, which then ends the script the same way instead of the
        // process.
        std::size_t heapLimitBytes = 0;

        // The longest one library operation may run, time paused in the
        // debugger not counted. Zero: no limit.
        std::chrono::milliseconds timeLimit{0};
    };

    // An ArrayBuffer allocator that counts what it holds, so that ArrayBuffer
    // memory is held under the heap limit: past it an allocation is refused,
    // and JavaScript sees V8's RangeError for a failed allocation. Give it to
    // the isolate (v8::Isolate::CreateParams::array_buffer_allocator) and to
    // V8Limits; it must outlive the isolate. Thread-safe, as V8 requires.
    class ArrayBufferAllocator final : public v8::ArrayBuffer::Allocator {
    public:
        QORJS_API ArrayBufferAllocator();
        QORJS_API ~ArrayBufferAllocator() override;

        QORJS_API void* Allocate(std::size_t length) override;
        QORJS_API void* AllocateUninitialized(std::size_t length) override;
        QORJS_API void Free(void* data, std::size_t length) override;

        // The bytes of the ArrayBuffers it holds now.
        QORJS_API std::size_t allocatedBytes() const;

    private:
        friend class V8Limits;
        friend class LimitedRun;
        bool admit(std::size_t length);

        std::atomic<std::size_t> allocated{0};
        // What the allocations may reach: the heap limit less the heap's
        // size at the last check. Set by V8Limits; unlimited without one.
        std::atomic<std::size_t> room{SIZE_MAX};
        // Allocations refused in a row in the running operation: V8 retries
        // each a few times after collections, so more than those retries
        // means a script that caught the RangeError and went on past its
        // limit. An allocation admitted starts the count again.
        std::atomic<unsigned> refusals{0};
    };

    // Watches `isolate` (entered on this thread) with `settings`, arming its
    // time limit on `platform` (V8Engine::getPlatform). `allocator`, when not
    // null, is the isolate's own ArrayBuffer allocator.
    QORJS_API V8Limits(v8::Isolate* isolate,
                       v8::Platform* platform,
                       Settings settings,
                       ArrayBufferAllocator* allocator = nullptr);

    // Removes the watch; the isolate's heap limit is V8's own again.
    QORJS_API ~V8Limits();

    V8Limits(const V8Limits&) = delete;
    V8Limits& operator=(const V8Limits&) = delete;

    // Ends the library operation running on the isolate now, as soon as V8
    // can stop it. Callable from any thread; does nothing while no operation
    // runs.
    QORJS_API void terminate();

    // The settings it was made with.
    QORJS_API Settings settings() const;

    struct State;

private:
    std::shared_ptr<State> state;
};

}  // namespace qor::format::engine::javascript

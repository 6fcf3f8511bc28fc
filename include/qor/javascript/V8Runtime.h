#pragma once

#include <qor/javascript/CodeCache.h>
#include <qor/javascript/Error.h>
#include <qor/javascript/Export.h>
#include <qor/javascript/ModuleSource.h>
#include <qor/javascript/Source.h>
#include <qor/javascript/V8Limits.h>

#include <v8-context.h>
#include <v8-function.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>
#include <v8-object.h>
#include <v8-promise.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// The levels of console output: log, info and debug go to standard output by
// default; warn, error, trace and failed asserts to standard error.
enum class ConsoleLevel { Log, Info, Debug, Warn, Error };

// Where console output goes: called with each message's level and its text
// (one or more lines, without the last line end), on the runtime's thread.
using ConsoleSink = std::function<void(ConsoleLevel level, std::string_view text)>;

// A ready JavaScript environment: an isolate with the engine's failure
// handlers and a counting ArrayBuffer allocator, its V8Limits, one context,
// an ES module loader, and, when asked for, timers and a console. The loop
// that runs promise jobs, timers and tasks posted from other threads runs on
// the host's thread, inside the calls below: the library starts no thread.
//
// Make, use and destroy it on one thread. Every step it runs (a script, a
// module's evaluation, a timer callback, a posted task, promise jobs) is
// watched by its limits on its own. The isolate and context stay the host's
// to use with V8 and the V8Engine operations; the runtime takes the
// isolate's data slot 2 (V8Limits takes slot 1) and its hooks for import(),
// import.meta and promise rejections.
//
// Records the runtime returns carry, in `detail`, the URL of the script V8
// places the failure in, when it names one.
class V8Runtime {
public:
    // The library's own: what the runtime is made of, and what its loop
    // shares with other threads.
    struct State;
    struct Shared;

    struct Settings {
        // The limits every step runs under. Zero: V8's own heap limit (which
        // then stops a script instead of ending the process), no time limit.
        V8Limits::Settings limits;

        // setTimeout, setInterval, clearTimeout, clearInterval and
        // queueMicrotask on the global object.
        bool timers = false;

        // console.log and the rest, formatting values as inspect() does, with
        // log/info/debug/warn/error, dir, table, trace, assert, count,
        // countReset, group, groupCollapsed, groupEnd, time, timeLog and
        // timeEnd. An attached inspector still sees every call.
        bool console = false;

        // Where the console writes; empty: standard output and error.
        ConsoleSink consoleSink;

        // Where modules come from; empty members: fileModules()'s.
        ModuleSource modules;

        // Told of each promise rejected without a handler once the jobs of a
        // turn have run: true lets the run go on, false fails it with this
        // record. Empty: every such rejection fails the run.
        std::function<bool(const Error& rejection)> onUnhandledRejection;
        // Where compiled code is cached for the scripts (runScript with a
        // file name) and the modules (file: URLs) the runtime runs: an entry
        // is used when it matches the text, V8 and its flags, and written
        // when a source had none, once it has run. Empty: no cache.
        std::shared_ptr<CompileCache> compileCache;
    };

    // A scope for the host's own V8 work on the runtime: enters its isolate
    // and context on this thread and opens a v8::HandleScope, in which the
    // handles the runtime returns live. The calls below that return handles
    // need one open.
    class Scope {
    public:
        QORJS_API explicit Scope(V8Runtime& runtime);
        QORJS_API ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        v8::Isolate::Scope isolateScope;
        v8::HandleScope handleScope;
        v8::Context::Scope contextScope;
    };

    // Holding one keeps the loop waiting for the host's work after nothing
    // else is left (runLoop returns only once every KeepAlive is gone).
    // Movable; may be released on any thread, also after the runtime is gone.
    class KeepAlive {
    public:
        KeepAlive() = default;
        QORJS_API KeepAlive(KeepAlive&& other) noexcept;
        QORJS_API KeepAlive& operator=(KeepAlive&& other) noexcept;
        QORJS_API ~KeepAlive();

        // Lets go now, as the destructor does.
        QORJS_API void release();

    private:
        friend class V8Runtime;
        std::shared_ptr<Shared> shared;
    };

    // What other threads hold of a runtime. Copyable; every member is
    // thread-safe and does nothing once the runtime is gone.
    class Remote {
    public:
        // Queues `task` to run on the runtime's thread, in the order posted,
        // the next time the loop runs, under the runtime's limits; a waiting
        // loop wakes for it. False when the runtime is gone: the task is
        // dropped unrun.
        QORJS_API bool post(std::function<void(V8Runtime&)> task) const;

        // A KeepAlive; an empty one when the runtime is gone.
        QORJS_API KeepAlive keepAlive() const;

        // Stops the step running now, as V8Limits::terminate does; nothing
        // while no step runs.
        QORJS_API void terminate() const;

    private:
        friend class V8Runtime;
        std::shared_ptr<Shared> shared;
    };

    // Starts the engine if it is not running yet (V8Engine::get, which throws
    // std::logic_error once V8 was shut down) and makes the environment.
    QORJS_API explicit V8Runtime(Settings settings);
    QORJS_API V8Runtime();

    // Drops what the loop still holds (timers, posted tasks unrun), then
    // disposes of the context and the isolate. Posting fails from then on.
    QORJS_API ~V8Runtime();

    V8Runtime(const V8Runtime&) = delete;
    V8Runtime& operator=(const V8Runtime&) = delete;

    // ---- What stays reachable ---------------------------------------------

    QORJS_API v8::Isolate* isolate() const;

    // The runtime's context, in the caller's v8::HandleScope.
    QORJS_API v8::Local<v8::Context> context() const;

    QORJS_API V8Limits& limits();

    // The handle other threads use; see Remote.
    QORJS_API Remote remote() const;

    // ---- Running code -------------------------------------------------------
    // Each returns handles in the caller's Scope, and a failure as an Error:
    // Compile or Runtime for what JavaScript raised, Runtime for a stop by a
    // limit or the host, Other for what is no exception (a promise that
    // nothing left to run can settle). No exception stays pending.

    // Runs a classic script (source.isModule false), then its promise jobs.
    // Its completion value; a queueMicrotask callback that threw is left for
    // the loop to report.
    QORJS_API std::expected<v8::Local<v8::Value>, Error> runScript(const Source& source);

    // Loads the module at `url` through the module source, with what it
    // imports, evaluates it and waits for its top-level await as await()
    // does. Its namespace object. A module that fails to load or link gives
    // an Error of V8's type whose message names the import that failed.
    QORJS_API std::expected<v8::Local<v8::Object>, Error> runModule(std::string_view url);

    // As runModule, for the file at `file` (relative to the working
    // directory), whatever the module source.
    QORJS_API std::expected<v8::Local<v8::Object>, Error> runModuleFile(const std::filesystem::path& file);

    // As runModule, for module text the host has, known by `url`; its
    // imports resolve against `url`. A URL loaded already is that module:
    // the text is not compiled again.
    QORJS_API std::expected<v8::Local<v8::Object>, Error> runModuleText(std::string_view code, std::string_view url);

    // Calls `function` with `receiver` (undefined when empty) and
    // `arguments` under the limits, then runs the promise jobs. What it
    // returns.
    QORJS_API std::expected<v8::Local<v8::Value>, Error> call(v8::Local<v8::Function> function,
                                                              const std::vector<v8::Local<v8::Value>>& arguments = {},
                                                              v8::Local<v8::Value> receiver = {});

    // Calls the function at the dotted `path` below the global object, as
    // V8Engine::callJsFunction finds it. A path that names no function is a
    // Runtime Error "<path> is not a function".
    QORJS_API std::expected<v8::Local<v8::Value>, Error> call(std::string_view path,
                                                              const std::vector<v8::Local<v8::Value>>& arguments = {});

    // The settled value of `value`: a promise is waited for while the loop
    // runs promise jobs, timers and posted tasks; anything else is its own
    // value. A rejection is an Error with the reason's message and stack; a
    // failure of the loop meanwhile (see runLoop) is that failure.
    QORJS_API std::expected<v8::Local<v8::Value>, Error> await(v8::Local<v8::Value> value);

    // ---- The loop -----------------------------------------------------------

    // Runs promise jobs, V8's tasks, posted tasks and timers, sleeping until
    // the next is due, until nothing is left to run and no KeepAlive is held.
    // Stops at the first failure, with its record: a timer callback or task
    // that threw, an unhandled rejection (see Settings), a step stopped by a
    // limit or the host (the timers are then dropped: the program is over).
    // The runtime stays usable; a later call goes on with what is left.
    QORJS_API std::expected<void, Error> runLoop();

    // As runLoop, but only what is due now: no waiting.
    QORJS_API std::expected<void, Error> runReady();

    // When the next timer is due; none when no timer is set.
    QORJS_API std::optional<std::chrono::steady_clock::time_point> nextTimerDue() const;

    // ---- Values ----------------------------------------------------------

    // `value` as a console shows it ("Map(1) { 1 => 2 }", "[ 1, 'two' ]",
    // "'text'"), without running the value's own code (getters, proxy traps,
    // toString). Needs the runtime's Scope.
    QORJS_API std::string inspect(v8::Local<v8::Value> value);

    // `error` as a developer reads it, under the URL of its script (its
    // `detail`, else `url`), the column counted from 1:
    //
    //   file:///app/main.js:3:7: TypeError: boom
    //   let x = fail();
    //           ^^^^^^
    //       at fail (file:///app/main.js:1:23)
    //
    // The source line and carets only where the record has a position; the
    // stack's frames without its first line, which repeats the message.
    QORJS_API static std::string describe(const Error& error, std::string_view url = {});

private:
    // How the isolate is made: fresh, to make a startup snapshot, or from one
    // (StartupSnapshot.h, which alone makes the latter two).
    struct Making;
    friend struct SnapshotAccess;
    V8Runtime(Settings settings, const Making& making);

    std::unique_ptr<State> state;
};

}  // namespace qor::format::engine::javascript

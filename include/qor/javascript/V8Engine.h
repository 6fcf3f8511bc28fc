#pragma once

#include <qor/javascript/Error.h>
#include <qor/javascript/Export.h>
#include <qor/javascript/Source.h>
#include <qor/javascript/V8FuncResult.h>
#include <qor/log/QorLog.h>

#include <v8-context.h>
#include <v8-function.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>
#include <v8-platform.h>
#include <v8-script.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// The process-wide V8 engine: flags, startup snapshot, default platform and
// V8's initialisation, plus the failure handlers and the script operations.
//
// The script operations are static and use no engine state. Their callers
// have entered the isolate on the calling thread and hold a v8::HandleScope,
// in which every returned handle lives; those that use the current context
// need one entered.
class V8Engine {
public:
    // ---- Lifetime and settings -------------------------------------------

    // The engine, started on first use: sets the flag --expose-gc, loads the
    // startup snapshot (see setSnapshotBlobPath), creates V8's default
    // platform and initialises V8. Make the first call from one thread before
    // any other thread uses the library.
    // Throws std::logic_error after reset() has shut V8 down: V8 cannot be
    // started twice in one process.
    QORJS_API static V8Engine& get();

    // Shuts V8 down and destroys the engine, if there is one; otherwise does
    // nothing. Call it only when every isolate is gone. V8 cannot be started
    // again in this process afterwards.
    QORJS_API static void reset();

    // Shuts V8 down: disposes of V8, then of the platform. Run by reset() or
    // when the library is unloaded; the engine is never deleted by the host.
    QORJS_API ~V8Engine();
    V8Engine(const V8Engine&) = delete;
    V8Engine& operator=(const V8Engine&) = delete;

    // The platform V8 runs on, owned by the engine (pass it to V8Debugger).
    // Invalid once reset() has run.
    QORJS_API v8::Platform* getPlatform();

    // The snapshot file the next start-up reads; empty means
    // "snapshot_blob.bin". Passed to V8 unchanged; no effect on a running
    // engine.
    QORJS_API static void setSnapshotBlobPath(std::filesystem::path path);

    // A port the host keeps for its debugger (9005 until set). The library
    // itself does not read it: V8Debugger::execute takes its port.
    QORJS_API void setWebSocketPort(unsigned short port);
    QORJS_API unsigned short getWebSocketPort() const;

    // ---- Failure handlers --------------------------------------------------
    // Install these on each isolate with V8's setters. Each writes one record
    // to the logger named "V8" (nothing when there is none) and returns.

    // Level 4: "Fatal error: Location <location>, Message <message>".
    QORJS_API static void fatalError(const char* location, const char* message);

    // Level 3: "Heap oome error: <location>" or "Oome error: <location>".
    QORJS_API static void oomeError(const char* location, bool isHeapOom);

    // Level 0: "<name> <status>".
    QORJS_API static void logEvent(const char* name, int status);

    // Level 4: "Uncaucht exception". Returns false: V8 does not abort.
    QORJS_API static bool abortOnUncaughtException(v8::Isolate* isolate);

    // The logger named "V8", looked up once per process and held weakly:
    // empty when the service had none at the first call or has dropped it.
    QORJS_API static std::shared_ptr<qor::log::LoggerInterface> getLogger();

    // Level 3: `message` as it is.
    QORJS_API static void sendErrorToLog(std::string_view message);

    // ---- Classic scripts ---------------------------------------------------

    // Compiles and runs `source` (isModule false) in the current context.
    // The completion value, or an Error of type Compile or Runtime; no
    // exception stays pending either way.
    QORJS_API static std::expected<v8::Local<v8::Value>, Error> runJavaScriptSource(v8::Isolate* isolate,
                                                                                    const Source& source);

    // ---- Modules -----------------------------------------------------------
    // The library keeps no module table and opens no v8::TryCatch: on failure
    // the exception V8 raised stays pending for the caller's own v8::TryCatch.
    // Misuse that V8 would answer by ending the process (a Source that is not
    // a module, a null resolver for a module with imports, evaluating a module
    // that is not linked) is refused the same way, with an Error pending.

    // Compiles `source` (isModule true) under its file: URL; each call
    // compiles anew. An empty handle when it does not compile.
    QORJS_API static v8::Local<v8::Module> loadModule(v8::Local<v8::Context> context, const Source& source);

    // Links `module`; V8 calls `resolver` for each import of the graph, with
    // V8's own arguments, and an empty handle from it fails the link: its
    // exception stays pending, or, when it raised none, an Error naming the
    // specifier (V8 would end the process there). False when linking fails
    // or `module` is empty.
    QORJS_API static bool instantiateModule(v8::Local<v8::Module> module,
                                            v8::Local<v8::Context> context,
                                            v8::Module::ResolveModuleCallback resolver);

    // Evaluates a linked module: V8's result (a promise for the evaluation,
    // rejected when it throws, pending while top-level await waits), or an
    // empty handle. Promise jobs run as the isolate's microtask policy says.
    QORJS_API static v8::Local<v8::Value> evaluateModule(v8::Local<v8::Module> module,
                                                         v8::Local<v8::Context> context);

    // Compiles, links and evaluates; true when it compiled and linked, whether
    // or not the evaluation threw. The module handle is not returned.
    QORJS_API static bool addModule(v8::Local<v8::Context> context,
                                    const Source& source,
                                    v8::Module::ResolveModuleCallback resolver);

    // ---- Functions and properties -------------------------------------------
    // A path is split at "."; an empty path names nothing, a leading "." or
    // two in a row read the property named "", a trailing "." is ignored.
    // Nothing is cached: every call resolves the path again.

    // The function at the dotted `path` below `object` ("a.b.f"), or an empty
    // handle: nothing there, a value on the way that is not an object, or a
    // last value that is not a function. Property reads run getters and proxy
    // traps; one that throws ends the walk with an empty handle and the
    // exception pending.
    QORJS_API static v8::Local<v8::Function> getFunction(v8::Local<v8::Object> object,
                                                         v8::Local<v8::Context> context,
                                                         std::string_view path);

    // Whether getFunction finds a function (a throwing read leaves its
    // exception pending, as there).
    QORJS_API static bool jsFunctionExists(v8::Local<v8::Object> object,
                                           v8::Local<v8::Context> context,
                                           std::string_view path);

    // Calls the function at `path` with `this` undefined (not the object it
    // was found on: sloppy functions see the global object) and `arguments`
    // in order, each a non-empty handle. success is false when no function is found or the call
    // returns nothing; a throw, in the lookup or the call, stays pending.
    // Throws V8Microsoft on Windows when a structured exception is raised
    // inside the call.
    QORJS_API static V8FuncResult callJsFunction(v8::Local<v8::Object> object,
                                                 v8::Local<v8::Context> context,
                                                 std::string_view path,
                                                 std::vector<v8::Local<v8::Value>>& arguments);

    // As callJsFunction, but an exception thrown by the lookup or the call is
    // returned as an Error of type Runtime and does not stay pending. A
    // missing function is not an error: success is false.
    QORJS_API static std::expected<V8FuncResult, Error> callJsFunctionGetError(
        v8::Local<v8::Object> object,
        v8::Local<v8::Context> context,
        std::string_view path,
        std::vector<v8::Local<v8::Value>>& arguments);

    // The enumerable string-keyed property names of `object` and its
    // prototypes, array indices included, in V8's order, read with the
    // current context. Names that cannot be read are skipped; an exception
    // raised on the way (a proxy trap) stays pending.
    QORJS_API static std::vector<std::string> getPropertyNames(v8::Local<v8::Object> object, v8::Isolate* isolate);

    // ---- Promise jobs ------------------------------------------------------

    // Runs the isolate's queued promise jobs (v8::Isolate::
    // PerformMicrotaskCheckpoint) under its V8Limits, if it has any. An Error
    // of type Runtime only when a limit or the host stopped them; the jobs
    // still queued then are dropped. A job's own exception goes where V8
    // sends it (the promise it rejects), not here.
    QORJS_API static std::expected<void, Error> performMicrotaskCheckpoint(v8::Isolate* isolate);

    // ---- Temporary script files --------------------------------------------

    // Writes `script`, byte for byte, to the next of a hundred numbered files
    // ("QorScript01.js" first, then on to "QorScript99.js", "QorScript00.js"
    // and round again, rewriting what is there) in the temporary directory
    // and returns its path. Threads calling at once get different numbers.
    // On POSIX the directory is the one std::filesystem::temp_directory_path
    // names (TMPDIR and its kin, else /tmp); a symbolic link at the name is
    // not followed, a new file is readable and writable by its owner only,
    // and a file of another user, a hard-linked file or anything but a
    // regular file is refused untouched. Throws
    // std::filesystem::filesystem_error (a std::system_error) naming the path
    // when the file cannot be opened (a missing directory included), written
    // or closed. Does not need a running engine.
    QORJS_API static std::filesystem::path writeToTempFile(std::string_view script);

private:
    V8Engine();

    std::unique_ptr<v8::Platform> platform;
    std::uint16_t webSocketPort = 9005;
};

}  // namespace qor::format::engine::javascript

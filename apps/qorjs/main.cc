// qorjs: runs a JavaScript file in V8 through QorJavaScript.
//
// The whole host in a few steps: start the engine, register a logger for V8's
// own failures, make an isolate with the engine's failure handlers and a
// context with print and console, run the program, report what went wrong.

#include "Console.h"
#include "Inspect.h"
#include "ModuleLoader.h"
#include "Options.h"
#include "Program.h"
#include "Repl.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-array-buffer.h>
#include <v8-initialization.h>
#include <v8-isolate.h>

#include <chrono>
#include <cstddef>
#include <iostream>
#include <memory>
#include <optional>

#ifdef _WIN32
#include <cstdio>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace js = qor::format::engine::javascript;

namespace {

bool standardInputIsTerminal()
{
#ifdef _WIN32
    return ::_isatty(::_fileno(stdin)) != 0;
#else
    return ::isatty(STDIN_FILENO) != 0;
#endif
}

// Owns an isolate; disposes of it on every way out.
struct IsolateDeleter {
    void operator()(v8::Isolate* isolate) const { isolate->Dispose(); }
};
using IsolatePtr = std::unique_ptr<v8::Isolate, IsolateDeleter>;

IsolatePtr newIsolate(v8::ArrayBuffer::Allocator* allocator)
{
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = allocator;
    IsolatePtr isolate(v8::Isolate::New(params));
    isolate->SetFatalErrorHandler(js::V8Engine::fatalError);
    isolate->SetOOMErrorHandler(js::V8Engine::oomeError);
    isolate->SetAbortOnUncaughtExceptionCallback(js::V8Engine::abortOnUncaughtException);
    isolate->SetEventLogger(js::V8Engine::logEvent);
    return isolate;
}

// The run's limits. Always there, so that a runaway allocation ends with a
// record at V8's own heap limit rather than with the process.
js::V8Limits::Settings limitSettings(const qorjs::Options& options)
{
    js::V8Limits::Settings settings;
    if (options.heapLimitMb)
        settings.heapLimitBytes = std::size_t{*options.heapLimitMb} << 20;
    if (options.timeLimitMs)
        settings.timeLimit = std::chrono::milliseconds{*options.timeLimitMs};
    return settings;
}

// `program` is empty for the REPL.
int runInFreshContext(const qorjs::Options& options,
                      const std::optional<qorjs::ProgramText>& program,
                      js::V8Engine& engine)
{
    js::V8Limits::ArrayBufferAllocator allocator;
    IsolatePtr isolate = newIsolate(&allocator);

    v8::Isolate::Scope isolateScope(isolate.get());
    js::V8Limits limits(isolate.get(), engine.getPlatform(), limitSettings(options), &allocator);
    v8::HandleScope handleScope(isolate.get());
    v8::Local<v8::Context> context = v8::Context::New(isolate.get());
    v8::Context::Scope contextScope(context);
    qorjs::installGlobals(context, options.scriptArguments);

    if (!program)
        return qorjs::runRepl(isolate.get(), engine.getPlatform());
    if (options.inspectPort)
        return qorjs::runUnderDebugger(options, *program, isolate.get(), engine.getPlatform());
    return qorjs::runProgram(options, *program, isolate.get(), engine.getPlatform());
}

int runQorjs(int argc, char** argv)
{
    auto options = qorjs::parseOptions(argc, argv);
    if (!options) {
        std::cerr << "qorjs: " << options.error() << " (try 'qorjs --help')" << std::endl;
        return qorjs::kExitUsage;
    }
    if (options->showHelp) {
        std::cout << qorjs::usage();
        return qorjs::kExitSuccess;
    }
    if (options->showVersion) {
        std::cout << "qorjs " << QORJAVASCRIPT_VERSION << " (QorJavaScript " << QORJAVASCRIPT_VERSION << ", V8 "
                  << v8::V8::GetVersion() << ")" << std::endl;
        return qorjs::kExitSuccess;
    }

    // Without a program: a user at a terminal gets the REPL, a pipe is read
    // as the program.
    const bool repl = !qorjs::hasProgram(*options) && standardInputIsTerminal();
    if (!qorjs::hasProgram(*options) && !repl)
        options->standardInput = true;
    if (repl && (options->callPath || options->inspectPort)) {
        std::cerr << "qorjs: " << (options->callPath ? "--call" : "--inspect")
                  << " needs a program to run (FILE, -e CODE or - for standard input) (try 'qorjs --help')"
                  << std::endl;
        return qorjs::kExitUsage;
    }
    std::optional<qorjs::ProgramText> program;
    if (!repl) {
        auto loaded = qorjs::loadProgram(*options);
        if (!loaded) {
            std::cerr << "qorjs: " << loaded.error() << std::endl;
            return qorjs::kExitUsage;
        }
        program = std::move(*loaded);
    }

    // V8's own failures go to standard error through the logger named "V8".
    qor::log::LogManager::instance().addLogger(
        std::make_shared<qor::log::StreamLogger>("V8", std::cerr, qor::log::kLevelError));

    qorjs::ModuleLoader::setEngineFlags();
    const int status = runInFreshContext(*options, program, js::V8Engine::get());
    js::V8Engine::reset();
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return runQorjs(argc, argv);
    } catch (const std::exception& error) {
        // Whatever went wrong outside the script: one line, never an abort.
        std::cerr << "qorjs: " << error.what() << std::endl;
        return qorjs::kExitScriptFailed;
    }
}

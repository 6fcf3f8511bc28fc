// qorjs: runs a JavaScript file in V8 through QorJavaScript.
//
// The whole host in a few steps: read the command line and the program,
// register a logger for V8's own failures, make the library's runtime (timers,
// a console, the limits asked for) with print and `arguments`, run the
// program, under the debugger if asked, or a REPL, and report what went wrong.
// The debugger's flags are handled here; the rest has a file each.

#include "Options.h"
#include "Program.h"
#include "Repl.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-initialization.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

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

// Called once the listener is bound, so a client that reacts to these lines
// finds the port open, and with port 0 it names the port the system chose.
void announceListening(unsigned short port)
{
    // One write, so the two lines reach a reader together.
    const std::string where = std::to_string(port);
    std::cerr << ("Debugger listening on ws://127.0.0.1:" + where + "\n" +
                  "To debug, open devtools://devtools/bundled/js_app.html?ws=127.0.0.1:" + where +
                  " in Chrome, or attach a DevTools-protocol client to the ws:// address above\n")
              << std::flush;
}

// Runs the program under the debugger: listens, and runs the program at once
// (--inspect) or once a client has asked for the run (--inspect-wait,
// --inspect-brk; a client that leaves before that makes it wait for the
// next). Clients may come and go meanwhile on the same port. A client still
// attached at the end is served until it leaves. The program's exit status,
// or kExitScriptFailed when the debugger cannot listen at all.
int runUnderDebugger(const qorjs::Options& options, const qorjs::ProgramText& program, qorjs::Run& run)
{
    js::V8Runtime::Scope scope(run.runtime);
    js::V8Debugger debugger(run.runtime.isolate(), js::V8Engine::get().getPlatform());
    debugger.setAllowedOrigins(options.allowedOrigins);
    debugger.setListeningCallback(announceListening);
    // What discovery calls the target: the script's file name, and its URL as
    // the debugger shows it in stack traces and the sources list.
    debugger.enableDiscovery(std::filesystem::path(program.fileName).filename().string(),
                             js::fileUrlFromPath(program.fileName));
    const auto port = debugger.listen(*options.inspectPort);
    if (!port) {
        std::cerr << "qorjs: cannot listen on 127.0.0.1:" << *options.inspectPort << ": " << port.error()
                  << std::endl;
        return qorjs::kExitScriptFailed;
    }
    debugger.serveInLoopOf(run.runtime);

    std::optional<int> status;
    const auto runIt = [&] { status = qorjs::runProgram(options, program, run); };
    if (!options.inspectWait)
        runIt();
    while (!status)
        debugger.execute(options.inspectBreak, runIt, {}, {}, *port);
    if (debugger.hasClient()) {
        std::cerr << "Waiting for the debugger to disconnect..." << std::endl;
        debugger.serveUntilDisconnected();
    }
    return *status;
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
    if (repl && (options->callPath || options->inspectPort || options->buildSnapshot)) {
        std::cerr << "qorjs: "
                  << (options->callPath ? "--call" : options->buildSnapshot ? "--build-snapshot" : "--inspect")
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

    std::optional<js::StartupSnapshot> snapshot;
    if (!options->snapshotBlob.empty() && !options->buildSnapshot) {
        auto read = js::StartupSnapshot::readFile(options->snapshotBlob);
        if (!read) {
            std::cerr << "qorjs: " << read.error().message << std::endl;
            return qorjs::kExitUsage;
        }
        snapshot = std::move(*read);
    }

    int status = qorjs::kExitSuccess;
    {
        qorjs::Run run(*options, snapshot ? &*snapshot : nullptr);
        if (!program)
            status = qorjs::runRepl(run);
        else if (options->inspectPort)
            status = runUnderDebugger(*options, *program, run);
        else
            status = qorjs::runProgram(*options, *program, run);
        if (options->buildSnapshot && status == qorjs::kExitSuccess) {
            if (auto failed = run.writeSnapshot(*options)) {
                std::cerr << "qorjs: " << *failed << std::endl;
                status = qorjs::kExitScriptFailed;
            }
        }
    }
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

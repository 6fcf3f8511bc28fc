// qorjs: runs a JavaScript file in V8 through QorJavaScript.
//
// The whole host in a few steps: read the command line and the program,
// register a logger for V8's own failures, make the library's runtime (timers,
// a console, the limits asked for) with print and `arguments`, run the
// program, under the debugger if asked, or a REPL, and report what went wrong.

#include "Inspect.h"
#include "Options.h"
#include "Program.h"
#include "Repl.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-initialization.h>

#include <iostream>
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

    int status = qorjs::kExitSuccess;
    {
        qorjs::Run run(*options);
        if (!program)
            status = qorjs::runRepl(run);
        else if (options->inspectPort)
            status = qorjs::runUnderDebugger(*options, *program, run);
        else
            status = qorjs::runProgram(*options, *program, run);
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

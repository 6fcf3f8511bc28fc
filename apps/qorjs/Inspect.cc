#include "Inspect.h"

#include <qor/javascript/QorJavaScript.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

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

}  // namespace

int runUnderDebugger(const Options& options, const ProgramText& program, Run& run)
{
    js::V8Runtime::Scope scope(run.runtime);
    js::V8Debugger debugger(run.runtime.isolate(), js::V8Engine::get().getPlatform());
    debugger.setAllowedOrigins(options.allowedOrigins);
    debugger.setListeningCallback(announceListening);
    // What discovery calls the target: the script's file name, and its URL as
    // the debugger shows it in stack traces and the sources list.
    debugger.enableDiscovery(std::filesystem::path(program.fileName).filename().string(),
                             js::fileUrlFromPath(program.fileName));

    std::optional<int> status;
    const auto runIt = [&] { status = runProgram(options, program, run); };
    while (!status) {
        // Only a client that came and went before the run is worth waiting
        // for again; a listener that could not open would fail the same way.
        bool clientLeft = false;
        debugger.execute(options.inspectBreak, runIt, {}, [&] { clientLeft = true; },
                         *options.inspectPort);
        if (!status && !clientLeft)
            return kExitScriptFailed;
    }
    return *status;
}

}  // namespace qorjs

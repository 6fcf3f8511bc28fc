#include "Inspect.h"

#include <qor/javascript/V8Debugger.h>

#include <iostream>
#include <optional>
#include <string>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// The library calls this just before it opens the listener, so a client that
// reacts to these lines may have to retry its first connect for a moment.
bool announceListening(unsigned short port)
{
    // One write, so the two lines reach a reader together.
    const std::string where = std::to_string(port);
    std::cerr << ("Debugger listening on ws://127.0.0.1:" + where + "\n" +
                  "To debug, open devtools://devtools/bundled/js_app.html?ws=127.0.0.1:" + where +
                  " in Chrome, or attach a DevTools-protocol client to the ws:// address above\n")
              << std::flush;
    return true;
}

}  // namespace

int runUnderDebugger(const Options& options, const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform)
{
    js::V8Debugger debugger(isolate, platform);
    debugger.setAllowedOrigins(options.allowedOrigins);

    std::optional<int> status;
    const auto run = [&] { status = runProgram(options, program, isolate, platform); };
    while (!status) {
        // Only a client that came and went before the run is worth waiting
        // for again; a listener that could not open would fail the same way.
        bool clientLeft = false;
        debugger.execute(options.inspectBreak, run, announceListening, [&] { clientLeft = true; },
                         *options.inspectPort);
        if (!status && !clientLeft)
            return kExitScriptFailed;
    }
    return *status;
}

}  // namespace qorjs

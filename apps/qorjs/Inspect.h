#pragma once

#include "Options.h"
#include "Program.h"

#include <v8-isolate.h>
#include <v8-platform.h>

namespace qorjs {

// Runs the program under the debugger (--inspect, --inspect-brk) in the
// entered context: announces where it listens, waits for a DevTools client
// and runs the program once the client is ready. A client that goes away or
// is refused before the run makes it listen again; Ctrl-C ends the wait.
// Returns the program's exit status, or kExitScriptFailed when the debugger
// cannot listen at all.
int runUnderDebugger(const Options& options, const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform);

}  // namespace qorjs

#pragma once

#include "Program.h"

namespace qorjs {

// Runs the program under the debugger (--inspect, --inspect-brk): announces
// where it listens, waits for a DevTools client and runs the program once the
// client is ready. A client that goes away or is refused before the run makes
// it listen again; Ctrl-C ends the wait. Returns the program's exit status,
// or kExitScriptFailed when the debugger cannot listen at all.
int runUnderDebugger(const Options& options, const ProgramText& program, Run& run);

}  // namespace qorjs

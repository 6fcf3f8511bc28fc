#pragma once

#include "Program.h"

namespace qorjs {

// The interactive loop of a bare `qorjs` on a terminal, on `run`'s runtime:
// reads input with line editing, runs each complete input as a
// classic script and prints its value as a console shows it, or its error as
// a script's error is printed, and goes on. Input that V8 finds cut short (an
// open brace, an unfinished template) is continued on the next line. Timers
// fire while it waits for input. History is kept in ~/.qorjs_history.
// ".exit" or Ctrl-D ends it; Ctrl-C drops the line being typed. Returns the
// exit status.
int runRepl(Run& run);

}  // namespace qorjs

#pragma once

#include <v8-isolate.h>
#include <v8-platform.h>

namespace qorjs {

// The interactive loop of a bare `qorjs` on a terminal, in the entered
// context: reads input with line editing, runs each complete input as a
// classic script and prints its completion value as -p does, or its error as
// a script's error is printed, and goes on. Input that V8 finds cut short (an
// open brace, an unfinished template) is continued on the next line. Timers
// fire while it waits for input. History is kept in ~/.qorjs_history.
// ".exit" or Ctrl-D ends it; Ctrl-C drops the line being typed. Returns the
// exit status.
int runRepl(v8::Isolate* isolate, v8::Platform* platform);

}  // namespace qorjs

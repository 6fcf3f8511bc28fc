#pragma once

#include "EventLoop.h"
#include "Jobs.h"
#include "ModuleLoader.h"

#include <v8-isolate.h>
#include <v8-platform.h>

#include <string>
#include <string_view>

namespace qorjs {

// What the REPL does with the lines it reads, whichever way it reads them
// (libedit on a POSIX terminal, plain lines on Windows): it keeps the input
// that is not complete yet, runs each complete input as a classic script in
// the entered context, prints its completion value as -p does or its error
// as a script's error is printed, and reports what a turn left behind (a
// timer or microtask that threw, a rejection nothing handled).
class ReplSession {
public:
    // In the entered context of `isolate`; import() typed at the prompt
    // resolves against the working directory, as in -e code.
    ReplSession(v8::Isolate* isolate, v8::Platform* platform);
    ReplSession(const ReplSession&) = delete;
    ReplSession& operator=(const ReplSession&) = delete;

    // True while earlier lines wait for the rest of their input: the prompt
    // shows that the input goes on.
    bool continuing() const { return !input.empty(); }

    // True when `line` asks to leave (".exit" at the start of an input).
    bool asksToLeave(std::string_view line) const;

    // Adds `line` (as read, with its newline) to the input and runs the
    // input once it is complete. Input that V8 finds cut short (an open
    // brace, an unfinished template) waits for more; an empty line runs a
    // token that only might go on (a string continued with a backslash).
    void feed(const std::string& line);

    // Drops the input typed so far (Ctrl-C).
    void abandonInput() { input.clear(); }

    // The timers and the turn they make, for a reader that waits for input.
    EventLoop& timers() { return loop; }

    // Runs the timers that are due and reports what their turn left behind.
    void runDueTimers();

private:
    void reportAfterTurn();

    v8::Isolate* isolate;
    std::string fileName;
    std::string url;
    UnhandledRejections rejections;
    ModuleLoader loader;
    EventLoop loop;
    std::string input;
};

// The text of `text` without the blanks and line ends around it.
std::string_view trimmed(std::string_view text);

}  // namespace qorjs

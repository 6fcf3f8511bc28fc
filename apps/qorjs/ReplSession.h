#pragma once

#include "Program.h"

#include <string>
#include <string_view>

namespace qorjs {

// What the REPL does with the lines it reads, whichever way it reads them
// (libedit on a POSIX terminal, plain lines on Windows): it keeps the input
// that is not complete yet, runs each complete input as a classic script,
// prints its value as a console shows it or its error as a script's error is
// printed, and reports what a turn left behind (a timer or microtask that
// threw, a rejection nothing handled).
class ReplSession {
public:
    // On `run`'s runtime; import() typed at the prompt resolves against the
    // working directory, as in -e code.
    explicit ReplSession(Run& run);
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

    // When the next timer is due, for a reader that waits for input.
    std::optional<std::chrono::steady_clock::time_point> nextTimerDue() const { return run.runtime.nextTimerDue(); }

    // Runs the timers that are due and reports what their turn left behind.
    void runDueTimers();

private:
    Run& run;
    std::string fileName;
    std::string input;
};

// The text of `text` without the blanks and line ends around it.
std::string_view trimmed(std::string_view text);

}  // namespace qorjs

#include "Repl.h"

// The REPL on Windows: plain lines from the console, without libedit's
// editing and history (libedit is a POSIX library). The console's own line
// editing (arrows, F7's list of lines typed this session) still applies.
// Timers that fall due while the user types fire once the line is entered.
#ifdef _WIN32

#include "ReplSession.h"

#include <iostream>
#include <string>

namespace qorjs {

int runRepl(Run& run)
{
    ReplSession repl(run);
    std::string line;
    for (;;) {
        std::cout << (repl.continuing() ? "... " : "> ") << std::flush;
        if (!std::getline(std::cin, line)) {
            std::cout << std::endl;  // Ctrl-Z then Enter ends the input
            break;
        }
        repl.runDueTimers();
        line += '\n';
        if (repl.asksToLeave(line))
            break;
        repl.feed(line);
    }
    return kExitSuccess;
}

}  // namespace qorjs

#endif  // _WIN32

// The qorjs REPL on a pseudo-terminal: what a user types and what the
// terminal shows, the history kept across sessions, and the ways out.
#include "support/QorjsRun.h"

#include <gmock/gmock.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace ::testing;
using namespace std::chrono_literals;

// qorjs started on the terminal side of a pseudo-terminal, with `home` as its
// home and working directory.
class Terminal {
public:
    explicit Terminal(const fs::path& home)
    {
        child = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (child == 0) {
            ::setenv("HOME", home.c_str(), 1);
            ::setenv("TERM", "dumb", 1);
            if (::chdir(home.c_str()) == 0)
                ::execl(QORJS_BINARY, QORJS_BINARY, static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Terminal()
    {
        if (child > 0 && !exited) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        if (master >= 0)
            ::close(master);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool started() const { return child > 0; }

    void type(std::string_view keys) const
    {
        while (!keys.empty()) {
            const ssize_t written = ::write(master, keys.data(), keys.size());
            if (written <= 0)
                return;
            keys.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    // Reads until `text` has appeared after what earlier waits consumed;
    // false after ten seconds without it.
    bool waitFor(const std::string& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            if (auto at = screen.find(text, consumed); at != std::string::npos) {
                consumed = at + text.size();
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms)
                return false;
            pollfd readable{master, POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char block[4096];
            const ssize_t count = ::read(master, block, sizeof block);
            if (count <= 0)
                return false;  // the child has gone
            screen.append(block, static_cast<std::size_t>(count));
        }
    }

    // The exit status once qorjs has ended by itself (within ten seconds);
    // -1 otherwise.
    int exitStatus()
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) == child) {
                exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            // Keeps reading, so that qorjs is never blocked writing.
            pollfd readable{master, POLLIN, 0};
            char block[4096];
            const ssize_t count = ::poll(&readable, 1, 50) > 0 ? ::read(master, block, sizeof block) : 0;
            if (count > 0)
                screen.append(block, static_cast<std::size_t>(count));
        }
        return -1;
    }

    const std::string& everything() const { return screen; }

private:
    int master = -1;
    pid_t child = -1;
    bool exited = false;
    std::string screen;
    std::size_t consumed = 0;
};

struct Step {
    std::string keys;
    std::string shows;  // what the terminal shows afterwards, or "" to check nothing
};

class Repl : public Test {
protected:
    void play(Terminal& terminal, const std::vector<Step>& steps) const
    {
        ASSERT_TRUE(terminal.started());
        ASSERT_TRUE(terminal.waitFor("> "));
        for (const Step& step : steps) {
            SCOPED_TRACE("typed " + step.keys);
            terminal.type(step.keys);
            if (!step.shows.empty()) {
                ASSERT_TRUE(terminal.waitFor(step.shows)) << terminal.everything();
            }
        }
    }

    qorjs::test::ScratchDirectory scratch;
    const fs::path& home = scratch.path();
};

TEST_F(Repl, PrintsValuesAndErrorsContinuesUnfinishedInputAndLeavesOnExit)
{
    const std::string url = "file://" + (home / "[repl]").string();
    std::ofstream(home / "answer.mjs") << "export const answer = 42;\n";
    Terminal terminal(home);
    // Each step waits for the next prompt, as a user does; typing ahead is
    // another case, at the end.
    play(terminal, {
                       {"1 + 2\r", "\r\n3\r\n> "},
                       {"nope\r", url + ":1:1: ReferenceError: nope is not defined\r\n"},
                       {"", "> "},
                       {"6 * 7\r", "\r\n42\r\n> "},
                       {"function twice(x) {\r", "... "},
                       {"return 2 * x;\r", "... "},
                       {"}\r", "undefined\r\n> "},
                       {"twice(50)\r", "\r\n100\r\n> "},
                       {"`a\r", "... "},
                       {"b`.length\r", "\r\n3\r\n> "},
                       // Ctrl-C drops the line: it never runs.
                       {"print('drop' + 'ped')\x03", "^C\r\n> "},
                       {"'kept'\r", "\r\nkept\r\n> "},
                       // import() resolves against the working directory, as in -e code.
                       {"import('./answer.mjs').then(m => print('got', m.answer))\r", "got 42"},
                       // A timer fires while the REPL waits for input.
                       {"setTimeout(() => print('tim' + 'er'), 20)\r", "timer"},
                       {"Promise.reject(new Error('lost'))\r", "a promise was rejected and nothing handled it"},
                       {"", "> "},
                       // Typed while an input still runs, Ctrl-C drops the line all the same.
                       {"const t0 = Date.now(); while (Date.now() < t0 + 300) {}\rprint('drop' + 'ped too')\x03", "^C"},
                       {"'still here'\r", "\r\nstill here\r\n> "},
                       {".exit\r", ""},
                   });
    EXPECT_EQ(terminal.exitStatus(), 0);
    EXPECT_THAT(terminal.everything(), Not(HasSubstr("dropped")));
}

TEST_F(Repl, KeepsTheHistoryAcrossSessionsAndLeavesOnCtrlD)
{
    {
        Terminal first(home);
        play(first, {{"[1, 2].join('+')\r", "1+2\r\n> "}, {".exit\r", ""}});
        EXPECT_EQ(first.exitStatus(), 0);
    }
    EXPECT_THAT(std::ifstream(home / ".qorjs_history").good(), IsTrue());
    EXPECT_EQ(fs::status(home / ".qorjs_history").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    Terminal second(home);
    // Up recalls the line of the last session. Ctrl-D on an empty line
    // leaves, also when it is typed while an input still runs.
    play(second, {{"\x1b[A\r", "1+2\r\n> "}, {"const t0 = Date.now(); while (Date.now() < t0 + 300) {}\r", ""}});
    std::this_thread::sleep_for(100ms);
    second.type("\x04");
    EXPECT_EQ(second.exitStatus(), 0);
}

}  // namespace

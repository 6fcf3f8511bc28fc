#include "Repl.h"

// The REPL on a POSIX terminal: libedit reads the lines, with editing and a
// history. Windows has its own reader (ReplWindows.cc).
#ifndef _WIN32

#include "ReplSession.h"

#include <histedit.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qorjs {

namespace {

struct EditLineDeleter {
    void operator()(EditLine* editor) const { el_end(editor); }
};
struct HistoryDeleter {
    void operator()(History* history) const { history_end(history); }
};

// What the editor's callbacks reach through its client data.
struct Session {
    ReplSession* repl = nullptr;
    bool abandoned = false;
    std::mbstate_t decoding{};
};

Session& sessionOf(EditLine* editor)
{
    void* data = nullptr;
    el_get(editor, EL_CLIENTDATA, &data);
    return *static_cast<Session*>(data);
}

char* prompt(EditLine* editor)
{
    static char first[] = "> ";
    static char more[] = "... ";
    return sessionOf(editor).repl->continuing() ? more : first;
}

// Bound to Ctrl-C (the terminal's interrupt is off while the line is being
// edited): ends the line so that the caller drops it.
unsigned char abandonLine(EditLine* editor, int)
{
    sessionOf(editor).abandoned = true;
    return CC_NEWLINE;
}

// Set by SIGINT while a line is being read. The terminal's interrupt key is
// off while libedit edits, but libedit leaves the terminal as it is when
// input is already waiting (typed ahead during a long evaluation), and then
// Ctrl-C arrives as a signal.
volatile std::sig_atomic_t interrupted = 0;

void noteInterrupt(int)
{
    interrupted = 1;
}

// Catches SIGINT while it lives; an evaluation runs without it, so Ctrl-C
// still ends a script that never returns.
class InterruptWhileReading {
public:
    InterruptWhileReading()
    {
        struct sigaction action {};
        action.sa_handler = noteInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the wait for input must end
        ::sigaction(SIGINT, &action, &previous);
    }
    ~InterruptWhileReading() { ::sigaction(SIGINT, &previous, nullptr); }
    InterruptWhileReading(const InterruptWhileReading&) = delete;
    InterruptWhileReading& operator=(const InterruptWhileReading&) = delete;

private:
    struct sigaction previous {};
};

// The editor's read of one character: waits for the terminal, and runs the
// timers that fall due meanwhile, so that they fire while the user types.
int readCharacter(EditLine* editor, wchar_t* character)
{
    Session& session = sessionOf(editor);
    for (;;) {
        if (interrupted) {
            interrupted = 0;
            *character = L'\x03';  // as if typed: the key that drops the line
            return 1;
        }
        int timeoutMs = -1;
        if (auto deadline = session.repl->nextTimerDue()) {
            using namespace std::chrono;
            const auto wait = ceil<milliseconds>(*deadline - steady_clock::now());
            timeoutMs = static_cast<int>(std::clamp<milliseconds::rep>(wait.count(), 0, 60'000));
        }
        pollfd terminal{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&terminal, 1, timeoutMs);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready <= 0) {
            if (ready == 0 && session.repl->nextTimerDue()) {
                // The callbacks' output goes over the line being typed, which
                // is drawn again below it.
                if (::isatty(STDOUT_FILENO))
                    std::cout << "\r\x1b[K" << std::flush;
                session.repl->runDueTimers();
                el_set(editor, EL_REFRESH);
            }
            continue;
        }
        char byte = 0;
        const ssize_t count = ::read(STDIN_FILENO, &byte, 1);
        if (count == 0)
            return 0;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        const std::size_t decoded = std::mbrtowc(character, &byte, 1, &session.decoding);
        if (decoded == static_cast<std::size_t>(-2))
            continue;  // part of a multibyte character
        if (decoded == static_cast<std::size_t>(-1)) {
            session.decoding = {};
            *character = static_cast<unsigned char>(byte);
        } else if (decoded == 0) {
            *character = L'\0';
        }
        return 1;
    }
}

// Ctrl-D typed while the last input ran reached the terminal in its ordinary
// line mode, where it is not a character but an end-of-file mark. libedit
// would switch to raw mode, in which that mark reads as a NUL, and the key
// would be lost; so it is read here first. Ready to read with no byte queued
// is, in line mode, exactly an end-of-file mark waiting.
bool endOfInputWaiting()
{
    pollfd terminal{STDIN_FILENO, POLLIN, 0};
    if (::poll(&terminal, 1, 0) != 1 || (terminal.revents & POLLIN) == 0)
        return false;
    int queued = 0;
    if (::ioctl(STDIN_FILENO, FIONREAD, &queued) != 0 || queued != 0)
        return false;
    char byte = 0;
    return ::read(STDIN_FILENO, &byte, 1) == 0;
}

std::optional<std::string> historyFile()
{
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0')
        return std::nullopt;
    return (std::filesystem::path(home) / ".qorjs_history").string();
}

void saveHistory(History* history, const std::string& file)
{
    // Made private before libedit writes to it: what is typed may be secret.
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    HistEvent event;
    ::history(history, &event, H_SAVE, file.c_str());
}

}  // namespace

int runRepl(Run& run)
{
    ReplSession repl(run);
    Session session;
    session.repl = &repl;

    // libedit reads multibyte input by the locale's character type.
    std::setlocale(LC_CTYPE, "");
    std::unique_ptr<History, HistoryDeleter> history(history_init());
    std::unique_ptr<EditLine, EditLineDeleter> editor(el_init("qorjs", stdin, stdout, stderr));
    if (!history || !editor) {
        std::cerr << "qorjs: cannot start the line editor" << std::endl;
        return kExitScriptFailed;
    }
    HistEvent event;
    ::history(history.get(), &event, H_SETSIZE, 1000);
    ::history(history.get(), &event, H_SETUNIQUE, 1);
    const std::optional<std::string> historyPath = historyFile();
    if (historyPath)
        ::history(history.get(), &event, H_LOAD, historyPath->c_str());

    EditLine* el = editor.get();
    el_set(el, EL_CLIENTDATA, &session);
    el_set(el, EL_EDITOR, "emacs");
    el_set(el, EL_PROMPT, &prompt);
    el_set(el, EL_HIST, ::history, history.get());
    el_set(el, EL_GETCFN, &readCharacter);
    el_set(el, EL_SETTY, "-d", "-isig", nullptr);
    // The wide form: libedit keeps these strings as they are, where the
    // narrow one copies them and never frees the copies.
    el_wset(el, EL_ADDFN, L"qorjs-abandon-line", L"drop the line being typed", &abandonLine);
    el_set(el, EL_BIND, "^C", "qorjs-abandon-line", nullptr);
    el_source(el, nullptr);  // the user's ~/.editrc, if any

    for (;;) {
        if (endOfInputWaiting()) {
            std::cout << std::endl;
            break;
        }
        int count = 0;
        const char* read = nullptr;
        {
            InterruptWhileReading catchCtrlC;
            read = el_gets(el, &count);
        }
        if (session.abandoned) {
            session.abandoned = false;
            repl.abandonInput();
            std::cout << "^C" << std::endl;
            continue;
        }
        if (read == nullptr || count <= 0) {
            std::cout << std::endl;  // Ctrl-D leaves the cursor after the prompt
            break;
        }
        const std::string line(read, static_cast<std::size_t>(count));
        if (repl.asksToLeave(line))
            break;
        if (!trimmed(line).empty()) {
            std::string_view withoutNewline = line;
            if (withoutNewline.ends_with('\n'))
                withoutNewline.remove_suffix(1);
            ::history(history.get(), &event, H_ENTER, std::string(withoutNewline).c_str());
            if (historyPath)
                saveHistory(history.get(), *historyPath);
        }
        repl.feed(line);
    }
    return kExitSuccess;
}

}  // namespace qorjs

#endif  // _WIN32

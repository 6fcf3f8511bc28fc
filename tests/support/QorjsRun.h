// Runs the qorjs binary of this build in a scratch directory, on pipes or on
// a pseudo-terminal, and checks what it printed and the status it exited with.
#pragma once

#include <gmock/gmock.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace qorjs::test {

namespace fs = std::filesystem;

// One run. On a terminal, each '\n'-ended piece of `input` is typed once
// qorjs has gone quiet (at a prompt: 100 ms, still running: 400 ms), `out` is
// all the terminal showed and `err` is empty.
struct Row {
    std::vector<std::string> args;
    std::string input;
    ::testing::Matcher<std::string> out, err;
    int status;
    bool terminal = false;
};

// A private directory holding `files`, removed at the end; canonical, so that
// paths compare with what qorjs prints. It is the runs' working and home directory.
struct Scratch {
    explicit Scratch(std::initializer_list<std::pair<std::string, std::string>> files)
    {
        fs::create_directories(root);
        for (const auto& [name, text] : files) {
            fs::create_directories((root / name).parent_path());
            std::ofstream(root / name, std::ios::binary) << text;
        }
    }
    ~Scratch() { fs::remove_all(root); }
    std::string url(const std::string& name) const { return std::string("file://") + (root / name).string(); }

    const fs::path root = fs::canonical(fs::temp_directory_path()) / (std::string("qorjs-run-") + std::to_string(::getpid()));
};

inline void expectRuns(const Scratch& dir, const std::vector<Row>& rows)
{
    using namespace std::chrono;
    const fs::path in = dir.root / ".in", out = dir.root / ".out", err = dir.root / ".err";
    for (const Row& row : rows) {
        std::vector<char*> argv{const_cast<char*>(QORJS_BINARY)};
        std::string command = row.terminal ? "qorjs on a terminal:" : "qorjs";
        for (const auto& arg : row.args)
            command.append(" ").append(argv.emplace_back(const_cast<char*>(arg.c_str())));
        argv.push_back(nullptr);
        SCOPED_TRACE(command);
        std::ofstream(in, std::ios::binary) << row.input;
        int master = -1;
        const pid_t child = row.terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
        if (child == 0) {
            ::setenv("HOME", dir.root.c_str(), 1);
            ::setenv("TERM", "dumb", 1);
            for (int fd = 0; fd < 3 && !row.terminal; ++fd)
                ::dup2(fd == 0 ? ::open(in.c_str(), O_RDONLY) : ::open((fd == 1 ? out : err).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), fd);
            if (::chdir(dir.root.c_str()) == 0)
                ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        std::string shown;
        std::string_view typing = row.input;
        char block[4096];
        pollfd readable{master, POLLIN, 0};
        for (auto quiet = steady_clock::now(), end = quiet + 20s; row.terminal && steady_clock::now() < end;) {
            if (::poll(&readable, 1, 20) > 0) {
                const ssize_t count = ::read(master, block, sizeof block);
                if (count <= 0)
                    break;  // qorjs has gone
                shown.append(block, static_cast<std::size_t>(count));
                quiet = steady_clock::now();
            } else if (!typing.empty() && shown.find("> ") != shown.npos &&
                       steady_clock::now() - quiet > (shown.ends_with("> ") ? 100ms : 400ms)) {
                const std::size_t piece = typing.find('\n');
                if (::write(master, typing.data(), piece) < 0)
                    break;
                typing.remove_prefix(piece + 1);
            }
        }
        if (row.terminal) {
            ::kill(child, SIGKILL);  // if it never ended
            ::close(master);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        std::ostringstream printed[2];
        for (int i = 0; i < 2 && !row.terminal; ++i)
            printed[i] << std::ifstream(i == 0 ? out : err).rdbuf();
        EXPECT_THAT(row.terminal ? shown : printed[0].str(), row.out);
        EXPECT_THAT(printed[1].str(), row.err);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status);
    }
}

}  // namespace qorjs::test

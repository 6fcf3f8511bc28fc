// qorjs_time_command: runs one command once and prints what the whole run
// took, as one JSON object on a line of its own:
//
//   qorjs_time_command [--stdout FILE] [--stderr FILE] -- COMMAND [ARG...]
//
//   {"wall_ms": 41.27, "user_ms": 30.11, "sys_ms": 9.84, "max_rss_kib": 51234,
//    "status": 0, "load": 0.42}
//
// wall_ms runs from just before the process is spawned to the moment it has
// been reaped: start-up, the program and exit, as a user of the command waits
// for them. user_ms, sys_ms and max_rss_kib are the process's own, from
// wait4. status is the exit status, or minus the signal that ended it; load
// the one-minute load average read before the run. The command's output goes
// to the files given (or /dev/null), so that the caller can check it and no
// terminal is timed; /dev/fd/N names a descriptor the timer inherited. The
// timer's own exit status is 0 whenever it could run and reap the command:
// the caller judges `status`.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

double oneMinuteLoad()
{
    std::ifstream file("/proc/loadavg");
    double load = -1;
    file >> load;
    return file ? load : -1;
}

double milliseconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

double millisecondsBetween(const timespec& start, const timespec& end)
{
    return static_cast<double>(end.tv_sec - start.tv_sec) * 1e3 + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e6;
}

// Points the command's descriptor `target` at `file`. /dev/fd/N is taken as
// descriptor N itself, duplicated rather than opened: a caller that reads the
// output as it comes (bench/busy/run) hands over a socket, which Linux does
// not let a process open by path.
void redirect(posix_spawn_file_actions_t& actions, int target, const std::string& file)
{
    constexpr std::string_view byDescriptor = "/dev/fd/";
    int descriptor = -1;
    if (file.starts_with(byDescriptor)) {
        const char* digits = file.c_str() + byDescriptor.size();
        const auto [end, error] = std::from_chars(digits, file.c_str() + file.size(), descriptor);
        if (error != std::errc() || *end != '\0')
            descriptor = -1;
    }
    if (descriptor >= 0)
        posix_spawn_file_actions_adddup2(&actions, descriptor, target);
    else
        posix_spawn_file_actions_addopen(&actions, target, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

int usage()
{
    std::cerr << "usage: qorjs_time_command [--stdout FILE] [--stderr FILE] -- COMMAND [ARG...]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    int at = 1;
    for (; at < argc; ++at) {
        const std::string_view option = argv[at];
        if (option == "--") {
            ++at;
            break;
        }
        if ((option == "--stdout" || option == "--stderr") && at + 1 < argc)
            (option == "--stdout" ? out : err) = argv[++at];
        else
            return usage();
    }
    if (at >= argc)
        return usage();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    redirect(actions, 1, out);
    redirect(actions, 2, err);

    const double load = oneMinuteLoad();
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[at], &actions, nullptr, argv + at, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::cerr << "qorjs_time_command: cannot run " << argv[at] << ": " << std::strerror(spawned) << "\n";
        return 1;
    }
    int status = 0;
    rusage usage{};
    pid_t reaped = 0;
    while ((reaped = wait4(child, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (reaped != child) {
        std::cerr << "qorjs_time_command: waiting for " << argv[at] << " failed: " << std::strerror(errno) << "\n";
        return 1;
    }

    const int outcome = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
    std::printf("{\"wall_ms\": %.3f, \"user_ms\": %.3f, \"sys_ms\": %.3f, \"max_rss_kib\": %ld, \"status\": %d, \"load\": %.2f}\n",
                millisecondsBetween(start, end), milliseconds(usage.ru_utime), milliseconds(usage.ru_stime),
                usage.ru_maxrss, outcome, load);
    return 0;
}

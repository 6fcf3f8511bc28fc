// Long runs in one process: many requests through paused sessions and many
// sessions one after another, none of which may leave memory or descriptors
// behind; the figures are printed. QORJS_SOAK_MESSAGES, _EVALUATIONS and
// _CYCLES raise the counts, as scripts/soak does.

#include "debugger/DebugClient.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace qorjs::test {
namespace {

struct Soak {
    const char* name;
    const char* countVariable;  // of sessions without requests, else of requests per session
    long count, warmUpSessions, sessions;
    std::vector<std::array<std::string, 3>> requests;  // method, params, a piece of the answer
};

void PrintTo(const Soak& row, std::ostream* out) { *out << row.name; }

class SoakTest : public DebuggerTest, public ::testing::WithParamInterface<Soak> {};

// Each session a fresh client attaches, the run pauses, the requests go in
// windows of 64 as a frontend's bursts do, and the client leaves: in every
// other session during the pause, else after the run, when the host replaces
// its debugger. V8's inspector keeps what it knows of a session's scripts
// until the session ends, so memory is compared between sessions' ends.
TEST_P(SoakTest, SessionsLeaveNothingBehind)
{
    const Soak& row = GetParam();
    const char* set = std::getenv(row.countVariable);
    const long count = set && *set ? std::stol(set) : row.count;
    const long sessions = row.requests.empty() ? count : row.sessions, requests = row.requests.empty() ? 0 : count;
    const auto request = [&](long i) { return row.requests[static_cast<std::size_t>(i) % row.requests.size()]; };
    const auto phase = [&](long first, long end) {
        startClient([&, first, end](DebugClient& firstClient) {
            for (long session = first; session < end; ++session) {
                std::optional<DebugClient> fresh;
                DebugClient& client = session == first ? firstClient : fresh.emplace(port);
                client.open();
                client.send(command(1, "Debugger.enable"));
                client.send(command(2, "Runtime.runIfWaitingForDebugger"));
                client.readUntil("\"method\":\"Debugger.paused\"");
                for (long sent = 0; sent < requests; sent += 64) {
                    for (long i = sent; i < std::min(requests, sent + 64); ++i)
                        client.send(command(static_cast<int>(10 + i), request(i)[0], request(i)[1]));
                    for (long i = sent; i < std::min(requests, sent + 64); ++i)
                        if (client.readUntil(answerTo(static_cast<int>(10 + i))).find(request(i)[2]) == std::string::npos)
                            throw std::runtime_error("unexpected answer to " + request(i)[0]);
                }
                if (session % 2 == 0) {
                    client.close();
                } else {
                    client.send(command(3, "Debugger.resume"));
                    EXPECT_EQ(client.readUntilClosed(), 1000u);
                }
            }
        });
        for (long session = first; session < end; ++session) {
            v8::HandleScope sessionScope(isolate);  // a host's handles live for one piece of work
            execute(false, [this] { run("var hostState = {count: 21, step: 1};\ndebugger;\nhostState.step = 2;"); });
            EXPECT_EQ(text(run("hostState.step")), "2");
            if (session % 2 == 1)
                debugger.emplace(isolate, js::V8Engine::get().getPlatform());
        }
        joinClient();
        isolate->LowMemoryNotification();
        std::pair<long, long> figures{0, 0};  // resident KiB, open descriptors
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            figures.first = line.starts_with("VmRSS:") ? std::stol(line.substr(6)) : figures.first;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            ++figures.second;
        return figures;
    };

    const auto before = phase(0, row.warmUpSessions);
    const auto started = std::chrono::steady_clock::now();
    const auto after = phase(row.warmUpSessions, row.warmUpSessions + sessions);
    std::cout << "soak: " << row.name << ": " << sessions << " sessions of " << requests << " requests in "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
              << " s after a warm-up; resident memory " << before.first << " KiB -> " << after.first
              << " KiB; open descriptors " << before.second << " -> " << after.second << std::endl;
    EXPECT_EQ(runs, row.warmUpSessions + sessions);
    EXPECT_EQ(listens, runs);
    EXPECT_EQ(reported(), "");
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer's quarantine keeps freed memory resident
    EXPECT_LT(after.first - before.first, 5 * 1024);
#endif
    EXPECT_EQ(after.second, before.second);
}

INSTANTIATE_TEST_SUITE_P(
    Debugger, SoakTest,
    ::testing::Values(
        // What a frontend asks while paused, short of evaluations.
        Soak{"Messages", "QORJS_SOAK_MESSAGES", 20000, 1, 1,
             {{"Runtime.getHeapUsage", "", "\"usedSize\":"},
              {"Debugger.setPauseOnExceptions", R"({"state":"none"})", "\"result\":{}"},
              {"Debugger.setBreakpointsActive", R"({"active":true})", "\"result\":{}"},
              {"Runtime.getIsolateId", "", "\"result\":{\"id\":"}}},
        // Every evaluation compiles a script that the session keeps.
        Soak{"Evaluations", "QORJS_SOAK_EVALUATIONS", 2000, 1, 3,
             {{"Runtime.evaluate", R"({"contextId":1,"expression":"hostState.count * 2"})", "\"value\":42,"}}},
        Soak{"Cycles", "QORJS_SOAK_CYCLES", 100, 20, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qorjs::test

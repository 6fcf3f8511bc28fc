// Long runs in one process: many requests through paused sessions and many
// sessions one after another, none of which may leave memory or descriptors
// behind; the figures are printed. QORJS_SOAK_MESSAGES, _EVALUATIONS and
// _CYCLES raise the counts, as scripts/soak does.

#include "debugger/DebugClient.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace qorjs::test {
namespace {

struct Soak {
    const char* name;
    const char* countVariable;  // of sessions without requests, else of requests per session
    long count, warmUpSessions, sessions;
    std::vector<std::pair<std::string, std::string>> requests;  // method and params, in turn
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
    const auto phase = [&](long first, long end) {
        startClient([&, first, end](DebugClient&) {
            for (long session = first; session < end; ++session) {
                DebugClient client(port);
                client.open();
                client.send(command(1, "Debugger.enable"));
                client.send(command(2, "Runtime.runIfWaitingForDebugger"));
                client.readUntil("\"method\":\"Debugger.paused\"");
                for (int sent = 0; sent < requests; sent += 64) {
                    const int window = static_cast<int>(std::min(requests, sent + 64L));
                    for (int id = sent; id < window; ++id) {
                        const auto& [method, params] = row.requests[static_cast<std::size_t>(id) % row.requests.size()];
                        client.send(command(10 + id, method, params));
                    }
                    for (int id = sent; id < window; ++id)
                        if (const std::string answer = client.readUntil(answerTo(10 + id)); !answer.contains("result"))
                            throw std::runtime_error("unexpected answer: " + answer);
                }
                if (session % 2 == 0)
                    client.close();
                else
                    client.send(command(3, "Debugger.resume")), client.readUntilClosed();
            }
        });
        for (long session = first; session < end; ++session) {
            v8::HandleScope sessionScope(isolate);  // a host's handles live for one piece of work
            execute([this] { run("var hostState = {count: 21, step: 1};\ndebugger;\nhostState.step = 2;"); });
            EXPECT_EQ(text(run("hostState.step")), "2");
            if (session % 2 == 1)
                debugger.emplace(isolate, js::V8Engine::get().getPlatform());
        }
        joinClient();
        isolate->LowMemoryNotification();
        // Resident memory and open descriptors.
        return std::pair(residentKiB(), std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
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
             {{"Runtime.getHeapUsage", ""}, {"Debugger.setPauseOnExceptions", R"({"state":"none"})"},
              {"Debugger.setBreakpointsActive", R"({"active":true})"}, {"Runtime.getIsolateId", ""}}},
        // Every evaluation compiles a script that the session keeps.
        Soak{"Evaluations", "QORJS_SOAK_EVALUATIONS", 2000, 1, 3,
             {{"Runtime.evaluate", R"({"contextId":1,"expression":"hostState.count * 2"})"}}},
        Soak{"Cycles", "QORJS_SOAK_CYCLES", 100, 20, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qorjs::test

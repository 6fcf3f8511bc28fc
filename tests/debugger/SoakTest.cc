// Long runs in one process: many messages through paused sessions, and many
// clients one after the other. None may leave memory or descriptors behind.
// The figures are printed. The counts come from QORJS_SOAK_MESSAGES,
// QORJS_SOAK_EVALUATIONS and QORJS_SOAK_CYCLES where set; the defaults here
// are small enough for every test run, and scripts/soak sets the full ones.

#include "debugger/DebuggerFixture.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace qorjs::test {
namespace {

// Resident memory and open descriptors of this process.
struct ProcessFigures {
    long residentKiB = 0;
    long descriptors = 0;
};

ProcessFigures measure()
{
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            figures.residentKiB = std::stol(line.substr(6));
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++figures.descriptors;
    return figures;
}

constexpr long kGrowthLimitKiB = 5 * 1024;

// AddressSanitizer keeps freed memory in quarantine, so resident memory says
// nothing about leaks there (LeakSanitizer checks those); the descriptor
// counts still hold.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryIsMeaningful = false;
#else
constexpr bool kResidentMemoryIsMeaningful = true;
#endif

long countFromEnvironment(const char* name, long fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::stol(value) : fallback;
}

void report(const std::string& what, const ProcessFigures& before, const ProcessFigures& after)
{
    std::cout << "soak: " << what << "; resident memory " << before.residentKiB << " KiB -> " << after.residentKiB
              << " KiB (" << (after.residentKiB - before.residentKiB) << " KiB); open descriptors "
              << before.descriptors << " -> " << after.descriptors << std::endl;
}

std::string perSecond(long count, double seconds)
{
    return std::to_string(static_cast<long>(static_cast<double>(count) / seconds)) + " messages/s";
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The first string member `name` in a message's text.
std::string firstString(const std::string& text, const std::string& name)
{
    const std::string key = "\"" + name + "\":\"";
    const std::size_t start = text.find(key);
    if (start == std::string::npos)
        throw std::runtime_error("no " + name + " in " + text);
    const std::size_t from = start + key.size();
    return text.substr(from, text.find('"', from) - from);
}

// A request (its "method" and "params") and a piece of its expected answer.
struct Request {
    std::string method;
    std::string params;
    std::string answered;
};

// A client attached to a session paused in the host's work. The host's
// work for it is kPausingWork.
class PausedClient {
public:
    static constexpr std::string_view kPausingWork = "var hostState = {count: 21};\nvar paused = 1;\ndebugger;\n"
                                                     "hostState.done = true;";

    explicit PausedClient(DebugClient& client) : client(client)
    {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.send(command(2, "Debugger.enable"));
        client.send(command(3, "Runtime.runIfWaitingForDebugger"));
        const std::string paused = client.readUntil("\"method\":\"Debugger.paused\"");
        callFrameId = firstString(paused, "callFrameId");
        scriptId = firstString(paused, "scriptId");
        // Long runs keep nothing on the client's side.
        client.keepHistory(false);
    }

    // `count` requests, taken in turn from `requests`, sent in windows the
    // way a frontend's bursts arrive; each window is answered before the
    // next goes. Throws on an answer that is not the expected one.
    void exchange(long count, const std::vector<Request>& requests)
    {
        constexpr long kWindow = 64;
        for (long sent = 0; sent < count;) {
            const long window = std::min(kWindow, count - sent);
            for (long i = 0; i < window; ++i) {
                const Request& request = requests[static_cast<std::size_t>(sent + i) % requests.size()];
                client.send(command(nextId + static_cast<int>(i), request.method, request.params));
            }
            for (long i = 0; i < window; ++i) {
                const Request& request = requests[static_cast<std::size_t>(sent + i) % requests.size()];
                const std::string answer = client.readResponse(nextId + static_cast<int>(i));
                if (answer.find(request.answered) == std::string::npos)
                    throw std::runtime_error("unexpected answer to " + request.method + ": " + answer);
            }
            nextId += static_cast<int>(window);
            sent += window;
        }
    }

    // The process's figures after a full garbage collection in the isolate.
    ProcessFigures settled()
    {
        exchange(1, {{"Runtime.evaluate", R"json({"contextId":1,"expression":"gc()"})json", "\"result\":"}});
        return measure();
    }

    void resumeToTheEnd()
    {
        client.send(command(nextId++, "Debugger.resume"));
        client.readUntilClosed();
    }

    std::string callFrameId;
    std::string scriptId;

private:
    DebugClient& client;
    int nextId = 10;
};

using SoakTest = DebuggerTest;

// What a frontend asks while paused, short of evaluations (below): sources,
// breakable positions, settings, heap figures. V8 keeps nothing per request.
TEST_F(SoakTest, MessagesThroughAPausedSession)
{
    const long messages = countFromEnvironment("QORJS_SOAK_MESSAGES", 20000);
    ProcessFigures before;
    ProcessFigures after;
    double seconds = 0;
    startClient([&](DebugClient& client) {
        PausedClient session(client);
        const std::string start = R"({"start":{"scriptId":")" + session.scriptId + R"(","lineNumber":0}})";
        const std::vector<Request> requests = {
            {"Debugger.getScriptSource", R"({"scriptId":")" + session.scriptId + R"("})", "var paused = 1;"},
            {"Debugger.getPossibleBreakpoints", start, "\"locations\":["},
            {"Debugger.setPauseOnExceptions", R"({"state":"none"})", "\"result\":{}"},
            {"Runtime.getHeapUsage", "", "\"usedSize\":"},
        };
        session.exchange(2000, requests);
        before = session.settled();
        const auto started = std::chrono::steady_clock::now();
        session.exchange(messages, requests);
        seconds = secondsSince(started);
        after = session.settled();
        session.resumeToTheEnd();
    });

    execute(false, [this] { run(PausedClient::kPausingWork); });
    debugger.reset();
    joinClient();

    report(std::to_string(messages) + " protocol messages through a paused session in " + std::to_string(seconds) +
               " s, " + perSecond(messages, seconds),
           before, after);
    EXPECT_EQ(text(run("hostState.done")), "true");
    EXPECT_EQ(reported(), "");
    if (kResidentMemoryIsMeaningful) {
        EXPECT_LT(after.residentKiB - before.residentKiB, kGrowthLimitKiB);
    }
    EXPECT_EQ(after.descriptors, before.descriptors);
}

// Every evaluation compiles a script, and V8's inspector keeps what it knows
// of a session's scripts until the session ends: memory grows within one
// session, and must not grow from one session to the next.
TEST_F(SoakTest, EvaluationsAcrossPausedSessions)
{
    const long evaluations = countFromEnvironment("QORJS_SOAK_EVALUATIONS", 2000);
    constexpr int kSessions = 4;
    std::vector<ProcessFigures> afterSession;
    double seconds = 0;
    for (int round = 0; round < kSessions; ++round) {
        v8::HandleScope roundScope(isolate);
        startClient([&](DebugClient& client) {
            PausedClient session(client);
            const ProcessFigures atStart = session.settled();
            const auto started = std::chrono::steady_clock::now();
            session.exchange(evaluations,
                             {{"Runtime.evaluate", R"({"contextId":1,"expression":"hostState.count * 2"})",
                               "\"value\":42,"},
                              {"Debugger.evaluateOnCallFrame",
                               R"({"callFrameId":")" + session.callFrameId + R"(","expression":"paused + 1"})",
                               "\"value\":2,"}});
            seconds += secondsSince(started);
            if (round == 0)
                report(std::to_string(evaluations) + " evaluations in the first session", atStart, session.settled());
            session.resumeToTheEnd();
        });
        execute(false, [this] { run(PausedClient::kPausingWork); });
        debugger.emplace(isolate, js::V8Engine::get().getPlatform());
        joinClient();
        isolate->LowMemoryNotification();
        afterSession.push_back(measure());
    }

    report(std::to_string(kSessions - 1) + " more sessions of " + std::to_string(evaluations) +
               " evaluations each, after the first; " + perSecond(kSessions * evaluations, seconds),
           afterSession.front(), afterSession.back());
    EXPECT_EQ(runs, kSessions);
    EXPECT_EQ(reported(), "");
    if (kResidentMemoryIsMeaningful) {
        EXPECT_LT(afterSession.back().residentKiB - afterSession.front().residentKiB, kGrowthLimitKiB);
    }
    EXPECT_EQ(afterSession.back().descriptors, afterSession.front().descriptors);
}

// Each cycle a fresh client attaches, the run pauses, and the client leaves:
// every other cycle during the pause (the debugger stays, the script runs
// on), else after the run, when the host replaces its debugger (close 1000).
TEST_F(SoakTest, AttachRunDetachCycles)
{
    const long cycles = countFromEnvironment("QORJS_SOAK_CYCLES", 100);
    constexpr long kWarmUp = 20;

    const auto clients = [this](long count) {
        startClient([count, port = port](DebugClient& first) {
            for (long cycle = 0; cycle < count; ++cycle) {
                std::optional<DebugClient> fresh;
                DebugClient& client = cycle == 0 ? first : fresh.emplace(port);
                client.open();
                client.send(command(1, "Debugger.enable"));
                client.send(command(2, "Runtime.runIfWaitingForDebugger"));
                client.readUntil("\"method\":\"Debugger.paused\"");
                if (cycle % 2 == 0) {
                    client.close();
                } else {
                    client.send(command(3, "Debugger.resume"));
                    if (client.readUntilClosed() != 1000)
                        throw std::runtime_error("the debugger closed with another code than 1000");
                }
            }
        });
    };
    int ranToTheEnd = 0;
    const auto host = [&](long count) {
        for (long cycle = 0; cycle < count; ++cycle) {
            // A host's handles live for one piece of work, not for the process.
            v8::HandleScope cycleScope(isolate);
            execute(false, [this] { run("var step = 1;\ndebugger;\nstep = 2;"); });
            ranToTheEnd += text(run("step")) == "2";
            if (cycle % 2 == 1)
                debugger.emplace(isolate, js::V8Engine::get().getPlatform());
        }
        joinClient();
    };

    clients(kWarmUp);
    host(kWarmUp);
    isolate->LowMemoryNotification();
    const ProcessFigures before = measure();
    const auto started = std::chrono::steady_clock::now();
    clients(cycles);
    host(cycles);
    const double seconds = secondsSince(started);
    isolate->LowMemoryNotification();
    const ProcessFigures after = measure();

    report(std::to_string(cycles) + " attach-run-detach cycles in " + std::to_string(seconds) + " s", before, after);
    EXPECT_EQ(runs, kWarmUp + cycles);
    EXPECT_EQ(ranToTheEnd, runs);
    EXPECT_EQ(listens, runs);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
    if (kResidentMemoryIsMeaningful) {
        EXPECT_LT(after.residentKiB - before.residentKiB, kGrowthLimitKiB);
    }
    EXPECT_EQ(after.descriptors, before.descriptors);
}

}  // namespace
}  // namespace qorjs::test

// A debugger that listens while the host works: clients come and go during
// the host's JavaScript and while it is idle, and are served in both.

#include "debugger/DebugClient.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace qorjs::test {
namespace {

// Spins until a client sets globalThis.stop, or ten seconds pass: only a
// message served while the script runs can end it early.
constexpr std::string_view kSpin =
    "var t0 = Date.now(), n = 0;\n"
    "while (!globalThis.stop && Date.now() - t0 < 10000) n++;\n"
    "globalThis.stop === true";

std::string evaluate(int id, std::string_view expression)
{
    return command(id, "Runtime.evaluate", "{\"expression\":\"" + std::string(expression) + "\"}");
}

class LiveSessionTest : public DebuggerTest {
protected:
    void SetUp() override
    {
        DebuggerTest::SetUp();
        auto bound = debugger->listen(port);
        ASSERT_TRUE(bound) << bound.error();
        EXPECT_EQ(*bound, port);
    }
};

// The pause button stops a busy loop where it runs, the paused frame is
// looked at, and the loop is let go by an evaluation: all while the host is
// inside one script of its own.
TEST_F(LiveSessionTest, APauseAndAnEvaluationReachAScriptThatIsRunning)
{
    startClient([](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.readUntil(answerTo(1));
        client.send(command(2, "Debugger.pause"));
        const std::string paused = client.readUntil("\"method\":\"Debugger.paused\"");
        const std::size_t at = paused.find("\"callFrameId\":\"");
        ASSERT_NE(at, std::string::npos);
        const std::string frame = paused.substr(at + 15, paused.find('"', at + 15) - at - 15);
        client.send(command(3, "Debugger.evaluateOnCallFrame",
                            "{\"callFrameId\":\"" + frame + "\",\"expression\":\"globalThis.stop = typeof n\"}"));
        EXPECT_NE(client.readUntil(answerTo(3)).find("\"value\":\""), std::string::npos);
        client.send(evaluate(4, "globalThis.stop = true"));
        client.send(command(5, "Debugger.resume"));
        client.readUntil(answerTo(5));
        client.close();
    });
    EXPECT_TRUE(run(kSpin)->IsTrue());
    endSession();
}

// An idle host hears of a waiting client through its callback, on another
// thread, and serves it on its own; nothing is served for it meanwhile.
TEST_F(LiveSessionTest, AnIdleHostIsToldAndServesWhatWaits)
{
    std::mutex mutex;
    std::condition_variable told;
    int calls = 0;
    debugger->setMessageWaitingCallback([&] {
        std::lock_guard<std::mutex> lock(mutex);
        ++calls;
        told.notify_all();
    });
    bool answered = false;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(evaluate(1, "6 * 7"));
        answered = client.readUntil(answerTo(1)).find("\"value\":42") != std::string::npos;
        client.close();
    });
    // The host's loop: sleep until told, then serve, until the client has
    // been and gone.
    for (int served = 0; served == 0 || debugger->hasClient(); ++served) {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(told.wait_for(lock, std::chrono::seconds(15), [&] { return calls > served; }));
        lock.unlock();
        debugger->serveWaitingMessages();
    }
    joinClient();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(debugger->hasClient());
}

// Clients attach during the host's work, leave, and attach again on the
// same port: after a refused discovery request (answered, the listener
// stays) and a client that breaks the protocol (one line), the last sees
// what the first left in the script's state.
TEST_F(LiveSessionTest, ClientsComeAndGoOnOneListenerWhileTheScriptRuns)
{
    debugger->enableDiscovery("live", "file:///live.js");
    startClient([port = port](DebugClient& client) {
        client.connect();
        client.writeRaw("GET /json/list HTTP/1.1\r\nHost: rebound.example:9229\r\n\r\n");
        EXPECT_TRUE(client.readRaw().starts_with("HTTP/1.1 403 Forbidden"));
        int id = 0;
        for (const char* step : {"globalThis.visits = 1", "", "globalThis.visits += 1; globalThis.stop = true"}) {
            DebugClient next(port);
            next.open();
            if (!*step) {
                next.writeRaw("this is no WebSocket frame");
                next.readUntilClosed();
                continue;
            }
            next.send(evaluate(++id, step));
            next.readUntil(answerTo(id));
            next.close();
        }
    });
    EXPECT_TRUE(run(kSpin)->IsTrue());
    endSession();
    EXPECT_EQ(text(run("visits")), "2");
    report = "Error: The WebSocket frame contained an illegal opcode\n";
}

// A client that resets while a large answer is being written to it: the
// failed write is reported, and the read that fails after it is not.
TEST_F(LiveSessionTest, AClientGoneWhileItsAnswerIsWrittenCostsOneLine)
{
    startClient([](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.send(evaluate(2, "'x'.repeat(8e6)"));
        client.reset();
    });
    run("var t0 = Date.now(); while (Date.now() - t0 < 1000);");
    endSession();
    const std::string lines = reported();
    EXPECT_LE(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
    report = lines;
}

// Without listen, nothing is read while the host's work runs: a later
// execute finds the message that came meanwhile.
TEST_F(DebuggerTest, WithoutListenMessagesWaitForExecute)
{
    startClient([](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        client.readUntil(answerTo(1));
        client.send(evaluate(2, "globalThis.seen = 'late'"));
        client.readUntil(answerTo(2));
        client.readUntilClosed();
    });
    execute([this] { run("globalThis.seen = 'none'; var t0 = Date.now(); while (Date.now() - t0 < 300);"); });
    EXPECT_EQ(text(run("seen")), "none");
    execute([this] { run("0"); });
    EXPECT_EQ(text(run("seen")), "late");
    endSession();
}

}  // namespace
}  // namespace qorjs::test

// The session driver as a DevTools client sees it: when the host's work
// starts, how a pause is served, and what each way of going away ends.

#include "debugger/DebuggerFixture.h"

#include <v8-external.h>
#include <v8-function.h>
#include <v8-template.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

namespace qorjs::test {
namespace {

using namespace std::chrono_literals;

std::size_t positionOf(const std::vector<std::string>& messages, std::string_view needle)
{
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (messages[i].find(needle) != std::string::npos)
            return i;
    return messages.size();
}

std::size_t positionOfResponse(const std::vector<std::string>& messages, int id)
{
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (isResponse(messages[i], id))
            return i;
    return messages.size();
}

// Like the real frontend, the client sends its messages in one burst: each is
// answered in order, and only the exact "Runtime.runIfWaitingForDebugger"
// starts the run, after its own answer.
TEST_F(DebuggerTest, RunStartsOnlyOnTheExactRunIfWaitingForDebugger)
{
    unsigned closeCode = 0;
    std::vector<std::string> received;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.send(command(2, "runtime.runIfWaitingForDebugger"));
        client.send(command(3, "Runtime.runIfWaitingForDebuggerX"));
        client.send("this is not JSON");
        client.send(command(4, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("Runtime.consoleAPICalled");
        closeCode = client.readUntilClosed();
        received = client.received();
    });

    execute(false, [this] { run("console.log('running')"); });
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(listens, 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
    const std::size_t ran = positionOf(received, "Runtime.consoleAPICalled");
    ASSERT_LT(ran, received.size());
    for (int id = 1; id <= 4; ++id)
        EXPECT_LT(positionOfResponse(received, id), ran) << "response " << id;
    EXPECT_LT(positionOfResponse(received, 1), positionOfResponse(received, 2));
    EXPECT_LT(positionOfResponse(received, 3), positionOfResponse(received, 4));
    EXPECT_EQ(closeCode, 1000u);
}

// What tools take for granted: the announced context is the default one,
// marked so for frontends, and the console's clock is the wall clock.
TEST_F(DebuggerTest, TheAnnouncedContextIsTheDefaultAndTheConsoleKeepsRealTime)
{
    std::string created, evaluated, timeEnd;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        created = client.readUntil("Runtime.executionContextCreated");
        client.send(command(2, "Runtime.evaluate", R"({"expression":"6 * 7"})"));
        evaluated = client.readResponse(2);
        client.send(command(3, "Runtime.runIfWaitingForDebugger"));
        timeEnd = client.readUntil("\"type\":\"timeEnd\"");
        client.readUntilClosed();
    });

    const double before = static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    execute(false, [this] {
        run("console.time('spin'); for (const end = Date.now() + 25; Date.now() < end;); console.timeEnd('spin');");
    });
    debugger.reset();
    joinClient();

    EXPECT_NE(created.find(R"("auxData":{"isDefault":true})"), std::string::npos) << created;
    EXPECT_NE(evaluated.find(R"("result":{"type":"number","value":42)"), std::string::npos) << evaluated;
    std::smatch duration;
    ASSERT_TRUE(std::regex_search(timeEnd, duration, std::regex(R"(spin: ([0-9.]+) ms)"))) << timeEnd;
    EXPECT_GE(std::stod(duration[1]), 20.0) << timeEnd;
    std::smatch timestamp;
    ASSERT_TRUE(std::regex_search(timeEnd, timestamp, std::regex(R"("timestamp":([0-9.e+]+))"))) << timeEnd;
    EXPECT_GE(std::stod(timestamp[1]), before) << timeEnd;
}

TEST_F(DebuggerTest, BreakOnStartPausesBeforeTheFirstStatement)
{
    std::string paused;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        paused = client.readUntil("\"method\":\"Debugger.paused\"");
        client.send(command(3, "Debugger.resume"));
        client.readUntilClosed();
    });

    execute(true, [this] { run("var first = 1;\nvar second = 2;"); });
    debugger.reset();
    joinClient();

    EXPECT_NE(paused.find("\"lineNumber\":0,"), std::string::npos) << paused;
    EXPECT_EQ(global("second"), "2");
    EXPECT_EQ(reported(), "");
}

TEST_F(DebuggerTest, WithoutBreakOnStartTheRunDoesNotPause)
{
    std::vector<std::string> received;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntilClosed();
        received = client.received();
    });

    execute(false, [this] { run("var first = 1;"); });
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(positionOf(received, "Debugger.paused"), received.size());
}

// The connection outlives execute: the next call neither asks beforeListen
// nor handshakes, and its run starts on the first JSON message of any method.
TEST_F(DebuggerTest, ASecondExecuteReusesTheOpenConnection)
{
    std::vector<std::string> received;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("first run");
        client.send("not JSON either");
        client.send(command(3, "Profiler.enable"));
        client.readUntil("second run");
        client.readUntilClosed();
        received = client.received();
    });

    execute(false, [this] { run("console.log('first run')"); });
    execute(false, [this] { run("console.log('second run')"); });
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 2);
    EXPECT_EQ(listens, 1);
    EXPECT_EQ(reported(), "");
    EXPECT_LT(positionOfResponse(received, 3), positionOf(received, "second run"));
}

TEST_F(DebuggerTest, BeforeListenDecliningRunsTheWorkDirectly)
{
    execute(false, [this] { run("var ran = true;"); }, false);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(global("ran"), "true");

    // Nothing listens, and the next call asks again.
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket probe(context);
    boost::system::error_code refused;
    probe.connect({boost::asio::ip::make_address("127.0.0.1"), port}, refused);
    EXPECT_EQ(refused, boost::asio::error::connection_refused);

    debugger->execute(false, {}, [this](unsigned short) {
        ++listens;
        return false;
    }, {}, port);
    EXPECT_EQ(listens, 2);
    EXPECT_EQ(reported(), "");
}

TEST_F(DebuggerTest, APortInUseIsReportedOnceAndNothingRuns)
{
    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor occupant(context, {boost::asio::ip::make_address("127.0.0.1"), port});

    execute(false);

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "Error: bind: Address already in use\n");
}

// An orderly close before the run is not a failure worth a line; the next
// call listens again and serves a new client.
TEST_F(DebuggerTest, AClientLeavingBeforeTheRunIsForgotten)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.readResponse(1);
        client.close();

        DebugClient second(port);
        second.open();
        second.send(command(1, "Runtime.runIfWaitingForDebugger"));
        second.readUntilClosed();
    });

    execute(false);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "");

    execute(false);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(listens, 2);
    EXPECT_EQ(disconnects, 1);
}

void pauseFromNative(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    auto* debugger = static_cast<js::V8Debugger*>(info.Data().As<v8::External>()->Value());
    debugger->breakProgram("other", R"({"from":"native"})");
}

TEST_F(DebuggerTest, BreakProgramPausesTheScriptFromANativeFunction)
{
    debugger->breakProgram("other", "{}");  // no client yet: nothing happens

    v8::Local<v8::Function> pauseHere =
        v8::Function::New(context(), pauseFromNative, v8::External::New(isolate, &*debugger)).ToLocalChecked();
    context()->Global()->Set(context(), js::V8Helper::v8_string("pauseHere", isolate), pauseHere).Check();

    std::string paused;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        paused = client.readUntil("\"method\":\"Debugger.paused\"");
        client.send(command(3, "Debugger.resume"));
        client.readUntilClosed();
    });

    execute(false, [this] { run("var before = 1;\npauseHere();\nvar after = 2;"); });
    debugger.reset();
    joinClient();

    EXPECT_NE(paused.find("\"reason\":\"other\""), std::string::npos) << paused;
    EXPECT_NE(paused.find("\"from\":\"native\""), std::string::npos) << paused;
    EXPECT_NE(paused.find("\"lineNumber\":1,"), std::string::npos) << paused;
    EXPECT_EQ(global("after"), "2");
}

// A client that goes away while the script is paused lets it run on without
// a debugger; that is no session failure: no onDisconnect, no line.
TEST_F(DebuggerTest, AClientLeavingDuringAPauseLetsTheScriptFinish)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        client.close();
    });

    execute(false, [this] { run("var before = 1;\ndebugger;\nvar after = 2;"); });
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(global("after"), "2");
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");

    // The connection is gone: the next call asks beforeListen again.
    execute(false, {}, false);
    EXPECT_EQ(listens, 2);
    EXPECT_EQ(runs, 2);
}

// A pause served while the run still waits (a "debugger" statement evaluated
// by the client) that the client ends by closing: the attempt is forgotten
// quietly, as any orderly close is.
TEST_F(DebuggerTest, AClientClosingDuringAPauseBeforeTheRunIsNotAnError)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.evaluate", R"({"expression":"debugger","contextId":1})"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        client.close();
    });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "");
}

// The host may call execute with no context entered: the messages are read
// in the context the debugger announced.
TEST_F(DebuggerTest, ExecuteWithoutAnEnteredContextStillStartsTheRun)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntilClosed();
    });

    context()->Exit();
    execute(false, [this] {
        v8::Context::Scope entered(context());
        run("var ran = true;");
    });
    context()->Enter();
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(global("ran"), "true");
}

TEST_F(DebuggerTest, ConstructingWithoutAContextThrows)
{
    context()->Exit();
    EXPECT_THROW(js::V8Debugger(isolate, js::V8Engine::get().getPlatform()), std::logic_error);
    context()->Enter();
}

// A client that never answers the close frame keeps the destructor no longer
// than the close's time limit; then the socket is shut.
TEST_F(DebuggerTest, DestructionDoesNotWaitForeverForAnUnansweredClose)
{
    std::atomic<bool> answered = false;
    std::atomic<bool> destroyed = false;
    std::string afterDestruction;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        client.readResponse(1);
        answered = true;
        const auto giveUp = std::chrono::steady_clock::now() + 60s;
        while (!destroyed && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(10ms);
        afterDestruction = client.readRawUntilEof();
    });

    execute(false);
    // The close frame must not reach the client while its WebSocket still
    // reads the answer: one read could take both, and the frame would then
    // sit in the WebSocket's buffer instead of the socket read below.
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    while (!answered && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(10ms);
    const auto started = std::chrono::steady_clock::now();
    debugger.reset();
    const auto waited = std::chrono::steady_clock::now() - started;
    destroyed = true;
    joinClient();

    std::cout << "destruction waited " << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
              << " ms for the unanswered close" << std::endl;
    // The close frame with code 1000 (0x03e8), then the end of the stream.
    ASSERT_GE(afterDestruction.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(afterDestruction[0]), 0x88);
    EXPECT_EQ(afterDestruction.substr(2, 2), std::string("\x03\xe8"));
}

}  // namespace
}  // namespace qorjs::test

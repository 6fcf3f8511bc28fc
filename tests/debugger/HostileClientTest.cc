// Clients that break the protocol, stall or vanish at the worst moment. Each
// must cost the host at most one "Error: " line: no crash, no hang, nothing
// of the host's own state lost, and the next client is served as usual.

#include "debugger/DebuggerFixture.h"

#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qorjs::test {
namespace {

using namespace std::chrono_literals;
namespace websocket = boost::beast::websocket;

constexpr std::string_view kHalfAnUpgradeRequest =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";

// The close frame a server sends first: FIN and opcode, length 2, the code.
std::string serverCloseFrame(websocket::close_code code)
{
    const auto value = static_cast<unsigned>(code);
    return {'\x88', '\x02', static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

class HostileClientTest : public DebuggerTest {
protected:
    void SetUp() override
    {
        DebuggerTest::SetUp();
        run("var hostState = {kept: 'yes', count: 41};");
    }

    // The host's state from before the hostile client is whole, and a
    // well-behaved client that comes next has its run served.
    void expectNextClientServed()
    {
        joinClient();
        const int runsBefore = runs;
        startClient([](DebugClient& client) {
            client.open();
            client.send(command(1, "Runtime.enable"));
            client.send(command(2, "Runtime.runIfWaitingForDebugger"));
            client.readUntil("served next");
            client.readUntilClosed();
        });
        execute(false, [this] { run("hostState.count += 1; console.log('served next');"); });
        debugger.reset();
        joinClient();
        EXPECT_EQ(runs, runsBefore + 1);
        EXPECT_EQ(text(run("hostState.kept + hostState.count")), "yes42");
    }
};

// ---- Before the WebSocket is open ----------------------------------------------

struct StalledRequest {
    const char* name;
    std::string_view sent;

    friend void PrintTo(const StalledRequest& given, std::ostream* out) { *out << given.name; }
};

class StalledRequestTest : public HostileClientTest, public ::testing::WithParamInterface<StalledRequest> {};

// The listener serves one client; one that never finishes its request would
// lock every other client out, and hold the host's thread, for ever.
TEST_P(StalledRequestTest, IsDroppedAfterTheUpgradeRequestWait)
{
    std::string answer;
    startClient([&](DebugClient& client) {
        client.connect();
        client.writeRaw(GetParam().sent);
        answer = client.readRawUntilEof();  // fails the test if the host never lets go
    });

    const auto started = std::chrono::steady_clock::now();
    execute(false);
    const auto waited = std::chrono::steady_clock::now() - started;
    joinClient();
    std::cout << "dropped the stalled client after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms" << std::endl;

    EXPECT_EQ(answer, "");
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(),
              "Error: closed a DevTools connection that sent no complete upgrade request within 5 seconds\n");
    expectNextClientServed();
}

INSTANTIATE_TEST_SUITE_P(Debugger,
                         StalledRequestTest,
                         ::testing::Values(StalledRequest{"NothingSent", ""},
                                           StalledRequest{"HalfARequest", kHalfAnUpgradeRequest}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileClientTest, HalfAnUpgradeRequestThenGoneIsOneLine)
{
    startClient([](DebugClient& client) {
        client.connect();
        client.writeRaw(kHalfAnUpgradeRequest);
    });

    execute(false);

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "Error: partial message\n");
    expectNextClientServed();
}

// ---- Broken frames while the run waits ------------------------------------------

struct BrokenFrames {
    const char* name;
    std::string bytes;
    // The close frame the host sends before it ends the connection.
    websocket::close_code closeCode;
    std::string report;
    // The client neither answers the close frame nor closes its side.
    bool staysAfterTheClose = false;

    friend void PrintTo(const BrokenFrames& given, std::ostream* out) { *out << given.name; }
};

class BrokenFramesTest : public HostileClientTest, public ::testing::WithParamInterface<BrokenFrames> {};

// The host sends a close frame with the reason's code, ends the connection,
// even when the client stays on, and reports the reason.
TEST_P(BrokenFramesTest, EndTheSessionWithOneLine)
{
    const BrokenFrames& given = GetParam();
    std::string answer;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.readResponse(1);
        client.writeRaw(given.bytes);
        answer = client.readRawUntilEof();
        if (given.staysAfterTheClose)
            client.holdUntilShut();
    });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "Error: " + given.report + "\n");
    // Answers to whatever got through come first.
    EXPECT_TRUE(answer.ends_with(serverCloseFrame(given.closeCode))) << answer;
    expectNextClientServed();
}

INSTANTIATE_TEST_SUITE_P(
    Debugger,
    BrokenFramesTest,
    ::testing::Values(
        BrokenFrames{"Garbage", "this is no WebSocket frame", websocket::close_code::protocol_error,
                     "The WebSocket frame contained an illegal opcode", true},
        BrokenFrames{"UnmaskedFrame", std::string("\x81\x02{}", 4), websocket::close_code::protocol_error,
                     "The WebSocket frame was unmasked"},
        BrokenFrames{"LengthBeyondTheLimit", clientFrame(kTextFrame, "{}", true, std::uint64_t{1} << 40),
                     websocket::close_code::too_big, "The WebSocket message exceeded the locally configured limit"},
        BrokenFrames{"LengthWithTheTopBitSet", clientFrame(kTextFrame, "{}", true, (std::uint64_t{1} << 63) + 2),
                     websocket::close_code::too_big, "The WebSocket message exceeded the locally configured limit"},
        BrokenFrames{"LengthShorterThanSent", clientFrame(kTextFrame, "  " + std::string(38, '\xee'), true, 2),
                     websocket::close_code::protocol_error, "The WebSocket frame contained illegal reserved bits"},
        BrokenFrames{"OversizedPing", clientFrame(kPingFrame, std::string(126, 'p')),
                     websocket::close_code::protocol_error, "The WebSocket control frame size was invalid"},
        BrokenFrames{"FragmentedPing", clientFrame(kPingFrame, "p", false), websocket::close_code::protocol_error,
                     "The WebSocket control frame was fragmented"},
        BrokenFrames{"ContinuationWithoutStart", clientFrame(kContinuationFrame, "{}"),
                     websocket::close_code::protocol_error, "The WebSocket continuation frame was unexpected"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Leaving at the worst moment ------------------------------------------------

struct Departure {
    const char* name;
    std::function<void(DebugClient&)> leave;
    std::string report;  // while the run waits

    friend void PrintTo(const Departure& given, std::ostream* out) { *out << given.name; }
};

// Half of the frame's payload has been sent when the client goes.
void leaveInsideAFrame(DebugClient& client, bool reset)
{
    client.writeRaw(clientFrame(kTextFrame, std::string(1000, 'x')).substr(0, 2 + 2 + 4 + 500));
    if (reset)
        client.reset();
}

// The first fragment of a message has been sent when the client goes.
void leaveBetweenFragments(DebugClient& client)
{
    client.writeRaw(clientFrame(kTextFrame, R"({"id":9,"method":"Runtime.)", false));
    client.reset();
}

class DepartureTest : public HostileClientTest, public ::testing::WithParamInterface<Departure> {};

TEST_P(DepartureTest, WhileTheRunWaitsEndsTheSessionWithOneLine)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.readResponse(1);
        GetParam().leave(client);
    });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "Error: " + GetParam().report + "\n");
    expectNextClientServed();
}

// The pause loop loses the client: the script runs on to its end without a
// debugger, and that is no session failure (no line, no onDisconnect).
TEST_P(DepartureTest, DuringAPauseLetsTheScriptFinishSilently)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        GetParam().leave(client);
    });

    execute(false, [this] { run("hostState.before = 1;\ndebugger;\nhostState.after = 2;"); });
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(text(run("hostState.after")), "2");
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
    expectNextClientServed();
}

INSTANTIATE_TEST_SUITE_P(
    Debugger,
    DepartureTest,
    ::testing::Values(
        Departure{"Reset", [](DebugClient& client) { client.reset(); }, "Connection reset by peer"},
        Departure{"InsideAFrameThenGone", [](DebugClient& client) { leaveInsideAFrame(client, false); }, "End of file"},
        Departure{"InsideAFrameThenReset", [](DebugClient& client) { leaveInsideAFrame(client, true); },
                  "Connection reset by peer"},
        Departure{"BetweenFragments", leaveBetweenFragments, "Connection reset by peer"}),
    [](const auto& info) { return std::string(info.param.name); });

// A close frame and then silence: the host answers it and does not wait for
// the end of the connection for ever. An orderly close is never reported.
TEST_F(HostileClientTest, ACloseFrameThenSilenceIsAnsweredAndLetGo)
{
    std::string answer;
    startClient([&](DebugClient& client) {
        client.open();
        client.writeRaw(clientFrame(kCloseFrame, "\x03\xe8"));
        answer = client.readRawUntilEof();
        client.holdUntilShut();
    });

    execute(false);
    joinClient();

    EXPECT_EQ(answer, serverCloseFrame(websocket::close_code::normal));
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "");
    expectNextClientServed();
}

// ---- Floods ---------------------------------------------------------------------

constexpr std::size_t kPings = 50000;

// Every ping is answered with a pong carrying its payload, in order, and the
// session goes on as if nothing had happened.
TEST_F(HostileClientTest, PingFloodsAreAnsweredAndChangeNothing)
{
    const std::string payload = "ping!";
    const std::string pong = std::string{'\x8a', static_cast<char>(payload.size())} + payload;
    std::string pings;
    for (std::size_t i = 0; i < kPings; ++i)
        pings += clientFrame(kPingFrame, payload);
    std::string answersWaiting;
    std::string answersPaused;
    startClient([&](DebugClient& client) {
        client.open();
        answersWaiting = client.writeRawReadingAnswers(pings, kPings * pong.size());
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        answersPaused = client.writeRawReadingAnswers(pings, kPings * pong.size());
        client.send(command(3, "Debugger.resume"));
        client.readUntilClosed();
    });

    execute(false, [this] { run("debugger;\nhostState.after = 2;"); });
    debugger.reset();
    joinClient();

    const auto allPongs = [&](const std::string& answers) {
        for (std::size_t at = 0; at < answers.size(); at += pong.size())
            if (answers.compare(at, pong.size(), pong) != 0)
                return false;
        return answers.size() == kPings * pong.size();
    };
    EXPECT_TRUE(allPongs(answersWaiting));
    EXPECT_TRUE(allPongs(answersPaused));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(text(run("hostState.after")), "2");
    EXPECT_EQ(reported(), "");
}

// A client that goes on sending messages and never answers the close frame
// at destruction: the destructor lets it go all the same.
TEST_F(HostileClientTest, AClientTalkingThroughTheCloseIsLetGo)
{
    std::atomic<bool> closing = false;
    std::string refusedWrite;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        client.readResponse(1);
        const auto giveUp = std::chrono::steady_clock::now() + 60s;
        while (!closing && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(10ms);
        // Messages until the host has shut the socket and a write fails.
        try {
            for (int id = 2; std::chrono::steady_clock::now() < giveUp; ++id) {
                client.writeRaw(clientFrame(kTextFrame, command(id, "Runtime.evaluate", R"({"expression":"1"})")));
                std::this_thread::sleep_for(1ms);
            }
        } catch (const std::exception& error) {
            refusedWrite = error.what();
        }
    });

    execute(false);
    const auto started = std::chrono::steady_clock::now();
    closing = true;
    debugger.reset();
    const auto waited = std::chrono::steady_clock::now() - started;
    joinClient();

    std::cout << "destruction waited " << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
              << " ms for a client that never answered the close" << std::endl;
    EXPECT_NE(refusedWrite, "") << "the host never shut the socket";
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(reported(), "");
}

}  // namespace
}  // namespace qorjs::test

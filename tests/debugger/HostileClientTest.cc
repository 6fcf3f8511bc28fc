// Clients that break the protocol, stall, flood or vanish at the worst
// moment. Each costs the host at most one "Error: " line: no crash, no hang,
// none of the host's own state lost, and the next client is served as usual.

#include "debugger/DebugClient.h"

namespace qorjs::test {
namespace {

constexpr std::string_view kHalfAnUpgradeRequest =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n";
// The close frame a server sends first: FIN and opcode, length 2, the code.
const std::string kNormalClose("\x88\x02\x03\xe8", 4), kProtocolError("\x88\x02\x03\xea", 4),
    kTooBig("\x88\x02\x03\xf1", 4);

class HostileClientTest : public DebuggerTest {
protected:
    void SetUp() override
    {
        DebuggerTest::SetUp();
        run("var hostState = {kept: 'yes', count: 41};");
    }

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

// How a client goes once it has sent its bytes: it reads what comes until
// the server ends the stream, holds its side open after that, leaves in an
// orderly way, or resets the connection.
enum class Then { Read, Hold, Leave, Reset };

struct Hostile {
    const char* name;
    bool opened;  // after the handshake and one answered request
    std::string bytes;
    Then then;
    const char* reason;    // the one line's text; "" for none
    std::string answer{};  // a piece of what the client read
};

void PrintTo(const Hostile& row, std::ostream* out) { *out << row.name; }

// Half of a 1000-byte frame's payload, and the first fragment of a message.
const std::string kInsideAFrame = clientFrame(1, std::string(1000, 'x')).substr(0, 2 + 2 + 4 + 500);
const std::string kFirstFragment = clientFrame(1, R"({"id":9,"method":"Runtime.)", false);
constexpr const char* kNoRequest = "closed a DevTools connection that sent no complete upgrade request within 5 seconds";
constexpr const char* kReset = "Connection reset by peer";
constexpr const char* kTooLong = "The WebSocket message exceeded the locally configured limit";
const std::string kForbidden = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n";

class WhileTheRunWaits : public HostileClientTest, public ::testing::WithParamInterface<Hostile> {};

// The listener serves one client at a time, so a stalled one is dropped
// after a bounded wait; a refused request is answered 403; a broken frame
// is answered with a close frame of its reason's code, and the connection
// ends even when the client stays on.
TEST_P(WhileTheRunWaits, AHostileClientEndsTheSessionWithAtMostOneLine)
{
    const Hostile& row = GetParam();
    std::string answer;
    startClient([&](DebugClient& client) {
        if (row.opened) {
            client.open();
            client.send(command(1, "Profiler.enable"));
            client.readUntil(answerTo(1));
        } else {
            client.connect();
        }
        client.writeRaw(row.bytes);
        if (row.then == Then::Reset)
            client.reset();
        if (row.then == Then::Read || row.then == Then::Hold)
            answer = client.readRaw();
        if (row.then == Then::Hold)
            client.holdUntilShut();
    });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), *row.reason ? std::string("Error: ") + row.reason + "\n" : "");
    EXPECT_NE(answer.find(row.answer), std::string::npos) << answer;
    expectNextClientServed();
}

INSTANTIATE_TEST_SUITE_P(
    Debugger, WhileTheRunWaits,
    ::testing::Values(
        Hostile{"NothingSent", false, "", Then::Read, kNoRequest},
        Hostile{"HalfARequest", false, std::string(kHalfAnUpgradeRequest), Then::Read, kNoRequest},
        Hostile{"HalfARequestThenGone", false, std::string(kHalfAnUpgradeRequest), Then::Leave, "partial message"},
        Hostile{"PlainHttpRequest", false, "GET /json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", Then::Read,
                "The WebSocket handshake Connection field is missing", "HTTP/1.1 400 "},
        Hostile{"ForeignHost", false, upgradeRequest("Host: rebound.example:9005\r\n"), Then::Read,
                "refused a DevTools connection for Host \"rebound.example:9005\": only localhost, 127.0.0.0/8 and "
                "[::1] are served", kForbidden},
        Hostile{"PageOrigin", false, upgradeRequest("Host: localhost\r\nOrigin: http://127.0.0.1:8000\r\n"),
                Then::Read, "refused a DevTools connection from Origin \"http://127.0.0.1:8000\": only "
                "devtools://devtools and the allowed origins may connect", kForbidden},
        Hostile{"Garbage", true, "this is no WebSocket frame", Then::Hold,
                "The WebSocket frame contained an illegal opcode", kProtocolError},
        Hostile{"UnmaskedFrame", true, std::string("\x81\x02{}", 4), Then::Read, "The WebSocket frame was unmasked",
                kProtocolError},
        Hostile{"JustOverTheLimit", true, clientFrame(1, "{}", true, (std::uint64_t{1} << 24) + 1), Then::Read,
                kTooLong, kTooBig},
        Hostile{"LengthWithTheTopBitSet", true, clientFrame(1, "{}", true, (std::uint64_t{1} << 63) + 2),
                Then::Read, kTooLong, kTooBig},
        Hostile{"LengthShorterThanSent", true, clientFrame(1, "  " + std::string(38, '\xee'), true, 2), Then::Read,
                "The WebSocket frame contained illegal reserved bits", kProtocolError},
        Hostile{"TextNotUtf8", true, clientFrame(1, "{\"id\":1,\"method\":\"\xff\xfe\"}"), Then::Read,
                "The WebSocket frame payload was not valid utf8", std::string("\x88\x02\x03\xef", 4)},
        Hostile{"OversizedPing", true, clientFrame(9, std::string(126, 'p')), Then::Read,
                "The WebSocket control frame size was invalid", kProtocolError},
        Hostile{"FragmentedPing", true, clientFrame(9, "p", false), Then::Read,
                "The WebSocket control frame was fragmented", kProtocolError},
        Hostile{"ContinuationWithoutStart", true, clientFrame(0, "{}"), Then::Read,
                "The WebSocket continuation frame was unexpected", kProtocolError},
        Hostile{"Reset", true, "", Then::Reset, kReset},
        Hostile{"InsideAFrameThenGone", true, kInsideAFrame, Then::Leave, "End of file"},
        Hostile{"InsideAFrameThenReset", true, kInsideAFrame, Then::Reset, kReset},
        Hostile{"BetweenFragments", true, kFirstFragment, Then::Reset, kReset},
        // An orderly close is answered, never reported, and not waited on.
        Hostile{"CloseFrameThenSilence", true, clientFrame(8, "\x03\xe8"), Then::Hold, "", kNormalClose}),
    [](const auto& info) { return std::string(info.param.name); });

// The pause loop loses its client: the script runs on to its end without a
// debugger, and that is no session failure (no line, no onDisconnect).
TEST_F(HostileClientTest, AClientLeavingDuringAPauseLetsTheScriptFinishSilently)
{
    const std::pair<std::string, Then> departures[] = {
        {"", Then::Leave}, {"", Then::Reset}, {kInsideAFrame, Then::Leave}, {kFirstFragment, Then::Reset}};
    for (const auto& [bytes, then] : departures) {
        SCOPED_TRACE(bytes.size());
        startClient([&](DebugClient& client) {
            client.open();
            client.send(command(1, "Debugger.enable"));
            client.send(command(2, "Runtime.runIfWaitingForDebugger"));
            client.readUntil("\"method\":\"Debugger.paused\"");
            client.writeRaw(bytes);
            if (then == Then::Reset)
                client.reset();
            else if (bytes.empty())
                client.close();
        });
        run("hostState.after = 0;");
        execute(false, [this] { run("debugger;\nhostState.after = 2;"); });
        joinClient();
        EXPECT_EQ(text(run("hostState.after")), "2");
    }
    EXPECT_EQ(runs, 4);
    EXPECT_EQ(listens, 4) << "each departure dropped the connection";
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
    expectNextClientServed();
}

// Every ping is answered with a pong carrying its payload, in order, while
// the run waits and while paused; the session goes on as if nothing happened.
TEST_F(HostileClientTest, PingFloodsAreAnsweredAndChangeNothing)
{
    constexpr std::size_t kPings = 2000;
    std::string pings, pongs;
    for (std::size_t i = 0; i < kPings; ++i)
        pings += clientFrame(9, "ping!"), pongs += "\x8a\x05ping!";
    startClient([&](DebugClient& client) {
        client.open();
        client.writeRaw(pings);
        EXPECT_TRUE(client.readRaw(pongs.size()) == pongs);
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        client.writeRaw(pings);
        EXPECT_TRUE(client.readRaw(pongs.size()) == pongs);
        client.send(command(3, "Debugger.resume"));
        client.readUntilClosed();
    });

    execute(false, [this] { run("debugger;\nhostState.after = 2;"); });
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(text(run("hostState.after")), "2");
    EXPECT_EQ(reported(), "");
}

}  // namespace
}  // namespace qorjs::test

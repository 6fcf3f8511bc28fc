// Clients that stall, are refused, break the protocol, flood or vanish at the
// worst moment. Each costs the host at most one "Error: " line: no crash, no
// hang, none of the host's own state lost, and the next client is served.

#include "debugger/DebugClient.h"

namespace qorjs::test {
namespace {

constexpr std::string_view kHalfARequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n";
// Half of a 1000-byte frame's payload, and the first fragment of a message.
const std::string kInsideAFrame = clientFrame(1, std::string(1000, 'x')).substr(0, 2 + 2 + 4 + 500);
const std::string kFirstFragment = clientFrame(1, R"({"id":9,"method":"Runtime.)", false);

class HostileClientTest : public DebuggerTest {
protected:
    void SetUp() override { DebuggerTest::SetUp(), run("var hostState = {kept: 'yes', count: 41};"); }

    // Pings answered with pongs carrying their payload, in order.
    static void flood(DebugClient& client)
    {
        std::string pings, pongs;
        for (int i = 0; i < 2000; ++i)
            pings += clientFrame(9, "ping!"), pongs += "\x8a\x05ping!";
        client.writeRaw(pings);
        EXPECT_TRUE(client.readRaw(pongs.size()) == pongs);
    }

    // The next client, flooding the host with pings before its run, is
    // served as usual, on the host's state from before.
    void expectNextClientServed()
    {
        joinClient();
        startClient([](DebugClient& client) {
            client.open();
            flood(client);
            client.send(command(1, "Runtime.enable"));
            client.send(command(2, "Runtime.runIfWaitingForDebugger"));
            client.readUntil("served next");
            client.readUntilClosed();
        });
        execute(false, [this] { run("hostState.count += 1; console.log('served next');"); });
        debugger.reset();
        joinClient();
        EXPECT_EQ(text(run("hostState.kept + hostState.count")), "yes42");
    }
};

// How the client goes once it has sent its bytes: it reads until the server
// ends the stream (staying on after a close frame), leaves, or resets.
enum class Then { Read, Leave, Reset };

struct Hostile {
    const char* name;
    bool opened;  // after the handshake and one answered request
    std::string bytes;
    Then then;
    const char* reason;    // the one line's text; "" for none
    std::string answer{};  // a piece of what the client read
};

void PrintTo(const Hostile& row, std::ostream* out) { *out << row.name; }

class WhileTheRunWaits : public HostileClientTest, public ::testing::WithParamInterface<Hostile> {};

// The listener serves one client at a time, so a stalled one is dropped
// after a bounded wait; a refused request is answered 403; a broken frame is
// answered with a close frame of its reason's code, and the connection ends
// even though the client never answers that frame.
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
        if (row.then == Then::Read)
            answer = client.readRaw();
    });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), *row.reason ? std::string("Error: ") + row.reason + "\n" : "");
    EXPECT_NE(answer.find(row.answer), std::string::npos) << answer;
    expectNextClientServed();
}

constexpr const char* kNoRequest = "closed a DevTools connection that sent no complete upgrade request within 5 seconds";
constexpr const char* kTooLong = "The WebSocket message exceeded the locally configured limit";
constexpr const char* kReset = "Connection reset by peer";
const std::string kForbidden = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n";
// The close frames a server sends first: FIN and opcode, length 2, the code.
const std::string kProtocolError("\x88\x02\x03\xea", 4), kTooBig("\x88\x02\x03\xf1", 4);

INSTANTIATE_TEST_SUITE_P(
    Debugger, WhileTheRunWaits,
    ::testing::Values(
        Hostile{"HalfARequest", false, std::string(kHalfARequest), Then::Read, kNoRequest},
        Hostile{"HalfARequestThenGone", false, std::string(kHalfARequest), Then::Leave, "partial message"},
        Hostile{"PlainHttpRequest", false, "GET /json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", Then::Read,
                "The WebSocket handshake Connection field is missing", "HTTP/1.1 400 "},
        Hostile{"ForeignHost", false, upgradeRequest("Host: rebound.example:9005\r\n"), Then::Read,
                "refused a DevTools connection for Host \"rebound.example:9005\": only localhost, 127.0.0.0/8 and "
                "[::1] are served", kForbidden},
        Hostile{"PageOrigin", false, upgradeRequest("Host: localhost\r\nOrigin: http://127.0.0.1:8000\r\n"),
                Then::Read, "refused a DevTools connection from Origin \"http://127.0.0.1:8000\": only "
                "devtools://devtools and the allowed origins may connect", kForbidden},
        Hostile{"Garbage", true, "this is no WebSocket frame", Then::Read,
                "The WebSocket frame contained an illegal opcode", kProtocolError},
        Hostile{"UnmaskedFrame", true, std::string("\x81\x02{}", 4), Then::Read, "The WebSocket frame was unmasked",
                kProtocolError},
        Hostile{"JustOverTheLimit", true, clientFrame(1, "{}", true, (1u << 24) + 1), Then::Read, kTooLong, kTooBig},
        Hostile{"LengthWithTheTopBitSet", true, clientFrame(1, "{}", true, (std::uint64_t{1} << 63) + 2), Then::Read,
                kTooLong, kTooBig},
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
        Hostile{"BetweenFragments", true, kFirstFragment, Then::Reset, kReset},
        // An orderly close is answered and never reported.
        Hostile{"CloseFrameThenSilence", true, clientFrame(8, "\x03\xe8"), Then::Read, "", "\x88\x02\x03\xe8"}),
    [](const auto& info) { return std::string(info.param.name); });

// The pause loop loses its client, after a flood of pings that it answered:
// the script runs on to its end without a debugger, and that is no session
// failure (no line, no onDisconnect); the next execute listens again.
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
            flood(client);
            client.writeRaw(bytes);
            if (then == Then::Reset)
                client.reset();
            else if (bytes.empty())
                client.close();
        });
        execute(false, [this] { run("hostState.after = 0;\ndebugger;\nhostState.after = 2;"); });
        joinClient();
        EXPECT_EQ(text(run("hostState.after")), "2");
    }
    EXPECT_EQ(listens, 4);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
    expectNextClientServed();
}

}  // namespace
}  // namespace qorjs::test

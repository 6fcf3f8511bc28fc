// Clients that stall, are refused, break the protocol, flood or vanish at the
// worst moment. Each costs the host at most one "Error: " line: no crash, no
// hang, none of the host's own state lost, and the next client is served.

#include "debugger/DebugClient.h"

namespace qorjs::test {
namespace {

constexpr std::string_view kHalfARequest = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n";

class HostileClientTest : public DebuggerTest {
protected:
    void SetUp() override { DebuggerTest::SetUp(), run("var hostState = {kept: 'yes', count: 41};"); }

    // The next client, flooding the host with pings before its run, is
    // served as usual, on the host's state from before.
    void expectNextClientServed()
    {
        startClient([](DebugClient& client) {
            client.open();
            std::string pings, pongs;
            for (int i = 0; i < 2000; ++i)
                pings += clientFrame(9, "ping!"), pongs += "\x8a\x05ping!";
            client.writeRaw(pings);
            EXPECT_TRUE(client.readRaw(pongs.size()) == pongs);
            client.send(command(1, "Runtime.enable"));
            client.send(command(2, "Runtime.runIfWaitingForDebugger"));
            client.readUntil("served next");
            client.readUntilClosed();
        });
        execute([this] { run("hostState.count += 1; console.log('served next');"); });
        endSession();
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

    execute();
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    report = *row.reason ? std::string("Error: ") + row.reason + "\n" : "";
    EXPECT_NE(answer.find(row.answer), std::string::npos) << answer;
    expectNextClientServed();
}

// The close frames a server sends first are FIN and opcode, length 2, the code.

INSTANTIATE_TEST_SUITE_P(
    Debugger, WhileTheRunWaits,
    ::testing::Values(
        Hostile{"HalfARequest", false, std::string(kHalfARequest), Then::Read,
                "closed a DevTools connection that sent no complete upgrade request within 5 seconds"},
        Hostile{"HalfARequestThenGone", false, std::string(kHalfARequest), Then::Leave, "partial message"},
        Hostile{"PlainHttpRequest", false, "GET /json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", Then::Read,
                "The WebSocket handshake Connection field is missing", "HTTP/1.1 400 "},
        Hostile{"ForeignHost", false, upgradeRequest("Host: rebound.example:9005\r\n"), Then::Read,
                "refused a DevTools connection for Host \"rebound.example:9005\": only localhost, 127.0.0.0/8 and "
                "[::1] are served", "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"},
        Hostile{"Garbage", true, "this is no WebSocket frame", Then::Read,
                "The WebSocket frame contained an illegal opcode", std::string("\x88\x02\x03\xea", 4)},
        Hostile{"JustOverTheLimit", true, clientFrame(1, "{}", true, (1u << 24) + 1), Then::Read,
                "The WebSocket message exceeded the locally configured limit", std::string("\x88\x02\x03\xf1", 4)},
        Hostile{"Reset", true, "", Then::Reset, "Connection reset by peer"},
        // An orderly close is answered and never reported.
        Hostile{"CloseFrameThenSilence", true, clientFrame(8, "\x03\xe8"), Then::Read, "", "\x88\x02\x03\xe8"}),
    [](const auto& info) { return std::string(info.param.name); });

// The pause loop loses its client, with a close frame or a reset inside a
// fragmented message: the script runs on to its end without a debugger, and that is no session
// failure (no line, no onDisconnect); the next execute listens again.
TEST_F(HostileClientTest, AClientLeavingDuringAPauseLetsTheScriptFinishSilently)
{
    for (const std::string& bytes : {std::string(), clientFrame(1, R"({"id":9,"method":"Runtime.)", false)}) {
        SCOPED_TRACE(bytes.size());
        startClient([&](DebugClient& client) {
            client.open();
            client.send(command(1, "Debugger.enable"));
            client.send(command(2, "Runtime.runIfWaitingForDebugger"));
            client.readUntil("\"method\":\"Debugger.paused\"");
            if (bytes.empty())
                client.close();
            else
                client.writeRaw(bytes), client.reset();
        });
        execute([this] { run("hostState.after = 0;\ndebugger;\nhostState.after = 2;"); });
        joinClient();
        EXPECT_EQ(text(run("hostState.after")), "2");
    }
    EXPECT_EQ(listens, 2);
    EXPECT_EQ(disconnects, 0);
    expectNextClientServed();
}

}  // namespace
}  // namespace qorjs::test

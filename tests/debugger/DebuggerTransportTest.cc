// The WebSocket side of the debugger: who may connect, message kinds and
// sizes, and how a broken message ends the session.

#include "debugger/DebuggerFixture.h"

#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/error.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#if !defined(_WIN32)
#    include <arpa/inet.h>
#    include <netinet/in.h>
#    include <netinet/tcp.h>
#    include <sys/socket.h>
#endif

namespace qorjs::test {
namespace {

namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;

constexpr std::size_t kMessageLimit = 16 * 1024 * 1024;

TEST_F(DebuggerTest, BinaryMessagesAreAnsweredInBinary)
{
    std::vector<DebugClient::Message> answers;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(0, "Runtime.enable"));
        client.readResponse(0);
        const std::string evaluate = R"({"expression":"6 * 7","contextId":1})";
        client.send(command(1, "Runtime.evaluate", evaluate), true);
        answers.push_back(client.read());
        client.send(command(2, "Runtime.evaluate", evaluate));
        answers.push_back(client.read());
        client.send(command(3, "Runtime.runIfWaitingForDebugger"), true);
        answers.push_back(client.read());
        client.readUntilClosed();
    });

    execute(false);
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1) << "a binary runIfWaitingForDebugger starts the run too";
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_TRUE(isResponse(answers[0].text, 1));
    EXPECT_NE(answers[0].text.find("\"value\":42"), std::string::npos) << answers[0].text;
    EXPECT_TRUE(answers[0].binary);
    EXPECT_TRUE(isResponse(answers[1].text, 2));
    EXPECT_FALSE(answers[1].binary);
    EXPECT_TRUE(isResponse(answers[2].text, 3));
    EXPECT_TRUE(answers[2].binary);
}

// {"id":ID,...,"expression":"'aaa...'.length"} of exactly `size` bytes, whose
// evaluation gives the number of letters a.
struct Evaluation {
    std::string message;
    std::size_t letters;
};

Evaluation evaluationOfSize(int id, std::size_t size)
{
    const std::string head = "{\"id\":" + std::to_string(id) +
                             ",\"method\":\"Runtime.evaluate\",\"params\":{\"contextId\":1,\"expression\":\"'";
    const std::string tail = "'.length\"}}";
    const std::size_t letters = size - head.size() - tail.size();
    return {head + std::string(letters, 'a') + tail, letters};
}

TEST_F(DebuggerTest, MessagesUpToSixteenMebibytesAreReadWhole)
{
    std::string answer;
    unsigned closeCode = 0;
    const Evaluation largest = evaluationOfSize(1, kMessageLimit);
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(0, "Runtime.enable"));
        client.send(largest.message);
        answer = client.readResponse(1);
        client.send(evaluationOfSize(2, kMessageLimit + 1).message);
        closeCode = client.readUntilClosed();
    });

    execute(false);
    joinClient();

    EXPECT_NE(answer.find("\"value\":" + std::to_string(largest.letters)), std::string::npos) << answer.substr(0, 200);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "Error: The WebSocket message exceeded the locally configured limit\n");
    EXPECT_EQ(closeCode, static_cast<unsigned>(websocket::close_code::too_big));
}

TEST_F(DebuggerTest, TextThatIsNotUtf8EndsTheSession)
{
    unsigned closeCode = 0;
    startClient([&](DebugClient& client) {
        client.open();
        client.send("{\"id\":1,\"method\":\"\xff\xfe\"}");
        closeCode = client.readUntilClosed();
    });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "Error: The WebSocket frame payload was not valid utf8\n");
    EXPECT_EQ(closeCode, static_cast<unsigned>(websocket::close_code::bad_payload));
}

// Without discovery no HTTP resource is served, not even its documents: the
// first request must be the upgrade, and the library's own answer and reason
// stand.
TEST_F(DebuggerTest, APlainHttpRequestIsAnsweredWithAnError)
{
    DebugClient::Response response;
    startClient([&](DebugClient& client) {
        client.connect();
        response = client.plainGet("/json/version");
    });

    execute(false);
    joinClient();

    EXPECT_EQ(response.result(), http::status::bad_request);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "Error: The WebSocket handshake Connection field is missing\n");
}

TEST_F(DebuggerTest, AClientLeavingBeforeItsRequestIsNotReported)
{
    startClient([](DebugClient& client) { client.connect(); });

    execute(false);
    joinClient();

    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(reported(), "");
}

// Sends `bytes` in one write on a plain TCP connection, ends its sending side
// and returns everything the server sends until it closes.
std::string sendAtOnceAndReadToEnd(unsigned short port, const std::string& bytes)
{
    namespace asio = boost::asio;
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"), port);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    boost::system::error_code error;
    while (socket.connect(server, error), error && std::chrono::steady_clock::now() < giveUp) {
        socket.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (error)
        throw std::runtime_error("client connect: " + error.message());
    asio::write(socket, asio::buffer(bytes));
    socket.shutdown(asio::ip::tcp::socket::shutdown_send);
    std::string received;
    char chunk[4096];
    while (true) {
        const std::size_t read = socket.read_some(asio::buffer(chunk), error);
        received.append(chunk, read);
        if (error)
            return received;
    }
}

void ignoreSignal(int) {}

// A host's signal handler installed without SA_RESTART makes the kernel end a
// blocked accept or read with EINTR. The debugger waits on, in the accept and
// for the next message alike.
TEST_F(DebuggerTest, ASignalToTheWaitingHostEndsNothing)
{
    struct sigaction handler {};
    handler.sa_handler = ignoreSignal;
    sigemptyset(&handler.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    const pthread_t host = pthread_self();
    // Sent while the debugger blocks; a signal that comes before it blocks
    // tests nothing but fails nothing either, so there are a few.
    const auto interruptHost = [host] {
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            pthread_kill(host, SIGUSR1);
        }
    };
    startClient([&](DebugClient& client) {
        interruptHost();
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.readResponse(1);
        interruptHost();
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntilClosed();
    });

    execute(false);
    debugger.reset();
    joinClient();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
}

// A client frame with a zero masking key, so that the payload stays as it is.
std::string maskedTextFrame(const std::string& payload)
{
    EXPECT_LT(payload.size(), 126u);
    return std::string{'\x81', static_cast<char>(0x80 | payload.size()), 0, 0, 0, 0} + payload;
}

// A client that does not wait for the answer to its upgrade request and sends
// its first message right behind it loses nothing: the bytes read together
// with the request are the start of the WebSocket traffic.
TEST_F(DebuggerTest, AMessageSentRightBehindTheUpgradeRequestIsRead)
{
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    const std::string messages =
        maskedTextFrame(command(1, "Runtime.evaluate", R"({"expression":"6 * 7","contextId":1})")) +
        maskedTextFrame(command(2, "Runtime.runIfWaitingForDebugger"));
    std::string received;
    startClient([&](DebugClient&) { received = sendAtOnceAndReadToEnd(port, request + messages); });

    execute(false);
    debugger.reset();
    joinClient();

    EXPECT_TRUE(received.starts_with("HTTP/1.1 101")) << received;
    EXPECT_NE(received.find("{\"id\":1,\"result\":{\"result\":{\"type\":\"number\",\"value\":42"), std::string::npos)
        << received;
    EXPECT_NE(received.find("{\"id\":2,"), std::string::npos) << received;
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
}

struct HandshakeCase {
    const char* name;
    std::string host;
    std::optional<std::string> origin;
    std::vector<std::string> allowedOrigins;
    bool accepted;

    friend void PrintTo(const HandshakeCase& given, std::ostream* out) { *out << given.name; }
};

class HandshakeTest : public DebuggerTest, public ::testing::WithParamInterface<HandshakeCase> {};

// A refusal ends the session like a failed handshake: a 403 with a one-line
// reason for the client, onDisconnect, and one line naming what was refused.
TEST_P(HandshakeTest, AcceptsOnlyLoopbackHostsAndAllowedOrigins)
{
    const HandshakeCase& given = GetParam();
    debugger->setAllowedOrigins(given.allowedOrigins);
    std::pair<boost::system::error_code, DebugClient::Response> answer;
    startClient([&](DebugClient& client) {
        client.connect();
        answer = client.tryHandshake(given.host, given.origin);
        if (!answer.first) {
            client.send(command(1, "Runtime.runIfWaitingForDebugger"));
            client.readUntilClosed();
        }
    });

    execute(false);
    debugger.reset();
    joinClient();

    const auto& [error, response] = answer;
    if (given.accepted) {
        EXPECT_FALSE(error) << error.message();
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(disconnects, 0);
        EXPECT_EQ(reported(), "");
        return;
    }
    EXPECT_EQ(error, websocket::error::upgrade_declined);
    EXPECT_EQ(response.result(), http::status::forbidden);
    EXPECT_EQ(std::string(response[http::field::content_type]), "text/plain; charset=utf-8");
    EXPECT_EQ(std::count(response.body().begin(), response.body().end(), '\n'), 1) << response.body();
    EXPECT_TRUE(response.body().ends_with("\n"));
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 1);
    const std::string refused = given.origin ? *given.origin : given.host;
    const std::string line = reported();
    EXPECT_TRUE(line.starts_with("Error: ")) << line;
    EXPECT_NE(line.find("\"" + refused + "\""), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Debugger,
    HandshakeTest,
    ::testing::Values(HandshakeCase{"ForeignHost", "attacker.example:9005", std::nullopt, {}, false},
                      HandshakeCase{"PageOnLoopback", "127.0.0.1", "http://127.0.0.1:8000", {}, false},
                      HandshakeCase{"PageOnLocalhost", "localhost", "http://localhost:3000", {}, false},
                      HandshakeCase{"FileUrlPage", "127.0.0.1", "null", {"http://127.0.0.1:8000"}, false},
                      HandshakeCase{"AllowedPage", "127.0.0.1", "http://127.0.0.1:8000", {"http://127.0.0.1:8000"}, true},
                      HandshakeCase{"EveryOriginAllowed", "localhost:9005", "https://example.com", {"*"}, true},
                      HandshakeCase{"DevToolsFrontend", "127.0.0.1:9005", "devtools://devtools", {}, true},
                      HandshakeCase{"ToolWithoutOrigin", "[::1]:9005", std::nullopt, {}, true}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) { return std::string(info.param.name); });

#if !defined(_WIN32)
// This process's end of the debugger's connection: the socket bound to
// 127.0.0.1 at `port` that has a peer (the listener, closed by then, has
// none; the client's socket is bound to another port). -1 if none.
int acceptedSocketOn(unsigned short port)
{
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET ||
            ntohs(local.sin_port) != port)
            continue;
        sockaddr_in peer{};
        length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            return fd;
    }
    return -1;
}

// An evaluation answers with two writes (Debugger.scriptParsed, then the
// response). With Nagle's algorithm the second waits for the client's
// delayed acknowledgement, 40 ms on every such request.
TEST_F(DebuggerTest, TheAcceptedSocketWritesWithoutWaitingForAcknowledgements)
{
    int noDelay = -1;
    startClient([](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        client.readResponse(1);
        client.readUntilClosed();
    });

    execute(false, [&] {
        const int fd = acceptedSocketOn(port);
        socklen_t length = sizeof noDelay;
        if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length) != 0)
            noDelay = -1;
    });
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(noDelay, 1) << "-1: the accepted socket was not found";
}
#endif

}  // namespace
}  // namespace qorjs::test

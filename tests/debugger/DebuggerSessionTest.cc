// What a well-behaved client meets: the exact message that starts the host's
// work, a connection kept from one execute to the next, a declined or
// occupied port, answers in the kind of their request up to 16 MiB, the
// discovery documents, and the close that destruction sends.

#include "debugger/DebugClient.h"

#include <v8-initialization.h>

#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <atomic>
#include <tuple>

namespace qorjs::test {
namespace {

// Each message is answered in order; only the exact method starts the run,
// after its own answer, even with no context entered by the host.
TEST_F(DebuggerTest, OnlyTheExactRunIfWaitingForDebuggerStartsTheRun)
{
    std::string received;
    startClient([&](DebugClient& client) {
        client.open();
        int id = 0;
        for (const char* method : {"runtime.runIfWaitingForDebugger", "Runtime.runIfWaitingForDebuggerX", "",
                                   "Runtime.enable", "Runtime.runIfWaitingForDebugger"})
            client.send(*method ? command(id++, method) : "this is not JSON");
        while (received.find("running") == std::string::npos)
            received += client.read();
        EXPECT_EQ(client.readUntilClosed(), 1000u);
    });

    context()->Exit();
    execute(false, [this] {
        v8::Context::Scope entered(context());
        run("console.log('running')");
    });
    context()->Enter();
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(reported(), "");
    EXPECT_LT(received.find(answerTo(0)), received.find(answerTo(3)));
    EXPECT_LT(received.find(answerTo(3)), received.find("running"));
}

// The next execute neither asks beforeListen nor handshakes, and its run
// starts on the first JSON message of any method.
TEST_F(DebuggerTest, ASecondExecuteReusesTheOpenConnection)
{
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("first run");
        client.send("not JSON either");
        client.send(command(3, "Profiler.enable"));
        client.readUntil(answerTo(3));
        client.readUntil("second run");
        client.readUntilClosed();
    });

    execute(false, [this] { run("console.log('first run')"); });
    execute(false, [this] { run("console.log('second run')"); });
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 2);
    EXPECT_EQ(listens, 1);
    EXPECT_EQ(reported(), "");
}

TEST_F(DebuggerTest, ADeclinedListenRunsTheWorkAndAPortInUseRunsNothing)
{
    execute(false, [this] { run("var ran = true;"); }, false);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(text(run("ran")), "true");

    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor occupant(context, {boost::asio::ip::make_address("127.0.0.1"), port});
    execute(false);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(listens, 2) << "each execute asks again";
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "Error: bind: Address already in use\n");
}

// A client that never answers the close frame keeps the destructor only as
// long as the close's time limit; it gets the frame (1000), then the end.
TEST_F(DebuggerTest, DestructionClosesEvenWhenTheCloseIsNeverAnswered)
{
    std::string received;
    startClient([&](DebugClient& client) {
        client.open();
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        received = client.readRaw();
    });

    execute(false);
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_NE(received.find(answerTo(1)), std::string::npos) << received;
    EXPECT_TRUE(received.ends_with("\x88\x02\x03\xe8")) << received;
}

// A message sent right behind the upgrade request is kept, the largest
// message allowed is read whole, and answers come in the kind (text or
// binary) of the request before them.
TEST_F(DebuggerTest, EveryMessageAllowedIsReadWholeAndAnsweredInItsKind)
{
    const std::string evaluate = R"({"contextId":1,"expression":"6 * 7"})";
    const std::string head = R"({"id":2,"method":"Runtime.evaluate","params":{"contextId":1,"expression":"')";
    const std::string tail = R"('.length"}})";
    const std::string largest = head + std::string(16 * 1024 * 1024 - head.size() - tail.size(), 'z') + tail;
    std::vector<std::pair<std::string, bool>> answers;
    startClient([&](DebugClient& client) {
        const auto answer = [&] {
            bool binary = false;
            std::string text = client.read(&binary);
            answers.emplace_back(std::move(text), binary);
        };
        client.open("Host: 127.0.0.1\r\n", clientFrame(1, command(1, "Runtime.evaluate", evaluate)));
        answer();
        client.send(largest);
        answer();
        client.send(command(3, "Runtime.evaluate", evaluate), true);
        answer();
        client.send(command(4, "Runtime.runIfWaitingForDebugger"));
        answer();
        client.readUntilClosed();
    });

    execute(false);
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(reported(), "");
    ASSERT_EQ(answers.size(), 4u);
    const std::string letters = std::to_string(std::ranges::count(largest, 'z'));
    for (const auto& [id, value, binary] : {std::tuple{1, "42", false}, {2, letters.c_str(), false}, {3, "42", true}}) {
        EXPECT_TRUE(answers[id - 1].first.starts_with(answerTo(id) + R"("result":{"result":{"type":"number","value":)" +
                                                     value))
            << answers[id - 1].first.substr(0, 200);
        EXPECT_EQ(answers[id - 1].second, binary) << id;
    }
    EXPECT_FALSE(answers[3].second) << "text again after a text request";
}

// A host that gives port 0 learns the port from the listening callback, after
// beforeListen; each document is answered on a connection of its own and the
// listener goes on, to serve the WebSocket client the documents name.
TEST_F(DebuggerTest, DiscoveryDocumentsNameTheTargetThatIsThenServed)
{
    port = 0;
    debugger->enableDiscovery("app.js", "file:///app.js");
    debugger->setAllowedOrigins({"http://127.0.0.1:8000"});
    std::atomic<unsigned short> bound = 0;
    debugger->setListeningCallback([&](unsigned short listening) {
        EXPECT_EQ(listens, 1);
        bound = listening;
    });
    std::string list, version, protocol;
    startClient([&](DebugClient&) {
        for (int wait = 0; bound == 0 && wait < 5000; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto get = [&](const char* target) {
            DebugClient documents(bound);
            documents.connect();
            documents.writeRaw(std::string("GET ") + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
            return documents.readRaw();
        };
        list = get("/json/list"), version = get("/json/version"), protocol = get("/json/protocol");
        DebugClient client(bound);
        client.open("Host: 127.0.0.1\r\nOrigin: http://127.0.0.1:8000\r\n");
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        client.readUntilClosed();
    });

    execute(false);
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "");
    EXPECT_TRUE(list.starts_with("HTTP/1.1 200 OK\r\n")) << list;
    const std::size_t id = list.find(R"("id": ")") + 7;
    const std::string url = "ws://127.0.0.1:" + std::to_string(bound) + "/" + list.substr(id, 36) + "\"";
    EXPECT_NE(list.find(R"("webSocketDebuggerUrl": ")" + url), std::string::npos) << list;
    EXPECT_NE(version.find(R"("webSocketDebuggerUrl": ")" + url), std::string::npos) << version;
    EXPECT_NE(version.find(std::string(R"("V8-Version": ")") + v8::V8::GetVersion()), std::string::npos) << version;
    EXPECT_TRUE(protocol.starts_with("HTTP/1.1 404 ")) << protocol;
}

}  // namespace
}  // namespace qorjs::test

// How DevTools clients find the debugger: the port a listener really has,
// and the HTTP documents that describe the target before a client connects.

#include "debugger/DebuggerFixture.h"

#include <v8-initialization.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

namespace qorjs::test {
namespace {

using namespace std::chrono_literals;

struct HttpAnswer {
    std::string head;  // status line and header fields
    std::string body;
};

// One request on a connection of its own, as discovery clients make them;
// everything the server sends until it closes.
HttpAnswer rawGet(unsigned short port, const std::string& target, const std::string& fields = "Host: 127.0.0.1\r\n")
{
    DebugClient client(port);
    client.connect();
    client.writeRaw("GET " + target + " HTTP/1.1\r\n" + fields + "\r\n");
    const std::string answer = client.readRawUntilEof();
    const std::size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos)
        return {answer, ""};
    return {answer.substr(0, end), answer.substr(end + 4)};
}

class DiscoveryTest : public DebuggerTest {
protected:
    // `expression` evaluated with `document` (a JSON text) parsed as `d`.
    std::string inDocument(const std::string& document, const std::string& expression)
    {
        v8::Local<v8::Object> global = context()->Global();
        EXPECT_TRUE(global
                        ->Set(context(), js::V8Helper::v8_string("documentText", isolate),
                              js::V8Helper::v8_string(document, isolate))
                        .FromJust());
        return text(run("(() => { const d = JSON.parse(documentText); return " + expression + "; })()"));
    }
};

// A host that gives port 0 learns the port from the listening callback, after
// beforeListen and before the first client, and a client reaches it there.
TEST_F(DiscoveryTest, PortZeroIsReportedAndReachable)
{
    std::atomic<unsigned short> bound = 0;
    std::vector<std::string> order;
    debugger->setListeningCallback([&](unsigned short listening) {
        order.push_back("listening");
        bound = listening;
    });
    std::thread client([&] {
        while (bound == 0)
            std::this_thread::sleep_for(1ms);
        DebugClient debugClient(bound);
        try {
            debugClient.open();
            debugClient.send(command(1, "Runtime.runIfWaitingForDebugger"));
            debugClient.readUntilClosed();
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    });

    debugger->execute(
        false, [&] { order.push_back("run"); },
        [&](unsigned short asked) {
            EXPECT_EQ(asked, 0);
            order.push_back("beforeListen");
            return true;
        },
        [&] { order.push_back("disconnect"); }, 0);
    debugger.reset();
    client.join();

    EXPECT_NE(bound, 0);
    EXPECT_EQ(order, (std::vector<std::string>{"beforeListen", "listening", "run"}));
    EXPECT_EQ(reported(), "");
}

// Discovery on: each document on a connection of its own, the listener goes
// on, and the WebSocket client that follows is served by the same execute.
TEST_F(DiscoveryTest, DocumentsAnsweredThenTheWebSocketClientServed)
{
    debugger->enableDiscovery("app \"one\".js", "file:///tmp/app%20%22one%22.js");
    HttpAnswer version, list, json, protocol, slashAndQuery;
    startClient([&](DebugClient& client) {
        version = rawGet(port, "/json/version");
        list = rawGet(port, "/json/list");
        json = rawGet(port, "/json");
        slashAndQuery = rawGet(port, "/json/list/?t=1");
        protocol = rawGet(port, "/json/protocol");
        client.open();
        client.send(command(1, "Runtime.runIfWaitingForDebugger"));
        client.readUntilClosed();
    });

    execute(false);
    debugger.reset();
    joinClient();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(listens, 1);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(reported(), "") << "answered requests print nothing";

    for (const HttpAnswer* answer : {&version, &list, &json, &slashAndQuery}) {
        EXPECT_TRUE(answer->head.starts_with("HTTP/1.1 200 OK\r\n")) << answer->head;
        EXPECT_NE(answer->head.find("Content-Type: application/json"), std::string::npos) << answer->head;
    }
    EXPECT_TRUE(protocol.head.starts_with("HTTP/1.1 404 ")) << protocol.head;
    EXPECT_EQ(list.body, json.body);
    EXPECT_EQ(list.body, slashAndQuery.body);

    const std::string p = std::to_string(port);
    EXPECT_EQ(inDocument(list.body, "d.length"), "1");
    const std::string id = inDocument(list.body, "d[0].id");
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << id;
    EXPECT_EQ(inDocument(list.body, "d[0].title"), "app \"one\".js");
    EXPECT_EQ(inDocument(list.body, "d[0].url"), "file:///tmp/app%20%22one%22.js");
    EXPECT_EQ(inDocument(list.body, "d[0].type"), "node");
    EXPECT_EQ(inDocument(list.body, "typeof d[0].description"), "string");
    EXPECT_EQ(inDocument(list.body, "d[0].webSocketDebuggerUrl"), "ws://127.0.0.1:" + p + "/" + id);
    EXPECT_EQ(inDocument(list.body, "d[0].devtoolsFrontendUrl"),
              "devtools://devtools/bundled/js_app.html?experiments=true&v8only=true&ws=127.0.0.1:" + p + "/" + id);

    EXPECT_EQ(inDocument(version.body, "d.Browser"), std::string("QorJavaScript/") + QORJAVASCRIPT_VERSION);
    EXPECT_EQ(inDocument(version.body, "d['Protocol-Version']"), "1.3");
    EXPECT_EQ(inDocument(version.body, "d['V8-Version']"), v8::V8::GetVersion());
    EXPECT_EQ(inDocument(version.body, "d.webSocketDebuggerUrl"), "ws://127.0.0.1:" + p + "/" + id);
}

// The rules that guard the upgrade guard discovery too: a refused request is
// answered 403 and ends the wait as a refused handshake does, and so does a
// request for anything else; an incomplete one is let go after the same
// bounded wait.
TEST_F(DiscoveryTest, RefusedOtherAndStalledRequestsAreHandledAsHandshakes)
{
    debugger->enableDiscovery("app.js", "file:///app.js");
    const std::vector<std::string> refusedFields = {
        "Host: rebound.example:9005\r\n",
        "Host: 127.0.0.1\r\nOrigin: http://page.example\r\n",
    };
    for (const std::string& fields : refusedFields) {
        HttpAnswer refused;
        startClient([&](DebugClient&) { refused = rawGet(port, "/json/list", fields); });
        execute(false);
        joinClient();
        EXPECT_TRUE(refused.head.starts_with("HTTP/1.1 403 ")) << refused.head;
        EXPECT_EQ(refused.body.find("webSocketDebuggerUrl"), std::string::npos) << refused.body;
    }
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(disconnects, 2);
    const std::string refusals = reported();
    EXPECT_NE(refusals.find("refused a DevTools connection for Host \"rebound.example:9005\""), std::string::npos)
        << refusals;
    EXPECT_NE(refusals.find("refused a DevTools connection from Origin \"http://page.example\""), std::string::npos)
        << refusals;

    // Not discovery's to answer: the handshake's own answer, as without it.
    HttpAnswer other;
    startClient([&](DebugClient&) { other = rawGet(port, "/favicon.ico"); });
    execute(false);
    joinClient();
    EXPECT_TRUE(other.head.starts_with("HTTP/1.1 400 ")) << other.head;
    EXPECT_EQ(disconnects, 3);

    std::string stalled;
    startClient([&](DebugClient& client) {
        client.connect();
        client.writeRaw("GET /json/list HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        stalled = client.readRawUntilEof();
    });
    const auto started = std::chrono::steady_clock::now();
    execute(false);
    const auto waited = std::chrono::steady_clock::now() - started;
    joinClient();
    EXPECT_EQ(stalled, "");
    EXPECT_LT(waited, 10s);
    EXPECT_EQ(disconnects, 4);
    EXPECT_NE(reported().find("sent no complete upgrade request within 5 seconds"), std::string::npos) << reported();
}

}  // namespace
}  // namespace qorjs::test

// Who may open the debugger's WebSocket (Host and Origin, and the refusal
// texts), and the discovery documents and target ids clients read first.

#include "debugger/Discovery.h"
#include "debugger/HandshakeRules.h"

#include <boost/beast/http/empty_body.hpp>

#include <gtest/gtest.h>

#include <v8-initialization.h>

#include <regex>

namespace qor::format::engine::javascript {
namespace {

namespace http = boost::beast::http;

TEST(HandshakeRules, OnlyLoopbackHostsWithAValidPortAreServed)
{
    for (const char* host : {"localhost", "LocalHost:9005", "localhost:9", "127.0.0.1", "127.0.0.1:65535",
                             "127.255.0.9:1", "[::1]", "[::1]:65535"})
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    for (const char* host : {"", "attacker.example", "localhost.attacker.example", "127.0.0.1.attacker.example",
                             "127.attacker.example", "128.0.0.1", "127.0.0.256", "127.0.0", "127.0.0.1.", "127..0.1",
                             "[::2]", "[::1", "[::1]x", "::1", "localhost:", "localhost:65536", "localhost:9005:1"})
        EXPECT_FALSE(isLoopbackHost(host)) << '"' << host << '"';
}

TEST(HandshakeRules, OnlyTheFrontendAndAllowedOriginsMayConnect)
{
    const std::vector<std::string> listed{"https://a.example", "http://127.0.0.1:8000"};
    EXPECT_TRUE(isAllowedOrigin("devtools://devtools", {}));
    EXPECT_FALSE(isAllowedOrigin("devtools://devtools.attacker.example", {}));
    EXPECT_TRUE(isAllowedOrigin("http://127.0.0.1:8000", listed));
    EXPECT_FALSE(isAllowedOrigin("http://127.0.0.1:8001", listed));
    EXPECT_TRUE(isAllowedOrigin("null", {"*"}));
}

// A missing and a doubled Host are refused each with its own report; tools
// send no Origin, and two Origins are refused even when one is allowed.
TEST(HandshakeRules, AmbiguousHeadersAreRefusedWithTheirOwnReason)
{
    const auto report = [](std::vector<std::pair<http::field, const char*>> given) {
        http::fields fields;
        for (const auto& [name, value] : given)
            fields.insert(name, value);
        const std::optional<HandshakeRefusal> refused = checkUpgradeRequest(fields, {});
        return refused ? refused->report : "accepted";
    };
    using enum http::field;
    EXPECT_EQ(report({}), "refused a DevTools connection without a Host header");
    EXPECT_EQ(report({{host, "127.0.0.1"}, {host, "localhost"}}),
              "refused a DevTools connection with more than one Host header");
    EXPECT_EQ(report({{host, "127.0.0.1:9005"}}), "accepted");
    EXPECT_EQ(report({{host, "[::1]"}, {origin, "devtools://devtools"}, {origin, "devtools://devtools"}}),
              "refused a DevTools connection from Origin \"devtools://devtools\": only devtools://devtools and the "
              "allowed origins may connect");
}

TEST(Discovery, TargetIdsAreRandomVersion4UuidsAndTextsAreQuotedAsJson)
{
    const std::string id = newTargetId();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << id;
    EXPECT_NE(id, newTargetId());
    EXPECT_EQ(jsonString("app \"one\".js C:\\a\n\r\t\x01\x1f~é"), R"("app \"one\".js C:\\a\n\r\t\u0001\u001f~é")");
}

// Each document under its paths, a trailing "/" and a query aside; any other
// path, method or an upgrade is left to the handshake.
TEST(Discovery, DocumentsAreServedForTheirPathsOnly)
{
    const struct {
        http::verb method;
        const char* path;
        int status;  // 0: not discovery's to answer
        std::string content;
    } rows[] = {
        {http::verb::get, "/json", 200, R"("webSocketDebuggerUrl": "ws://127.0.0.1:9229/the-id")"},
        {http::verb::get, "/json/list/?t=1", 200, R"("type": "node")"},
        {http::verb::get, "/json/version", 200, std::string(R"("Protocol-Version": "1.3",)" "\n  \"V8-Version\": \"") +
                                                     v8::V8::GetVersion() + "\",\n  " +
                                                     R"("webSocketDebuggerUrl": "ws://127.0.0.1:9229/the-id")"},
        {http::verb::get, "/json/protocol", 404, "No protocol description"},
        {http::verb::get, "/favicon.ico", 0, ""},
        {http::verb::post, "/json", 0, ""},
        {http::verb::get, "/json?upgrade", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        http::request<http::empty_body> request{row.method, row.path, 11};
        if (std::string_view(row.path).ends_with("?upgrade"))
            request.set(http::field::connection, "Upgrade"), request.set(http::field::upgrade, "websocket");
        const auto response = discoveryResponse(request, {"the-id", "app.js", "file:///app.js"}, 9229);
        ASSERT_EQ(response ? response->result_int() : 0, row.status);
        if (response) {
            EXPECT_NE(response->body().find(row.content), std::string::npos) << response->body();
            EXPECT_FALSE(response->keep_alive()) << "the listener must get back to accepting";
            EXPECT_EQ(response->at(http::field::content_type),
                      row.status == 200 ? "application/json; charset=UTF-8" : "text/plain; charset=utf-8");
        }
    }
}

}  // namespace
}  // namespace qor::format::engine::javascript

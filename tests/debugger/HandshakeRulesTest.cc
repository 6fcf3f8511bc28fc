// Who may open the debugger's WebSocket (Host and Origin rules, with the
// refusal texts), and the discovery documents and target ids that clients
// read before they connect.

#include "debugger/Discovery.h"
#include "debugger/HandshakeRules.h"

#include <boost/beast/http/empty_body.hpp>

#include <gtest/gtest.h>

#include <regex>

namespace qor::format::engine::javascript {
namespace {

namespace http = boost::beast::http;

TEST(HandshakeRules, OnlyLoopbackHostsWithAValidPortAreServed)
{
    for (const char* host : {"localhost", "LocalHost:9005", "localhost:9", "127.0.0.1", "127.0.0.1:65535",
                             "127.255.0.9:1", "[::1]", "[::1]:65535"})
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    for (const char* host :
         {"", "attacker.example", "localhost.attacker.example", "127.0.0.1.attacker.example", "127.attacker.example",
          "128.0.0.1", "10.0.0.1", "0.0.0.0", "127.0.0.256", "127.0.0", "127.0.0.1.", "127..0.1", "[::2]", "[::1",
          "[::1]x", "::1", "localhost:", "localhost:65536", "localhost:9005:1", "localhost:12ab", " localhost"})
        EXPECT_FALSE(isLoopbackHost(host)) << '"' << host << '"';
}

TEST(HandshakeRules, OnlyTheFrontendAndAllowedOriginsMayConnect)
{
    const std::vector<std::string> none, listed{"https://a.example", "http://127.0.0.1:8000"}, every{"*"};
    const struct {
        const char* origin;
        const std::vector<std::string>& allowed;
        bool accepted;
    } rows[] = {
        {"devtools://devtools", none, true},       {"http://127.0.0.1:8000", none, false},
        {"null", none, false},                     {"devtools://devtools.attacker.example", none, false},
        {"http://127.0.0.1:8000", listed, true},   {"http://127.0.0.1:8001", listed, false},
        {"null", every, true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(isAllowedOrigin(row.origin, row.allowed), row.accepted) << row.origin;
}

// The report names what was wrong; a missing and a doubled Host differ.
TEST(HandshakeRules, AmbiguousHeadersAreRefusedWithTheirOwnReason)
{
    const auto refusal = [](std::vector<std::pair<http::field, const char*>> given) {
        http::fields fields;
        for (const auto& [name, value] : given)
            fields.insert(name, value);
        const std::optional<HandshakeRefusal> refused = checkUpgradeRequest(fields, {});
        return refused ? refused->report : "accepted";
    };
    using enum http::field;
    EXPECT_EQ(refusal({}), "refused a DevTools connection without a Host header");
    EXPECT_EQ(refusal({{host, "127.0.0.1"}, {host, "127.0.0.1"}}),
              "refused a DevTools connection with more than one Host header");
    EXPECT_EQ(refusal({{host, "127.0.0.1:9005"}}), "accepted") << "tools send no Origin";
    EXPECT_EQ(refusal({{host, "127.0.0.1"}, {origin, "devtools://devtools"}}), "accepted");
    EXPECT_EQ(refusal({{host, "127.0.0.1"}, {origin, "devtools://devtools"}, {origin, "http://a.example"}}),
              "refused a DevTools connection from Origin \"devtools://devtools\": only devtools://devtools and the "
              "allowed origins may connect");
}

TEST(Discovery, TargetIdsAreRandomVersion4Uuids)
{
    const std::string id = newTargetId();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << id;
    EXPECT_NE(id, newTargetId());
}

TEST(Discovery, TitlesAndUrlsAreQuotedAsJson)
{
    EXPECT_EQ(jsonString("app \"one\".js"), R"("app \"one\".js")");
    EXPECT_EQ(jsonString("C:\\a\n\r\t\x01\x1f~é"), R"("C:\\a\n\r\t\u0001\u001f~é")");
}

// Each document under its paths, a trailing "/" and a query aside; anything
// else, and any upgrade, is left to the handshake.
TEST(Discovery, DocumentsAreServedForTheirPathsOnly)
{
    const DiscoveryTarget target{"the-id", "app.js", "file:///app.js"};
    const struct {
        http::verb method;
        const char* path;
        int status;  // 0: not discovery's to answer
        const char* content;
    } rows[] = {
        {http::verb::get, "/json", 200, R"("webSocketDebuggerUrl": "ws://127.0.0.1:9229/the-id")"},
        {http::verb::get, "/json/list/?t=1", 200, R"("type": "node")"},
        {http::verb::get, "/json/version", 200, R"("Protocol-Version": "1.3")"},
        {http::verb::get, "/json/protocol", 404, "No protocol description"},
        {http::verb::get, "/favicon.ico", 0, ""},
        {http::verb::post, "/json", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        http::request<http::empty_body> request{row.method, row.path, 11};
        const auto response = discoveryResponse(request, target, 9229);
        ASSERT_EQ(response.has_value(), row.status != 0);
        if (!response)
            continue;
        EXPECT_EQ(response->result_int(), row.status);
        EXPECT_NE(response->body().find(row.content), std::string::npos) << response->body();
        if (row.status == 200) {
            EXPECT_EQ(response->at(http::field::content_type), "application/json; charset=UTF-8");
        }
    }
    http::request<http::empty_body> upgrade{http::verb::get, "/json", 11};
    upgrade.set(http::field::connection, "Upgrade");
    upgrade.set(http::field::upgrade, "websocket");
    EXPECT_FALSE(discoveryResponse(upgrade, target, 9229));
}

}  // namespace
}  // namespace qor::format::engine::javascript

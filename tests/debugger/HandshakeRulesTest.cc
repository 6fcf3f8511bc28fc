// Which Host and Origin values may open the debugger's WebSocket.

#include "debugger/HandshakeRules.h"

#include <gtest/gtest.h>

namespace qor::format::engine::javascript {
namespace {

namespace http = boost::beast::http;

TEST(HandshakeRules, LoopbackHostsWithOrWithoutPort)
{
    for (const char* host : {"localhost", "LocalHost:9005", "127.0.0.1", "127.0.0.1:9005", "127.255.0.9:1",
                             "[::1]", "[::1]:65535"})
        EXPECT_TRUE(isLoopbackHost(host)) << host;
}

TEST(HandshakeRules, NamesAndAddressesElsewhereAreNotLoopback)
{
    for (const char* host :
         {"", "attacker.example", "localhost.attacker.example", "127.0.0.1.attacker.example", "127.attacker.example",
          "128.0.0.1", "10.0.0.1", "0.0.0.0", "127.0.0.256", "127.0.0", "127.0.0.1.", "127..0.1", "[::2]", "[::1",
          "[::1]x", "::1", "localhost:", "localhost:65536", "localhost:9005:1", "localhost:12ab", " localhost"})
        EXPECT_FALSE(isLoopbackHost(host)) << '"' << host << '"';
}

TEST(HandshakeRules, OriginsAllowed)
{
    EXPECT_TRUE(isAllowedOrigin("devtools://devtools", {}));
    EXPECT_FALSE(isAllowedOrigin("http://127.0.0.1:8000", {}));
    EXPECT_FALSE(isAllowedOrigin("null", {}));
    EXPECT_FALSE(isAllowedOrigin("devtools://devtools.attacker.example", {}));
    EXPECT_TRUE(isAllowedOrigin("http://127.0.0.1:8000", {"https://a.example", "http://127.0.0.1:8000"}));
    EXPECT_FALSE(isAllowedOrigin("http://127.0.0.1:8001", {"http://127.0.0.1:8000"}));
    EXPECT_TRUE(isAllowedOrigin("null", {"*"}));
}

TEST(HandshakeRules, HeadersMustBeUnambiguous)
{
    http::fields fields;
    EXPECT_TRUE(checkUpgradeRequest(fields, {"*"})) << "no Host";

    fields.insert(http::field::host, "127.0.0.1:9005");
    EXPECT_FALSE(checkUpgradeRequest(fields, {})) << "no Origin";

    fields.insert(http::field::origin, "devtools://devtools");
    EXPECT_FALSE(checkUpgradeRequest(fields, {}));
    fields.insert(http::field::origin, "http://attacker.example");
    EXPECT_TRUE(checkUpgradeRequest(fields, {})) << "two Origins";

    http::fields twoHosts;
    twoHosts.insert(http::field::host, "127.0.0.1");
    twoHosts.insert(http::field::host, "attacker.example");
    EXPECT_TRUE(checkUpgradeRequest(twoHosts, {}));
}

}  // namespace
}  // namespace qor::format::engine::javascript

#pragma once

// Who may open the debugger's WebSocket. A debugger session runs arbitrary
// code in the host, and browsers let any page open a WebSocket to 127.0.0.1:
// a page reaches the port directly (then its Origin gives it away) or under
// its own domain name through DNS rebinding (then its Host does).

#include <boost/beast/http/fields.hpp>
#include <boost/system/system_error.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// The origin of the DevTools frontend's pages, always accepted.
inline constexpr std::string_view kDevToolsOrigin = "devtools://devtools";

// Why an upgrade request is refused.
struct HandshakeRefusal {
    std::string response;  // the one-line body of the HTTP 403 answer
    std::string report;    // the debugger's report line, naming the refused value
};

// A Host header value naming this machine: "localhost" (any letter case), an
// IPv4 address in 127.0.0.0/8 or "[::1]", each with or without ":PORT".
bool isLoopbackHost(std::string_view host);

// An Origin header value that may connect: the DevTools frontend's, one in
// `allowed`, or any when `allowed` holds "*". Compared byte for byte, as
// browsers send origins in one canonical form.
bool isAllowedOrigin(std::string_view origin, const std::vector<std::string>& allowed);

// The refusal for an upgrade request with these header fields, if any: Host
// must appear once and name this machine; Origin may be absent (tools send
// none) and otherwise must appear once and be allowed.
std::optional<HandshakeRefusal> checkUpgradeRequest(const boost::beast::http::fields& fields,
                                                    const std::vector<std::string>& allowedOrigins);

// A refused handshake: a transport failure like any other, but reported with
// the refusal's own text, since an error code cannot name the refused value.
class RefusedHandshake : public boost::system::system_error {
public:
    explicit RefusedHandshake(std::string report);
    const std::string& report() const noexcept { return text; }

private:
    std::string text;
};

}  // namespace qor::format::engine::javascript

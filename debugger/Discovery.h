#pragma once

// The HTTP documents with which DevTools clients find a target before they
// open its WebSocket: chrome://inspect and editors read /json/version and
// /json/list, command-line debuggers /json, and each then connects to the
// webSocketDebuggerUrl it was given.

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace qor::format::engine::javascript {

// The one target a debugger describes.
struct DiscoveryTarget {
    std::string id;
    std::string title;
    std::string url;
};

// A fresh target id: 128 random bits in the 8-4-4-4-12 hexadecimal form.
std::string newTargetId();

// `text` as a JSON string literal, quotes included.
std::string jsonString(std::string_view text);

// The answer to a discovery request: a GET, not a WebSocket upgrade, of
// /json, /json/list, /json/version or /json/protocol (a trailing "/" and a
// query aside). nullopt for any other request, which is not discovery's to
// answer. /json/protocol is answered 404, as no description of the protocol
// that this V8 speaks ships with it.
std::optional<boost::beast::http::response<boost::beast::http::string_body>> discoveryResponse(
    const boost::beast::http::request<boost::beast::http::empty_body>& request,
    const DiscoveryTarget& target,
    unsigned short port);

}  // namespace qor::format::engine::javascript

#include "debugger/Discovery.h"

#include <qor/javascript/Version.h>

#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <v8-initialization.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>

namespace qor::format::engine::javascript {

namespace {

namespace http = boost::beast::http;
using Response = http::response<http::string_body>;

enum class Document { List, Version, Protocol };

// "/json", "/json/list", "/json/version", "/json/protocol", each also with a
// trailing "/" and with a query, which clients add to defeat caches.
std::optional<Document> requestedDocument(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    if (target.size() > 1 && target.ends_with('/'))
        target.remove_suffix(1);
    if (target == "/json" || target == "/json/list")
        return Document::List;
    if (target == "/json/version")
        return Document::Version;
    if (target == "/json/protocol")
        return Document::Protocol;
    return std::nullopt;
}

Response answer(const http::request<http::empty_body>& request,
                http::status status,
                std::string_view contentType,
                std::string body)
{
    Response response{status, request.version()};
    response.set(http::field::content_type, boost::beast::string_view(contentType.data(), contentType.size()));
    // Every request has a connection of its own: the listener serves one
    // connection at a time and must get back to accepting.
    response.keep_alive(false);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

std::string listDocument(const DiscoveryTarget& target, unsigned short port)
{
    // The address the listener really has: "localhost" may resolve to ::1,
    // where nothing listens.
    const std::string hostAndPath = "127.0.0.1:" + std::to_string(port) + "/" + target.id;
    // "node" is the type DevTools frontends open in their JavaScript-only
    // mode, without the panels of a web page that nothing here would answer.
    return "[ {\n"
           "  \"description\": \"QorJavaScript instance\",\n"
           "  \"devtoolsFrontendUrl\": " +
           jsonString("devtools://devtools/bundled/js_app.html?experiments=true&v8only=true&ws=" + hostAndPath) +
           ",\n"
           "  \"id\": " +
           jsonString(target.id) +
           ",\n"
           "  \"title\": " +
           jsonString(target.title) +
           ",\n"
           "  \"type\": \"node\",\n"
           "  \"url\": " +
           jsonString(target.url) +
           ",\n"
           "  \"webSocketDebuggerUrl\": " +
           jsonString("ws://" + hostAndPath) + "\n} ]\n";
}

std::string versionDocument(const DiscoveryTarget& target, unsigned short port)
{
    // 1.3 is the version of the protocol description of this V8 generation.
    return "{\n"
           "  \"Browser\": " +
           jsonString(std::string("QorJavaScript/") + QORJAVASCRIPT_VERSION) +
           ",\n"
           "  \"Protocol-Version\": \"1.3\",\n"
           "  \"V8-Version\": " +
           jsonString(v8::V8::GetVersion()) +
           ",\n"
           "  \"webSocketDebuggerUrl\": " +
           jsonString("ws://127.0.0.1:" + std::to_string(port) + "/" + target.id) + "\n}\n";
}

}  // namespace

std::string newTargetId()
{
    std::random_device entropy;
    std::array<std::uint8_t, 16> bytes{};
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(entropy());
    // Marked as a random (version 4, variant 1) UUID, the form clients show.
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string id;
    char hex[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        id += hex;
    }
    return id;
}

std::string jsonString(std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\r': quoted += "\\r"; break;
        case '\t': quoted += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[7];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                quoted += escaped;
            } else {
                // UTF-8 passes through: JSON text is UTF-8.
                quoted += c;
            }
        }
    }
    return quoted + "\"";
}

std::optional<Response> discoveryResponse(const http::request<http::empty_body>& request,
                                          const DiscoveryTarget& target,
                                          unsigned short port)
{
    if (request.method() != http::verb::get || boost::beast::websocket::is_upgrade(request))
        return std::nullopt;
    const std::optional<Document> document =
        requestedDocument(std::string_view(request.target().data(), request.target().size()));
    if (!document)
        return std::nullopt;
    constexpr std::string_view json = "application/json; charset=UTF-8";
    switch (*document) {
    case Document::List:
        return answer(request, http::status::ok, json, listDocument(target, port));
    case Document::Version:
        return answer(request, http::status::ok, json, versionDocument(target, port));
    case Document::Protocol:
        break;
    }
    return answer(request, http::status::not_found, "text/plain; charset=utf-8",
                  "No protocol description is served here: use the one your client brings "
                  "(chrome-remote-interface: pass local: true).\n");
}

}  // namespace qor::format::engine::javascript

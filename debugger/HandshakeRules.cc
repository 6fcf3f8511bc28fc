#include "debugger/HandshakeRules.h"

#include <boost/system/error_code.hpp>

#include <algorithm>
#include <cctype>

namespace qor::format::engine::javascript {

namespace {

namespace http = boost::beast::http;

bool isDigits(std::string_view text, std::size_t minimum, std::size_t maximum)
{
    return text.size() >= minimum && text.size() <= maximum &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ":" and 1 to 5 digits up to 65535, or nothing.
bool isPortSuffix(std::string_view suffix)
{
    if (suffix.empty())
        return true;
    if (suffix[0] != ':' || !isDigits(suffix.substr(1), 1, 5))
        return false;
    return std::stoul(std::string(suffix.substr(1))) <= 65535;
}

// Four decimal parts of 1 to 3 digits, each up to 255, the first 127. Only
// dotted-quad text counts: a name that merely starts with "127." does not.
bool isLoopbackIPv4(std::string_view name)
{
    int part = 0;
    while (true) {
        const std::size_t dot = name.find('.');
        const std::string_view digits = name.substr(0, dot);
        if (!isDigits(digits, 1, 3))
            return false;
        const unsigned long value = std::stoul(std::string(digits));
        if (value > 255 || (part == 0 && value != 127))
            return false;
        ++part;
        if (dot == std::string_view::npos)
            return part == 4;
        if (part == 4)
            return false;
        name.remove_prefix(dot + 1);
    }
}

bool isLocalhost(std::string_view name)
{
    constexpr std::string_view localhost = "localhost";
    return name.size() == localhost.size() &&
           std::equal(name.begin(), name.end(), localhost.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

std::string_view asStd(boost::beast::string_view text)
{
    return {text.data(), text.size()};
}

}  // namespace

bool isLoopbackHost(std::string_view host)
{
    std::string_view name;
    std::string_view portSuffix;
    if (host.starts_with('[')) {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(0, close + 1);
        portSuffix = host.substr(close + 1);
    } else {
        const std::size_t colon = host.find(':');
        name = host.substr(0, colon);
        portSuffix = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
    }
    if (!isPortSuffix(portSuffix))
        return false;
    return name == "[::1]" || isLocalhost(name) || isLoopbackIPv4(name);
}

bool isAllowedOrigin(std::string_view origin, const std::vector<std::string>& allowed)
{
    if (origin == kDevToolsOrigin)
        return true;
    return std::any_of(allowed.begin(), allowed.end(),
                       [origin](const std::string& entry) { return entry == "*" || entry == origin; });
}

std::optional<HandshakeRefusal> checkUpgradeRequest(const http::fields& fields,
                                                    const std::vector<std::string>& allowedOrigins)
{
    const std::size_t hosts = fields.count(http::field::host);
    if (hosts != 1)
        return HandshakeRefusal{
            "Forbidden: the request must carry one Host header naming localhost or a loopback address.",
            hosts == 0 ? "refused a DevTools connection without a Host header"
                       : "refused a DevTools connection with more than one Host header"};
    const std::string_view host = asStd(fields[http::field::host]);
    if (!isLoopbackHost(host))
        return HandshakeRefusal{
            "Forbidden: the Host header must name localhost or a loopback address.",
            "refused a DevTools connection for Host \"" + std::string(host) +
                "\": only localhost, 127.0.0.0/8 and [::1] are served"};

    const std::size_t origins = fields.count(http::field::origin);
    if (origins == 0)
        return std::nullopt;
    const std::string_view origin = asStd(fields[http::field::origin]);
    if (origins > 1 || !isAllowedOrigin(origin, allowedOrigins))
        return HandshakeRefusal{
            "Forbidden: this origin may not connect to the debugger.",
            "refused a DevTools connection from Origin \"" + std::string(origin) +
                "\": only devtools://devtools and the allowed origins may connect"};
    return std::nullopt;
}

RefusedHandshake::RefusedHandshake(std::string report)
    : boost::system::system_error(boost::system::errc::make_error_code(boost::system::errc::permission_denied),
                                  report),
      text(std::move(report))
{
}

}  // namespace qor::format::engine::javascript

#include "Protocol.h"

#include <charconv>
#include <cstdio>

namespace qorjs::bench {

namespace {

std::string jsonString(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[7];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::optional<int> numberAt(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data())
        return std::nullopt;
    return value;
}

}  // namespace

std::string request(int id, std::string_view method, std::string_view params)
{
    std::string text = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + std::string(method) + "\"";
    if (!params.empty())
        text += ",\"params\":" + std::string(params);
    return text + "}";
}

std::string evaluate(int id, std::string_view expression, int contextId)
{
    return request(id, "Runtime.evaluate",
                   "{\"expression\":" + jsonString(expression) + ",\"contextId\":" + std::to_string(contextId) + "}");
}

std::optional<int> responseId(std::string_view message)
{
    constexpr std::string_view prefix = "{\"id\":";
    if (!message.starts_with(prefix))
        return std::nullopt;
    return numberAt(message.substr(prefix.size()));
}

bool isEvent(std::string_view message, std::string_view method)
{
    constexpr std::string_view prefix = "{\"method\":\"";
    return message.starts_with(prefix) && message.substr(prefix.size()).starts_with(method) &&
           message.substr(prefix.size() + method.size()).starts_with("\"");
}

std::optional<int> createdContextId(std::string_view message)
{
    if (!isEvent(message, "Runtime.executionContextCreated"))
        return std::nullopt;
    constexpr std::string_view key = "\"context\":{\"id\":";
    const std::size_t at = message.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    return numberAt(message.substr(at + key.size()));
}

bool isErrorResponse(std::string_view message)
{
    const std::size_t comma = message.find(',');
    return comma != std::string_view::npos && message.substr(comma + 1).starts_with("\"error\":");
}

}  // namespace qorjs::bench

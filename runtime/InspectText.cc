#include "runtime/InspectText.h"

#include <qor/javascript/V8Helper.h>

#include <v8-exception.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qor::format::engine::javascript {

namespace {

void appendUtf8(std::string& out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::vector<std::uint16_t> utf16(v8::Isolate* isolate, v8::Local<v8::String> text, std::size_t maxLength)
{
    const int length = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(text->Length()), maxLength));
    std::vector<std::uint16_t> units(static_cast<std::size_t>(length));
    if (length > 0)
        text->Write(isolate, units.data(), 0, length, v8::String::NO_NULL_TERMINATION);
    return units;
}

bool isHighSurrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The quote that needs no escaping: single unless the text holds one, then
// double, then backtick; single (escaped) when the text holds all three.
char chooseQuote(const std::vector<std::uint16_t>& units)
{
    const auto holds = [&](char c) { return std::find(units.begin(), units.end(), c) != units.end(); };
    if (!holds('\''))
        return '\'';
    if (!holds('"'))
        return '"';
    return holds('`') ? '\'' : '`';
}

void appendEscaped(std::string& out, const std::vector<std::uint16_t>& units, char quote)
{
    char hex[8];
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint16_t unit = units[i];
        switch (unit) {
        case '\n': out += "\\n"; continue;
        case '\t': out += "\\t"; continue;
        case '\r': out += "\\r"; continue;
        case '\b': out += "\\b"; continue;
        case '\f': out += "\\f"; continue;
        case '\\': out += "\\\\"; continue;
        default: break;
        }
        if (unit == static_cast<std::uint16_t>(quote)) {
            out += '\\';
            out += quote;
        } else if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) {
            std::snprintf(hex, sizeof hex, "\\x%02X", unit);
            out += hex;
        } else if (isHighSurrogate(unit) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800u) << 10) + (units[i + 1] - 0xDC00u));
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            std::snprintf(hex, sizeof hex, "\\u%04x", unit);
            out += hex;
        } else {
            appendUtf8(out, unit);
        }
    }
}

bool isIdentifier(const std::vector<std::uint16_t>& units)
{
    const auto letter = [](std::uint16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (units.empty() || !letter(units.front()))
        return false;
    return std::all_of(
        units.begin(), units.end(), [&](std::uint16_t c) { return letter(c) || (c >= '0' && c <= '9'); });
}

// Days since 1970-01-01 to a civil date in the proleptic Gregorian calendar
// (after H. Hinnant's days_from_civil inverse), valid for every Date.
void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

int codePointWidth(char32_t code)
{
    if ((code >= 0x300 && code <= 0x36F) || (code >= 0x200B && code <= 0x200F) || (code >= 0xFE00 && code <= 0xFE0F))
        return 0;
    static constexpr char32_t wide[][2] = {
        {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
        {0xA000, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
        {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};
    for (const auto& range : wide)
        if (code >= range[0] && code <= range[1])
            return 2;
    return 1;
}

}  // namespace

std::string utf8(v8::Isolate* isolate, v8::Local<v8::String> text)
{
    return V8Helper::qor_string(v8::String::Utf8Value(isolate, text));
}

std::string quoted(v8::Isolate* isolate, v8::Local<v8::String> text, std::size_t maxLength)
{
    const std::vector<std::uint16_t> units = utf16(isolate, text, maxLength);
    const char quote = chooseQuote(units);
    std::string out(1, quote);
    appendEscaped(out, units, quote);
    out += quote;
    const std::size_t length = static_cast<std::size_t>(text->Length());
    if (length > units.size()) {
        const std::size_t more = length - units.size();
        out.append("... ").append(std::to_string(more)).append(more == 1 ? " more character" : " more characters");
    }
    return out;
}

std::string symbolText(v8::Isolate* isolate, v8::Local<v8::Symbol> symbol)
{
    v8::Local<v8::Value> description = symbol->Description(isolate);
    if (!description->IsString())
        return "Symbol()";
    return "Symbol(" + utf8(isolate, description.As<v8::String>()) + ")";
}

std::string keyText(v8::Isolate* isolate, v8::Local<v8::Name> key, bool hidden)
{
    if (key->IsSymbol())
        return std::string("[").append(symbolText(isolate, key.As<v8::Symbol>())).append("]");
    v8::Local<v8::String> string = key.As<v8::String>();
    const std::vector<std::uint16_t> units = utf16(isolate, string, static_cast<std::size_t>(string->Length()));
    std::string text = isIdentifier(units) ? utf8(isolate, string) : quoted(isolate, string, units.size());
    return hidden ? std::string("[").append(text).append("]") : text;
}

std::string numberText(v8::Local<v8::Context> context, double number)
{
    if (number == 0 && std::signbit(number))
        return "-0";
    v8::Isolate* isolate = context->GetIsolate();
    v8::TryCatch ignored(isolate);
    v8::Local<v8::String> text;
    if (!v8::Number::New(isolate, number)->ToString(context).ToLocal(&text))
        return std::to_string(number);
    return utf8(isolate, text);
}

std::string isoDate(double time)
{
    if (!std::isfinite(time))
        return "Invalid Date";
    const auto milliseconds = static_cast<std::int64_t>(time);
    std::int64_t days = milliseconds / 86400000;
    std::int64_t ofDay = milliseconds % 86400000;
    if (ofDay < 0) {
        ofDay += 86400000;
        --days;
    }
    std::int64_t year = 0;
    int month = 0, day = 0;
    civilFromDays(days, year, month, day);

    char text[48];
    if (year >= 0 && year <= 9999)
        std::snprintf(text, sizeof text, "%04lld", static_cast<long long>(year));
    else
        std::snprintf(text, sizeof text, "%c%06lld", year < 0 ? '-' : '+', static_cast<long long>(std::llabs(year)));
    std::string out = text;
    std::snprintf(text, sizeof text, "-%02d-%02dT%02d:%02d:%02d.%03dZ", month, day, static_cast<int>(ofDay / 3600000),
                  static_cast<int>(ofDay / 60000 % 60), static_cast<int>(ofDay / 1000 % 60),
                  static_cast<int>(ofDay % 1000));
    return out + text;
}

std::size_t utf16Length(std::string_view text)
{
    std::size_t length = 0;
    for (const char byte : text) {
        const auto unit = static_cast<unsigned char>(byte);
        // A lead byte starts a code point; four-byte ones need two units.
        length += (unit & 0xC0) == 0x80 ? 0 : unit >= 0xF0 ? 2 : 1;
    }
    return length;
}

std::size_t displayWidth(std::string_view text)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        width += static_cast<std::size_t>(codePointWidth(code));
        i += static_cast<std::size_t>(length);
    }
    return width;
}

}  // namespace qor::format::engine::javascript

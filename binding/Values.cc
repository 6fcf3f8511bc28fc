// The non-template halves of the conversions: refusals, text, integers
// and object keys.

#include <qor/javascript/Conversions.h>

#include <v8-container.h>
#include <v8-isolate.h>
#include <v8-primitive.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qor::format::engine::javascript::conversion {

namespace {

// A string is shown whole up to this many UTF-16 units, then cut.
constexpr int kShownString = 24;

std::string numberText(double number)
{
    if (std::isnan(number))
        return "NaN";
    if (std::isinf(number))
        return number > 0 ? "Infinity" : "-Infinity";
    if (number == std::trunc(number) && std::fabs(number) < 1e15)
        return std::to_string(static_cast<long long>(number));
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", number);
    // The shortest of the round-tripping forms reads best.
    for (int digits = 1; digits <= 17; ++digits) {
        char shorter[32];
        std::snprintf(shorter, sizeof shorter, "%.*g", digits, number);
        if (std::strtod(shorter, nullptr) == number)
            return shorter;
    }
    return text;
}

}  // namespace

std::string describe(v8::Local<v8::Value> value)
{
    if (value.IsEmpty() || value->IsUndefined())
        return "undefined";
    if (value->IsNull())
        return "null";
    if (value->IsBoolean())
        return value->IsTrue() ? "true" : "false";
    if (value->IsNumber())
        return numberText(value.As<v8::Number>()->Value());
    if (value->IsBigInt())
        return "a BigInt";
    if (value->IsString()) {
        v8::Local<v8::String> text = value.As<v8::String>();
        v8::Isolate* isolate = v8::Isolate::GetCurrent();
        if (text->Length() <= kShownString)
            return "'" + utf8(isolate, text) + "'";
        uint16_t units[kShownString];
        text->Write(isolate, units, 0, kShownString, v8::String::NO_NULL_TERMINATION);
        return "'" + utf8(isolate, v8::String::NewFromTwoByte(isolate, units, v8::NewStringType::kNormal, kShownString)
                                       .ToLocalChecked()) +
               "...' (" + std::to_string(text->Length()) + " characters)";
    }
    if (value->IsSymbol())
        return "a symbol";
    if (value->IsFunction())
        return "a function";
    if (value->IsArray())
        return "an array";
    if (value->IsPromise())
        return "a promise";
    return "an object";
}

std::string refusal(std::string_view what, v8::Local<v8::Value> value)
{
    std::string text = "expected ";
    text += what;
    text += ", got ";
    text += describe(value);
    return text;
}

std::string inside(std::string_view place, std::string text)
{
    if (text.empty())
        return text;
    // Places join into one path ("a[2].b: expected ..."); a path that has
    // grown long keeps its innermost end. A plain name never starts with
    // "[" or ".", nor holds a space, so each join reads one way.
    constexpr std::size_t kLongestPath = 200;
    if (text.starts_with("..."))
        return text;
    const std::size_t pathEnd = text.find(": expected ");
    if (pathEnd != std::string::npos && pathEnd > kLongestPath)
        return "..." + text;
    if (text.starts_with("expected "))
        return std::string(place) + ": " + text;
    return std::string(place) + (text.starts_with("[") ? "" : ".") + text;
}

std::string tooLong(std::uint32_t length)
{
    return "expected an array of at most " + std::to_string(kLongestArray) + " elements, got one of " +
           std::to_string(length);
}

std::string keyPlace(std::string_view key)
{
    const auto plain = [](char c, bool first) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' ||
               (!first && c >= '0' && c <= '9');
    };
    bool isPlain = !key.empty();
    for (std::size_t i = 0; i < key.size() && isPlain; ++i)
        isPlain = plain(key[i], i == 0);
    if (isPlain)
        return std::string(key);
    std::string quoted = "[\"";
    for (char c : key) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"]";
}

std::string utf8(v8::Isolate* isolate, v8::Local<v8::String> text)
{
    std::string bytes(text->Utf8Length(isolate), '\0');
    if (!bytes.empty())
        text->WriteUtf8(isolate, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        v8::String::NO_NULL_TERMINATION | v8::String::REPLACE_INVALID_UTF8);
    return bytes;
}

std::expected<v8::Local<v8::Value>, std::string> string(v8::Isolate* isolate, std::string_view bytes)
{
    v8::Local<v8::String> text;
    if (bytes.size() > static_cast<std::size_t>(v8::String::kMaxLength) ||
        !v8::String::NewFromUtf8(isolate, bytes.data(), v8::NewStringType::kNormal, static_cast<int>(bytes.size()))
             .ToLocal(&text))
        return std::unexpected("a string of " + std::to_string(bytes.size()) +
                               " bytes is longer than JavaScript's strings may be");
    return text;
}

namespace {

std::string integerRefusal(std::string_view range, v8::Local<v8::Value> value)
{
    return refusal("an integer " + std::string(range), value);
}

}  // namespace

std::expected<std::int64_t, std::string> signedInteger(v8::Local<v8::Value> value,
                                                       std::int64_t lowest,
                                                       std::int64_t highest,
                                                       bool bigIntToo)
{
    const std::string range = "from " + std::to_string(lowest) + " to " + std::to_string(highest);
    if (value->IsNumber()) {
        const double number = value.As<v8::Number>()->Value();
        // 2^63 is the first double past the int64 range; below it every
        // integral double converts exactly.
        if (std::isfinite(number) && number == std::trunc(number) && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0) {
            const auto integer = static_cast<std::int64_t>(number);
            if (integer >= lowest && integer <= highest)
                return integer;
        }
        return std::unexpected(integerRefusal(range, value));
    }
    if (bigIntToo && value->IsBigInt()) {
        bool lossless = false;
        const std::int64_t integer = value.As<v8::BigInt>()->Int64Value(&lossless);
        if (lossless && integer >= lowest && integer <= highest)
            return integer;
        return std::unexpected("expected an integer " + range + ", got a BigInt outside it");
    }
    return std::unexpected(integerRefusal(range, value));
}

std::expected<std::uint64_t, std::string> unsignedInteger(v8::Local<v8::Value> value, std::uint64_t highest, bool bigIntToo)
{
    const std::string range = "from 0 to " + std::to_string(highest);
    if (value->IsNumber()) {
        const double number = value.As<v8::Number>()->Value();
        if (std::isfinite(number) && number == std::trunc(number) && number >= 0 && number < 18446744073709551616.0) {
            const auto integer = static_cast<std::uint64_t>(number);
            if (integer <= highest)
                return integer;
        }
        return std::unexpected(integerRefusal(range, value));
    }
    if (bigIntToo && value->IsBigInt()) {
        bool lossless = false;
        const std::uint64_t integer = value.As<v8::BigInt>()->Uint64Value(&lossless);
        if (lossless && integer <= highest)
            return integer;
        return std::unexpected("expected an integer " + range + ", got a BigInt outside it");
    }
    return std::unexpected(integerRefusal(range, value));
}

v8::Local<v8::Value> signedValue(v8::Isolate* isolate, std::int64_t number)
{
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (number >= -kExact && number <= kExact)
        return v8::Number::New(isolate, static_cast<double>(number));
    return v8::BigInt::New(isolate, number);
}

v8::Local<v8::Value> unsignedValue(v8::Isolate* isolate, std::uint64_t number)
{
    if (number <= std::uint64_t{1} << 53)
        return v8::Number::New(isolate, static_cast<double>(number));
    return v8::BigInt::NewFromUnsigned(isolate, number);
}

std::expected<v8::Local<v8::Array>, std::string> ownKeys(v8::Local<v8::Context> context, v8::Local<v8::Object> object)
{
    v8::Local<v8::Array> keys;
    const auto filter = static_cast<v8::PropertyFilter>(v8::ONLY_ENUMERABLE | v8::SKIP_SYMBOLS);
    if (!object->GetOwnPropertyNames(context, filter, v8::KeyConversionMode::kConvertToString).ToLocal(&keys))
        return std::unexpected(std::string());
    return keys;
}

}  // namespace qor::format::engine::javascript::conversion

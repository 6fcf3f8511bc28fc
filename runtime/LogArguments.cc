#include "runtime/Inspect.h"

#include "runtime/InspectText.h"
#include "runtime/OwnProperties.h"

#include <v8-function.h>
#include <v8-json.h>
#include <v8-primitive-object.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace qor::format::engine::javascript {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What console.log prints for an argument outside the format: strings as
// they are, everything else inspected.
std::string plain(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
{
    return value->IsString() ? utf8(context->GetIsolate(), value.As<v8::String>()) : inspectValue(context, value);
}

// %s: primitives in their string form, functions as their source text,
// other objects inspected one level deep. An object's own toString is not
// run: it is the object's code.
std::string shortForm(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
{
    v8::Isolate* isolate = context->GetIsolate();
    if (value->IsString())
        return utf8(isolate, value.As<v8::String>());
    if (value->IsFunction()) {
        Contained contained(isolate);
        v8::Local<v8::String> source;
        if (value.As<v8::Function>()->FunctionProtoToString(context).ToLocal(&source))
            return utf8(isolate, source);
    }
    InspectOptions shallow;
    shallow.depth = 0;
    return inspectValue(context, value, shallow);
}

// The number at the start of `text`, as parseInt (`integer`) or parseFloat
// reads it: leading blanks and a sign skipped; NaN when no digits follow.
double leadingNumber(std::string_view text, bool integer)
{
    while (!text.empty() && std::string_view(" \t\n\r\v\f").find(text.front()) != std::string_view::npos)
        text.remove_prefix(1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+'))
        text.remove_prefix(1);
    double result = kNaN;
    if (!integer && text.starts_with("Infinity")) {
        result = std::numeric_limits<double>::infinity();
    } else if (!text.empty() &&
               (std::isdigit(static_cast<unsigned char>(text.front())) || (!integer && text.front() == '.'))) {
        const char* end = text.data() + text.size();
        if (integer) {
            result = 0;
            for (const char* at = text.data(); at != end && std::isdigit(static_cast<unsigned char>(*at)); ++at)
                result = result * 10 + (*at - '0');
        } else if (std::from_chars(text.data(), end, result, std::chars_format::general).ec != std::errc()) {
            result = kNaN;
        }
    }
    return negative ? -result : result;
}

// The string form of a primitive; "" should V8 refuse (a termination).
std::string primitiveText(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
{
    v8::Local<v8::String> text;
    return value->ToString(context).ToLocal(&text) ? utf8(context->GetIsolate(), text) : std::string();
}

// %d, %i and %f: Number(), parseInt() and parseFloat() of the argument, for
// what they can take without running its code; NaN for other objects.
std::string numeric(v8::Local<v8::Context> context, v8::Local<v8::Value> value, char specifier)
{
    v8::Isolate* isolate = context->GetIsolate();
    if (value->IsBigInt() && specifier != 'f')
        return primitiveText(context, value) + "n";
    if (value->IsNumberObject())
        value = v8::Number::New(isolate, value.As<v8::NumberObject>()->ValueOf());
    else if (value->IsStringObject())
        value = value.As<v8::StringObject>()->ValueOf();

    double number = kNaN;
    if ((value->IsString() || value->IsBigInt()) && specifier != 'd')
        number = leadingNumber(primitiveText(context, value), specifier == 'i');
    else if (!value->IsSymbol() && !value->IsObject() && !value->IsBigInt())
        number = value->NumberValue(context).FromMaybe(kNaN);
    if (specifier == 'i')
        number = std::trunc(number);
    return numberText(context, number);
}

// %j: JSON.stringify's text; "[Circular]" for a cycle, and the inspected
// value for what JSON cannot hold (a BigInt, a toJSON that throws).
std::string json(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::String> text;
    if (v8::JSON::Stringify(context, value).ToLocal(&text))
        return utf8(isolate, text);
    if (tryCatch.HasTerminated()) {
        tryCatch.ReThrow();
        return {};
    }
    if (!tryCatch.HasCaught())
        return "undefined";
    v8::Local<v8::Value> thrown = tryCatch.Exception();
    v8::Local<v8::Value> message =
        thrown->IsNativeError() ? ownDataValue(context, thrown.As<v8::Object>(), "message") : v8::Local<v8::Value>();
    if (!message.IsEmpty() && message->IsString() &&
        utf8(isolate, message.As<v8::String>()).starts_with("Converting circular structure"))
        return "[Circular]";
    return inspectValue(context, value);
}

// Walks a format string: its text to `literal` a character at a time, and
// each specifier among `specifiers` that has an argument left (of
// `available`) to `take`, with its letter and the argument's number.
template <typename Literal, typename Take>
void walkFormat(const std::string& format, const char* specifiers, std::size_t available, Literal literal, Take take)
{
    std::size_t taken = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char specifier = i + 1 < format.size() ? format[i + 1] : '\0';
        if (format[i] != '%' || specifier == '\0') {
            literal(format[i]);
        } else if (specifier == '%') {
            literal('%');
            ++i;
        } else if (std::strchr(specifiers, specifier) == nullptr || taken >= available) {
            literal('%');
        } else {
            ++i;
            take(specifier, taken++);
        }
    }
}

}  // namespace

std::string formatLogArguments(v8::Local<v8::Context> context, const std::vector<v8::Local<v8::Value>>& arguments)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::HandleScope scope(isolate);
    std::string out;
    std::size_t next = 0;
    if (!arguments.empty() && arguments[0]->IsString()) {
        next = 1;
        walkFormat(
            utf8(isolate, arguments[0].As<v8::String>()), "sdifjoOc", arguments.size() - 1,
            [&](char c) { out += c; },
            [&](char specifier, std::size_t) {
                v8::Local<v8::Value> argument = arguments[next++];
                switch (specifier) {
                case 's': out += shortForm(context, argument); break;
                case 'd':
                case 'i':
                case 'f': out += numeric(context, argument, specifier); break;
                case 'j': out += json(context, argument); break;
                case 'o': {
                    InspectOptions detailed;
                    detailed.depth = 4;
                    detailed.showHidden = true;
                    out += inspectValue(context, argument, detailed);
                    break;
                }
                case 'O': out += inspectValue(context, argument); break;
                default: break;  // %c: CSS for a browser's console, nothing here
                }
            });
    }
    for (; next < arguments.size(); ++next) {
        if (next > 0)
            out += ' ';
        out += plain(context, arguments[next]);
    }
    return out;
}

std::vector<v8::Local<v8::Value>> forwardedArguments(v8::Local<v8::Context> context,
                                                     std::vector<v8::Local<v8::Value>> arguments,
                                                     std::size_t format)
{
    if (format >= arguments.size() || !arguments[format]->IsString())
        return arguments;
    v8::Isolate* isolate = context->GetIsolate();
    // V8's own specifiers: %j is not one of them, and takes no argument there.
    walkFormat(
        utf8(isolate, arguments[format].As<v8::String>()), "sdifoOc", arguments.size() - format - 1, [](char) {},
        [&](char specifier, std::size_t taken) {
            v8::Local<v8::Value>& argument = arguments[format + 1 + taken];
            if (!argument->IsObject() || std::strchr("sdif", specifier) == nullptr)
                return;
            const std::string shown =
                specifier == 's' ? shortForm(context, argument) : numeric(context, argument, specifier);
            v8::Local<v8::String> text;
            if (v8::String::NewFromUtf8(
                    isolate, shown.data(), v8::NewStringType::kNormal, static_cast<int>(shown.size()))
                    .ToLocal(&text))
                argument = text;
        });
    return arguments;
}

}  // namespace qor::format::engine::javascript

// Arbitrary bytes through the text conversions: v8_string and back with both
// qor_string overloads, the inspector string views in both widths, parseJson,
// getPropertyNames and getPropertyFromJson. Where the result is known without
// V8 (well-formed UTF-8, Latin-1, UTF-16) it must match exactly: nothing cut
// at a zero byte, nothing lost or added.

#include "support/Check.h"
#include "support/FuzzIsolate.h"

#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include <v8-exception.h>
#include <v8-primitive.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace js = qor::format::engine::javascript;

// What the conversions must produce, computed without V8.

void appendUtf8(std::string& out, std::uint32_t code)
{
    // Continuation bytes after the lead byte, and the lead byte's marker bits
    // (none for ASCII, which is its own single byte).
    const int tail = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(kLead[tail] | (code >> (6 * tail)));
    for (int k = tail - 1; k >= 0; --k)
        out += static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F));
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Each sequence is read by the length its lead byte announces and must be
// the very bytes appendUtf8 writes for the number it carries: that rules out
// stray continuation bytes, missing ones and overlong forms alike.
bool isValidUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (text.size() - i < length)
            return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        std::string encoded;
        appendUtf8(encoded, code);
        if (encoded != text.substr(i, length) || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

// A surrogate without its partner is written as the three bytes of its own
// number, as V8 writes such a string. Latin-1 is the same with each byte
// widened to one unit.
std::string utf16ToUtf8(const std::vector<std::uint16_t>& units)
{
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const std::uint32_t unit = units[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

void checkStringRoundTrip(v8::Isolate* isolate, std::string_view text)
{
    v8::Local<v8::String> string = js::V8Helper::v8_string(text, isolate);
    FUZZ_CHECK(!string.IsEmpty(), "v8_string refused a short text");

    const std::string back = js::V8Helper::qor_string(string, isolate);
    FUZZ_CHECK(back == js::V8Helper::qor_string(v8::String::Utf8Value(isolate, string)),
               "the two qor_string overloads disagree");
    if (isValidUtf8(text)) {
        FUZZ_CHECK(back == text, "well-formed UTF-8 did not come back unchanged");
    } else {
        // V8 replaces what is not UTF-8; the result is UTF-8 and stays as it
        // is on a second trip.
        FUZZ_CHECK(isValidUtf8(back), "the text from V8 is not UTF-8");
        FUZZ_CHECK(js::V8Helper::qor_string(js::V8Helper::v8_string(back, isolate), isolate) == back,
                   "a second round trip changed the text");
    }
}

void checkInspectorViews(v8::Isolate* isolate, std::string_view text)
{
    const v8_inspector::StringView narrow = js::V8Helper::v8_inspectorStringView(text);
    FUZZ_CHECK(narrow.is8Bit() && narrow.length() == text.size(), "the 8-bit view does not cover the text");
    FUZZ_CHECK(text.empty() || std::memcmp(narrow.characters8(), text.data(), text.size()) == 0,
               "the 8-bit view shows other bytes");
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::vector<std::uint16_t> widened(bytes, bytes + text.size());
    FUZZ_CHECK(js::V8Helper::qor_string(narrow, isolate) == utf16ToUtf8(widened),
               "an 8-bit view was not read as Latin-1");

    // The same bytes as UTF-16 code units, in an aligned copy.
    std::vector<std::uint16_t> units(text.size() / 2);
    if (!units.empty())
        std::memcpy(units.data(), text.data(), units.size() * sizeof(std::uint16_t));
    const v8_inspector::StringView wide(units.data(), units.size());
    FUZZ_CHECK(js::V8Helper::qor_string(wide, isolate) == utf16ToUtf8(units),
               "a 16-bit view was not read as UTF-16");
}

void checkJson(v8::Isolate* isolate, v8::Local<v8::Context> context, const std::string& text)
{
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Object> parsed = js::V8Helper::parseJson(context, text);
    if (parsed.IsEmpty())
        return;
    FUZZ_CHECK(text.find('\0') == std::string::npos, "JSON with a zero byte was accepted");
    FUZZ_CHECK(!tryCatch.HasCaught(), "parseJson succeeded with an exception pending");

    // The names the library lists for the object (for parsed JSON, its own),
    // then names the debugger reads and names every object has.
    std::vector<std::string> names = js::V8Engine::getPropertyNames(parsed, isolate);
    names.insert(names.end(), {"method", "id", "params", "", "__proto__", "constructor", "toString", "0", "length"});
    // A member whose string form throws gives "", which is all there is to
    // check beyond the reads themselves.
    for (const std::string& name : names)
        js::V8Helper::getPropertyFromJson(isolate, parsed, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    qorjs::fuzz::runInput([&](v8::Isolate* isolate, v8::Local<v8::Context> context) {
        const std::string text(reinterpret_cast<const char*>(data), size);
        checkStringRoundTrip(isolate, text);
        checkInspectorViews(isolate, text);
        checkJson(isolate, context, text);
    });
    return 0;
}

#include "support/TextOracle.h"

namespace qorjs::fuzz {

namespace {

void appendUtf8(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    // Continuation bytes after the lead byte, and the lead byte's marker bits.
    const int tail = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(kLead[tail] | (code >> (6 * tail)));
    for (int k = tail - 1; k >= 0; --k)
        out += static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F));
}

}  // namespace

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // 0xC0, 0xC1 and above 0xF4 start only overlong or too large forms.
        const std::size_t length = lead < 0xC2 ? 0 : lead <= 0xDF ? 2 : lead <= 0xEF ? 3 : lead <= 0xF4 ? 4 : 0;
        if (length == 0)
            return false;
        std::uint32_t code = lead & (0x7F >> length);
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if ((byte & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (byte & 0x3F);
        }
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        if (overlong || surrogate || code > 0x10FFFF)
            return false;
        i += length;
    }
    return true;
}

std::string latin1ToUtf8(std::string_view bytes)
{
    std::string out;
    for (char c : bytes)
        appendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string utf16ToUtf8(const std::uint16_t* units, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t unit = units[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

}  // namespace qorjs::fuzz

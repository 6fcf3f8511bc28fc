#include "debugger/Utf8.h"

#include <cstdint>

namespace qor::format::engine::javascript {

namespace {

bool isHigh(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// One pass for the exact size, one to write: a large answer is not grown
// step by step, nor allocated at three bytes a unit.
template <class Unit, class Each>
void forEachCodePoint(const Unit* units, std::size_t length, Each&& each)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t unit = units[i];
        if constexpr (sizeof(Unit) == 2) {
            if (isHigh(unit) && i + 1 < length && isLow(units[i + 1])) {
                each(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
                ++i;
                continue;
            }
            if (isHigh(unit) || isLow(unit)) {
                each(0xFFFD);
                continue;
            }
        }
        each(unit);
    }
}

std::size_t sizeOf(std::uint32_t codePoint)
{
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

char* put(char* out, std::uint32_t codePoint)
{
    if (codePoint < 0x80) {
        *out++ = static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        *out++ = static_cast<char>(0xC0 | (codePoint >> 6));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (codePoint >> 12));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (codePoint >> 18));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
}

template <class Unit>
std::string convert(const Unit* units, std::size_t length)
{
    // Protocol text is mostly ASCII, copied a unit a byte until the first
    // other unit; only the rest is measured and then written.
    std::size_t ascii = 0;
    while (ascii < length && units[ascii] < 0x80)
        ++ascii;
    std::size_t size = ascii;
    forEachCodePoint(units + ascii, length - ascii, [&](std::uint32_t codePoint) { size += sizeOf(codePoint); });
    std::string out;
    out.resize_and_overwrite(size, [&](char* data, std::size_t) {
        for (std::size_t i = 0; i < ascii; ++i)
            data[i] = static_cast<char>(units[i]);
        char* next = data + ascii;
        forEachCodePoint(units + ascii, length - ascii, [&](std::uint32_t codePoint) { next = put(next, codePoint); });
        return size;
    });
    return out;
}

}  // namespace

std::string utf8Of(const v8_inspector::StringView& view)
{
    if (view.is8Bit())
        return convert(view.characters8(), view.length());
    return convert(view.characters16(), view.length());
}

}  // namespace qor::format::engine::javascript

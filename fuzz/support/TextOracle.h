#pragma once

// What the conversions must produce, computed without V8, so that a fuzzer
// can compare the library's result with it.

#include <cstdint>
#include <string>
#include <string_view>

namespace qorjs::fuzz {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// Each byte as the Latin-1 character of that number, in UTF-8.
std::string latin1ToUtf8(std::string_view bytes);

// UTF-16 code units in UTF-8. A surrogate without its partner is written as
// the three bytes of its own number, as V8 writes such a string.
std::string utf16ToUtf8(const std::uint16_t* units, std::size_t count);

}  // namespace qorjs::fuzz

// The inspector's text, 8-bit (Latin-1) or 16-bit (UTF-16), as UTF-8.

#include "debugger/Utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using qor::format::engine::javascript::utf8Of;

std::string of16(const std::vector<std::uint16_t>& units)
{
    return utf8Of(v8_inspector::StringView(units.data(), units.size()));
}

TEST(Utf8, EveryKindOfCharacterIsEncodedAndALoneSurrogateReplaced)
{
    const std::vector<std::uint8_t> latin1{'a', 0x7F, 0x80, 0xE9, 0xFF};
    EXPECT_EQ(utf8Of(v8_inspector::StringView(latin1.data(), latin1.size())), "a\x7f\xc2\x80\xc3\xa9\xc3\xbf");
    // Each length's first and last character.
    EXPECT_EQ(of16({0x80, 0x7FF, 0x800, 0xFFFF}), "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf");

    // ASCII, two and three bytes, a pair (U+1F600), a lone high surrogate in
    // the middle, a lone low one, and a high one at the very end.
    EXPECT_EQ(of16({'{', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xD800, 'x', 0xDC00, 0xD83D}),
              "{\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xef\xbf\xbdx\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(of16({}), "");

    // A long ASCII run followed by one other character: the fast copy and
    // the rest meet at the right place.
    std::vector<std::uint16_t> mixed(1000, 'a');
    mixed.push_back(0x00E9);
    EXPECT_EQ(of16(mixed), std::string(1000, 'a') + "\xc3\xa9");
}

}  // namespace

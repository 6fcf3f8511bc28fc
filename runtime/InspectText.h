#pragma once

// The text of the smallest pieces the console shows: strings quoted and
// escaped, property keys, symbols, numbers and dates; and how wide a text is
// on a terminal. All output is UTF-8.

#include <v8-context.h>
#include <v8-local-handle.h>
#include <v8-primitive.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace qor::format::engine::javascript {

// The whole of `text` in UTF-8, U+0000 included; lone surrogates become
// U+FFFD.
std::string utf8(v8::Isolate* isolate, v8::Local<v8::String> text);

// `text` as a string literal: in single quotes, or double quotes or backticks
// when that spares escaping a quote; control characters, backslashes and
// lone surrogates escaped. Beyond `maxLength` UTF-16 units the rest is
// left out and counted: "'abc'... 7 more characters".
std::string quoted(v8::Isolate* isolate, v8::Local<v8::String> text, std::size_t maxLength);

// A symbol as "Symbol(description)".
std::string symbolText(v8::Isolate* isolate, v8::Local<v8::Symbol> symbol);

// A property key as it precedes its value: identifiers bare, other strings
// quoted, symbols as "[Symbol(s)]"; `hidden` (non-enumerable) keys in
// brackets.
std::string keyText(v8::Isolate* isolate, v8::Local<v8::Name> key, bool hidden);

// A number as JavaScript writes it, but -0 as "-0".
std::string numberText(v8::Local<v8::Context> context, double number);

// A time value (milliseconds since 1970) in ISO 8601 form, as
// Date.prototype.toISOString writes it (six-digit signed years outside 0 to
// 9999); "Invalid Date" for NaN.
std::string isoDate(double time);

// The length JavaScript gives the UTF-8 `text`: its UTF-16 code units.
std::size_t utf16Length(std::string_view text);

// The columns `text` takes on a terminal: one per code point, two for wide
// East Asian characters and emoji, none for combining marks.
std::size_t displayWidth(std::string_view text);

}  // namespace qor::format::engine::javascript

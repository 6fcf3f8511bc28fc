#pragma once

#include <v8-inspector.h>

#include <string>

namespace qor::format::engine::javascript {

// The inspector's text as UTF-8, converted here rather than through a V8
// string: the answer to a paused script's client must not allocate in that
// script's heap, and a large answer converts in one pass. Latin-1 views map
// byte by byte; UTF-16 views pair their surrogates, and a lone surrogate
// becomes U+FFFD, as a V8 string's UTF-8 would have it.
std::string utf8Of(const v8_inspector::StringView& view);

}  // namespace qor::format::engine::javascript

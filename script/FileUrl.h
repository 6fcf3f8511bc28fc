#pragma once

#include <string>
#include <string_view>

namespace qor::format::engine::javascript {

// The "file:" URL a script is known by to V8 and to an attached debugger:
// backslashes become slashes, each blank becomes "%20", nothing else is
// escaped, and "file:///" goes in front. On POSIX systems an absolute path
// brings its own leading slash, so "file://" goes in front of it instead.
std::string fileUrlFromPath(std::string_view path);

}  // namespace qor::format::engine::javascript

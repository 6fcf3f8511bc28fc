#pragma once

#include <iostream>
#include <string_view>

namespace qor::format::engine::javascript {

// The debugger's only way of reporting: one line on the standard error stream.
inline void printErrorLine(std::string_view text)
{
    std::cerr << "Error: " << text << std::endl;
}

}  // namespace qor::format::engine::javascript

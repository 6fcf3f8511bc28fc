#include <qor/javascript/Exception.h>

#include <string>
#include <utility>

namespace qor {

exception::exception(std::string message) : message(std::move(message)) {}

// Out of line, so the class's vtable and type information live in the library
// and a thrown object is caught by type across the library's boundary.
exception::~exception() = default;

const char* exception::what() const noexcept
{
    return message.c_str();
}

}  // namespace qor

namespace qor::format::engine::javascript {

V8Microsoft::V8Microsoft(unsigned int code)
    : qor::exception("Microsoft Structured Exception Handling: " + std::to_string(code))
{
}

}  // namespace qor::format::engine::javascript

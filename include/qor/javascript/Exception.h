#pragma once

#include <qor/javascript/Export.h>

#include <exception>
#include <string>

#if defined(_MSC_VER)
// An exported class with a std::string member and a std::exception base:
// both come from the same runtime as the host's, so the warnings are moot.
#    pragma warning(push)
#    pragma warning(disable : 4251 4275)
#endif

namespace qor {

// The library's exception base: an exception that carries its message.
class QORJS_API exception : public std::exception {
public:
    // An exception whose what() is `message`.
    explicit exception(std::string message);
    // Copies carry the same message.
    exception(const exception&) = default;
    exception& operator=(const exception&) = default;
    ~exception() override;

    // The message given at construction.
    const char* what() const noexcept override;

    // The text what() returns.
    std::string message;
};

}  // namespace qor

namespace qor::format::engine::javascript {

// A Windows structured exception (an access violation, a stack overflow, a
// C++ exception crossing V8's frames) raised inside a JavaScript function
// call. what() is "Microsoft Structured Exception Handling: " followed by the
// exception code in unsigned decimal. Never thrown on other systems.
class QORJS_API V8Microsoft : public qor::exception {
public:
    explicit V8Microsoft(unsigned int code);
};

}  // namespace qor::format::engine::javascript

#if defined(_MSC_VER)
#    pragma warning(pop)
#endif

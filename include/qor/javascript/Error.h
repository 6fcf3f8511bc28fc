#pragma once

#include <qor/javascript/Export.h>

#include <v8-exception.h>
#include <v8-isolate.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qor::format::engine::javascript {

// A JavaScript failure handed back to the host as plain data.
// Absent optional members are pieces V8 did not supply.
struct Error {
    enum class Type : std::int32_t {
        Compile = 0,  // the script did not compile
        Runtime = 1,  // running it (or a called function) threw
        Other = 2,    // not set by the builder's caller
    };

    Type type = Type::Other;

    // The thrown value as text (UTF-8, whole, U+0000 included); empty when
    // there was no value or it could not be converted.
    std::string message;

    // Carried for the host; the library never fills it.
    std::optional<std::string> detail;

    // Line of the failure, counted from 1 from the script's first line; 0 when
    // V8 knows the message but no script position (no script was running).
    std::optional<std::int64_t> lineNumber;

    // Columns of the failing span on that line, counted from 0.
    std::optional<std::int64_t> startColumn;
    std::optional<std::int64_t> endColumn;

    // The source line V8 associates with the failure (present even if empty).
    std::optional<std::string> sourceLine;

    // The exception's stack trace; present only when V8 gives a non-empty one.
    std::optional<std::string> stackTrace;
};

// Builds Error records. Neither operation logs anything.
class V8Error {
public:
    // The exception caught by `tryCatch`, read with the isolate's current
    // context. Reading does not reset `tryCatch`, and JavaScript run while
    // converting (a throwing toString or stack getter) cannot disturb it:
    // such a piece is left empty or absent. `isolate` is not null; the
    // builder enters it itself.
    QORJS_API static Error get(Error::Type type, v8::Isolate* isolate, const v8::TryCatch& tryCatch);

    // An Error whose message is `text`. With a live isolate (the caller then
    // holds a v8::HandleScope on it) the text is thrown and caught at once,
    // so the record carries the position of the script running at that
    // moment; nothing stays pending. With a null isolate only type and
    // message are set.
    QORJS_API static Error get(Error::Type type, v8::Isolate* isolate, std::string_view text);
};

}  // namespace qor::format::engine::javascript

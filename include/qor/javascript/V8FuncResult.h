#pragma once

#include <v8-local-handle.h>
#include <v8-value.h>

#include <cstdint>

namespace qor::format::engine::javascript {

// The outcome of one JavaScript function call.
struct V8FuncResult {
    // True when the function was found and its call came back with a value
    // (which may be `undefined`). False when no function was found at the
    // path, and when the call threw or was terminated.
    bool success = false;

    // The value the call returned; empty unless `success`. It lives in the
    // caller's v8::HandleScope.
    v8::Local<v8::Value> value;

    // Two bytes kept reserved, without a meaning, so that a later meaning can
    // be given without changing the record's layout. Zero in every record the
    // library makes; nothing reads them.
    std::uint8_t reserved0 = 0;
    std::uint8_t reserved1 = 0;
};

}  // namespace qor::format::engine::javascript

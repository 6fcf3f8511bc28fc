#pragma once

// A call of a function handle as one step under the isolate's limits.

#include <qor/javascript/Error.h>

#include <v8-context.h>
#include <v8-function.h>
#include <v8-local-handle.h>

#include <expected>
#include <vector>

namespace qor::format::engine::javascript {

// Calls `function` with `receiver` and `arguments` under the isolate's
// limits, through the call guard. What it returns, or the record of what it
// threw (Runtime, its script's URL in `detail`), or of a stop by a limit or
// the host, which sets `stopped`. Nothing stays pending, but for a stop of
// a call nested in another step: that one ends too.
std::expected<v8::Local<v8::Value>, Error> callUnderLimits(v8::Isolate* isolate,
                                                           v8::Local<v8::Context> context,
                                                           v8::Local<v8::Function> function,
                                                           v8::Local<v8::Value> receiver,
                                                           const std::vector<v8::Local<v8::Value>>& arguments,
                                                           bool* stopped = nullptr);

}  // namespace qor::format::engine::javascript

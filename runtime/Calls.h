#pragma once

// A call of a function handle, or of the function at a dotted path, as one
// step under the isolate's limits.

#include <qor/javascript/Error.h>

#include <v8-context.h>
#include <v8-function.h>
#include <v8-local-handle.h>

#include <expected>
#include <string_view>
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

// As callUnderLimits with `this` undefined, for the function at the dotted
// `path` below the context's global object, found as V8Engine::getFunction
// finds it within the same step (the path's getters are script too).
// `found` tells whether the lookup found a function; when it did not, the
// record is what the lookup threw, the stop, or a Runtime Error
// "TypeError: <path> is not a function".
std::expected<v8::Local<v8::Value>, Error> callPathUnderLimits(v8::Isolate* isolate,
                                                               v8::Local<v8::Context> context,
                                                               std::string_view path,
                                                               const std::vector<v8::Local<v8::Value>>& arguments,
                                                               bool* found,
                                                               bool* stopped = nullptr);

}  // namespace qor::format::engine::javascript

#pragma once

// The small pieces of an import request that the loader and its hooks share.

#include <v8-context.h>
#include <v8-data.h>
#include <v8-isolate.h>

#include <optional>
#include <string>

namespace qor::format::engine::javascript {

// V8 hands import assertions over as a flat array, the key first and the
// value next: three entries each for static imports (the source position
// follows), two for import().
constexpr int kStaticAssertionStride = 3;
constexpr int kDynamicAssertionStride = 2;

// The value of the "type" assertion, if there is one.
std::optional<std::string> assertedType(v8::Local<v8::Context> context,
                                        v8::Local<v8::FixedArray> assertions,
                                        int stride);

// What a module's imports are kept by: the specifier and the asserted type.
std::string requestKey(const std::string& specifier, const std::optional<std::string>& type);

// Raises a plain Error with `text`.
void throwError(v8::Isolate* isolate, const std::string& text);

// Puts `prefix` before, and `suffix` after, the message of `exception` when it
// is an error object, keeping its type, so that `e instanceof SyntaxError`
// still holds for what an import failed with. The stack, formatted when first
// read, then shows the new message.
void prefixMessage(v8::Local<v8::Context> context,
                   v8::Local<v8::Value> exception,
                   const std::string& prefix,
                   const std::string& suffix = {});

}  // namespace qor::format::engine::javascript

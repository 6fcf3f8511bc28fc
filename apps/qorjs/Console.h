#pragma once

#include <v8-context.h>
#include <v8-isolate.h>

#include <string>
#include <vector>

namespace qorjs {

// The value's string form; V8's description for a value whose conversion
// throws (a Symbol, an object with a throwing toString).
std::string stringForm(v8::Isolate* isolate, v8::Local<v8::Value> value);

// The text a console call prints for `value`: strings as they are, objects
// as JSON where they have a JSON form, everything else in its string form.
std::string displayText(v8::Isolate* isolate, v8::Local<v8::Value> value);

// Adds print(...), console.log/info/debug (standard output) and
// console.warn/error (standard error) to the context's global object, and
// the script's arguments as the global array `arguments`.
void installGlobals(v8::Local<v8::Context> context, const std::vector<std::string>& scriptArguments);

}  // namespace qorjs

#pragma once

#include "Program.h"

#include <v8-context.h>

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace qorjs {

// The value's string form; V8's description for a value whose conversion
// throws (a Symbol, an object with a throwing toString).
std::string stringForm(v8::Isolate* isolate, v8::Local<v8::Value> value);

// The arguments of --call, each parsed as JSON, in order; or one line naming
// the first argument that is not JSON.
std::expected<std::vector<v8::Local<v8::Value>>, std::string> parseCallArguments(
    v8::Local<v8::Context> context,
    const std::vector<std::string>& texts);

// --call: calls the function at the dotted `path` below the global object,
// waits for the promise it returns (if it does) while the loop runs, and
// prints the result as JSON where it has a JSON form, else in its string form.
// A failure is reported under the URL of the function's script (`programUrl`
// when it has none). The exit status.
int callFunction(Run& run,
                 std::string_view path,
                 const std::vector<v8::Local<v8::Value>>& arguments,
                 std::string_view programUrl);

}  // namespace qorjs

#pragma once

#include "EventLoop.h"

#include <v8-context.h>
#include <v8-isolate.h>

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace qorjs {

// The arguments of --call, each parsed as JSON, in order; or one line naming
// the first argument that is not JSON.
std::expected<std::vector<v8::Local<v8::Value>>, std::string> parseCallArguments(
    v8::Local<v8::Context> context,
    const std::vector<std::string>& texts);

// How a --call result is printed: as JSON where the value has a JSON form
// (3, "text", {"a":1}), else in its string form (undefined, a function's
// source, an object that JSON cannot hold).
std::string resultText(v8::Local<v8::Context> context, v8::Local<v8::Value> value);

// Calls the function at the dotted `path` below the global object with
// `arguments`, waits for the promise it returns (if it does) while `loop`
// runs the timers, and prints the result on standard output. A missing
// function, a throw or a rejection is reported on standard error, a throw
// like a script error under the URL of the function's script (`programUrl`
// when it has none), and so is a timer callback that threw while the promise
// waited. Returns the exit status.
int callFunction(v8::Local<v8::Context> context,
                 EventLoop& loop,
                 std::string_view path,
                 std::vector<v8::Local<v8::Value>>& arguments,
                 std::string_view programUrl);

}  // namespace qorjs

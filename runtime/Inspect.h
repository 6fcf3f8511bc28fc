#pragma once

// Values as text, the way the consoles of other JavaScript runtimes show
// them: "Map(1) { 1 => 2 }", "[ 1, 'two' ]", "<ref *1> { self: [Circular *1] }".

#include <v8-context.h>
#include <v8-local-handle.h>
#include <v8-value.h>

#include <cstddef>
#include <string>
#include <vector>

namespace qor::format::engine::javascript {

struct InspectOptions {
    int depth = 2;                        // nesting levels shown; deeper objects as [Object], [Array], [ClassName]
    bool showHidden = false;              // non-enumerable own properties too, as [key]
    std::size_t maxArrayLength = 100;     // further items: "... N more items"
    std::size_t maxStringLength = 10000;  // further characters: "... N more characters"
    std::size_t breakLength = 80;         // the line width the layout aims at
};

// `value` as consoles of other JavaScript runtimes show it; strings quoted.
// Never runs the value's own JavaScript (no getters, no proxy traps, no
// toString, Symbol.toPrimitive or valueOf): what it shows comes from property
// descriptors and V8's own view of the value; a proxy shows as its target.
// Reading an error's stack may run Error.prepareStackTrace, V8's hook; an
// error whose stack cannot be read shows as "[Name: message]". Never leaves
// an exception pending and never throws, whatever the value; a termination
// of the script (a limit, the host) stays in effect and the text is cut
// short. Needs the context entered and a handle scope open.
std::string inspectValue(v8::Local<v8::Context> context,
                         v8::Local<v8::Value> value,
                         const InspectOptions& options = {});

// console.log's text for its arguments. When the first is a string, its
// format specifiers take the next arguments in turn: %s (strings as they
// are, other values in short form), %d and %i (numbers; %i truncated), %f,
// %j (JSON; "[Circular]" for a cycle), %o (inspected with hidden properties,
// four levels deep) and %O (inspected), %c (taken, prints nothing), and %%
// (a percent sign); a specifier without an argument left stays as it is.
// The remaining arguments follow, separated by blanks: strings as they are,
// other values inspected. Runs no JavaScript of the values except the
// toJSON methods and getters that JSON.stringify calls for %j.
// Implemented in runtime/LogArguments.cc, as is the next.
std::string formatLogArguments(v8::Local<v8::Context> context, const std::vector<v8::Local<v8::Value>>& arguments);

// The arguments a console call hands on to V8's own method, which formats
// %s, %d, %i and %f with JavaScript's conversions (an object's toString and
// valueOf): each object such a specifier in the string at `format` takes is
// replaced by the text formatLogArguments prints for it, so that V8 runs none
// of its code. Other arguments are handed on as they are. The new strings
// live in the caller's handle scope.
std::vector<v8::Local<v8::Value>> forwardedArguments(v8::Local<v8::Context> context,
                                                     std::vector<v8::Local<v8::Value>> arguments,
                                                     std::size_t format);

}  // namespace qor::format::engine::javascript

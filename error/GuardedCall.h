#pragma once

#include <v8-context.h>
#include <v8-function.h>
#include <v8-local-handle.h>

namespace qor::format::engine::javascript {

// Calls `function->Call(context, receiver, argc, argv)` and returns exactly
// what V8 returns; a JavaScript throw stays V8's business (an empty result
// with the exception pending). On Windows a structured exception raised
// inside the call (an access violation, a C++ exception crossing V8's frames)
// is caught whatever its code and thrown on as V8Microsoft.
v8::MaybeLocal<v8::Value> callFunctionGuarded(v8::Local<v8::Function> function,
                                              v8::Local<v8::Context> context,
                                              v8::Local<v8::Value> receiver,
                                              int argc,
                                              v8::Local<v8::Value>* argv);

}  // namespace qor::format::engine::javascript

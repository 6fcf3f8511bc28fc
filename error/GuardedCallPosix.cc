#include "error/GuardedCall.h"

// Windows builds take error/GuardedCallWindows.cc instead.
#ifndef _WIN32

namespace qor::format::engine::javascript {

// POSIX systems have no structured exceptions to translate. Turning signals
// (SIGSEGV and the like) into V8Microsoft is not done on purpose: a handler
// that jumps out of V8's frames would leave the isolate in a broken state, and
// it would fight V8's own signal handlers (which V8 uses for WebAssembly
// bounds checks). A fault inside V8 stays a crash, as it is for any program.
v8::MaybeLocal<v8::Value> callFunctionGuarded(v8::Local<v8::Function> function,
                                              v8::Local<v8::Context> context,
                                              v8::Local<v8::Value> receiver,
                                              int argc,
                                              v8::Local<v8::Value>* argv)
{
    return function->Call(context, receiver, argc, argv);
}

}  // namespace qor::format::engine::javascript

#endif  // !_WIN32

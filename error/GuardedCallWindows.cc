#ifdef _WIN32

#include "error/GuardedCall.h"
#include "error/StructuredExceptionGuard.h"

namespace qor::format::engine::javascript {

v8::MaybeLocal<v8::Value> callFunctionGuarded(v8::Local<v8::Function> function,
                                              v8::Local<v8::Context> context,
                                              v8::Local<v8::Value> receiver,
                                              int argc,
                                              v8::Local<v8::Value>* argv)
{
    return guardStructuredExceptions([&] { return function->Call(context, receiver, argc, argv); });
}

}  // namespace qor::format::engine::javascript

#endif  // _WIN32

#ifdef _WIN32

#include "error/GuardedCall.h"

#include <qor/javascript/Exception.h>

#include <windows.h>

namespace qor::format::engine::javascript {

namespace {

// The __try block lives in a function of its own that holds no object with a
// destructor: MSVC does not allow __try where C++ objects need unwinding.
// Returns false, with the exception code stored, when a structured exception
// was raised inside the call.
bool callUnderSehGuard(v8::Local<v8::Function> function,
                       v8::Local<v8::Context> context,
                       v8::Local<v8::Value> receiver,
                       int argc,
                       v8::Local<v8::Value>* argv,
                       v8::MaybeLocal<v8::Value>* result,
                       unsigned int* code)
{
    *code = 0;
    __try {
        *result = function->Call(context, receiver, argc, argv);
        return true;
    } __except (*code = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        return false;
    }
}

}  // namespace

v8::MaybeLocal<v8::Value> callFunctionGuarded(v8::Local<v8::Function> function,
                                              v8::Local<v8::Context> context,
                                              v8::Local<v8::Value> receiver,
                                              int argc,
                                              v8::Local<v8::Value>* argv)
{
    v8::MaybeLocal<v8::Value> result;
    unsigned int code = 0;
    if (!callUnderSehGuard(function, context, receiver, argc, argv, &result, &code))
        // Thrown from here, after the faulting frames are unwound.
        throw V8Microsoft(code);
    return result;
}

}  // namespace qor::format::engine::javascript

#endif  // _WIN32

#ifdef _WIN32

#include "error/StructuredExceptionGuard.h"

#include <windows.h>

namespace qor::format::engine::javascript {

// The __try block lives in a function that holds no object with a
// destructor: MSVC does not allow __try where C++ objects need unwinding.
bool runUnderStructuredExceptionGuard(void (*body)(void*), void* context, unsigned int* code)
{
    *code = 0;
    __try {
        body(context);
        return true;
    } __except (*code = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        return false;
    }
}

}  // namespace qor::format::engine::javascript

#endif  // _WIN32

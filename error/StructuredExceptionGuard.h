#pragma once

#if defined(_WIN32)

#include <qor/javascript/Exception.h>

#include <optional>
#include <type_traits>
#include <utility>

namespace qor::format::engine::javascript {

// Runs `body(context)` under a structured-exception guard. Returns true when
// `body` returned; false, with the exception's code stored in `*code`, when a
// structured exception of any code was raised inside it, in which case the
// frames of `body` and of everything it called are unwound by the time this
// returns. Whether the objects in those frames are destroyed depends on the
// compiler's exception model; nothing here relies on it.
bool runUnderStructuredExceptionGuard(void (*body)(void*), void* context, unsigned int* code);

// Calls `callable()` and returns its result. A structured exception raised
// inside the call (an access violation, a division by zero, a code passed to
// RaiseException, a C++ exception object crossing the guarded frames) is
// thrown on as V8Microsoft with that code, from this frame, after the
// faulting frames are gone.
template <class Callable>
std::invoke_result_t<Callable&> guardStructuredExceptions(Callable&& callable)
{
    using Result = std::invoke_result_t<Callable&>;
    // The body reaches the callable, and leaves the result, through this
    // record: a function type cannot pass through void* itself.
    struct Call {
        Callable& callable;
        std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> result;
    } call{callable, {}};
    auto body = [](void* context) {
        Call& guarded = *static_cast<Call*>(context);
        if constexpr (std::is_void_v<Result>)
            guarded.callable();
        else
            guarded.result.emplace(guarded.callable());
    };
    unsigned int code = 0;
    if (!runUnderStructuredExceptionGuard(body, &call, &code))
        throw V8Microsoft(code);
    if constexpr (!std::is_void_v<Result>)
        return std::move(*call.result);
}

}  // namespace qor::format::engine::javascript

#endif  // _WIN32

#include "runtime/Calls.h"

#include "runtime/Records.h"

#include "engine/Limits.h"
#include "error/GuardedCall.h"

#include <limits>

namespace qor::format::engine::javascript {

std::expected<v8::Local<v8::Value>, Error> callUnderLimits(v8::Isolate* isolate,
                                                           v8::Local<v8::Context> context,
                                                           v8::Local<v8::Function> function,
                                                           v8::Local<v8::Value> receiver,
                                                           const std::vector<v8::Local<v8::Value>>& arguments,
                                                           bool* stopped)
{
    if (arguments.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::unexpected(V8Error::get(Error::Type::Runtime, nullptr, "Too many arguments for one call"));
    LimitedRun run(isolate);
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Value> result;
    // V8 takes the arguments as a mutable array; it does not write to it.
    auto* argv = const_cast<v8::Local<v8::Value>*>(arguments.data());
    const bool called = callFunctionGuarded(function,
                                            context,
                                            receiver.IsEmpty() ? v8::Undefined(isolate).As<v8::Value>() : receiver,
                                            static_cast<int>(arguments.size()),
                                            argv)
                            .ToLocal(&result);
    if (auto stop = run.end(tryCatch.HasTerminated())) {
        if (stopped != nullptr)
            *stopped = true;
        return std::unexpected(recordOfStop(*stop));
    }
    if (!called)
        return std::unexpected(recordOf(Error::Type::Runtime, isolate, tryCatch));
    return result;
}

}  // namespace qor::format::engine::javascript

#include "runtime/Calls.h"

#include "runtime/Records.h"

#include "engine/Limits.h"
#include "error/GuardedCall.h"

#include <qor/javascript/V8Engine.h>

#include <limits>
#include <string>

namespace qor::format::engine::javascript {

namespace {

bool tooManyArguments(const std::vector<v8::Local<v8::Value>>& arguments)
{
    return arguments.size() > static_cast<std::size_t>(std::numeric_limits<int>::max());
}

Error tooManyArgumentsRecord()
{
    return V8Error::get(Error::Type::Runtime, nullptr, "Too many arguments for one call");
}

// The call itself, inside the caller's run and v8::TryCatch.
bool callGuarded(v8::Isolate* isolate,
                 v8::Local<v8::Context> context,
                 v8::Local<v8::Function> function,
                 v8::Local<v8::Value> receiver,
                 const std::vector<v8::Local<v8::Value>>& arguments,
                 v8::Local<v8::Value>& result)
{
    // V8 takes the arguments as a mutable array; it does not write to it.
    auto* argv = const_cast<v8::Local<v8::Value>*>(arguments.data());
    return callFunctionGuarded(function,
                               context,
                               receiver.IsEmpty() ? v8::Undefined(isolate).As<v8::Value>() : receiver,
                               static_cast<int>(arguments.size()),
                               argv)
        .ToLocal(&result);
}

}  // namespace

std::expected<v8::Local<v8::Value>, Error> callUnderLimits(v8::Isolate* isolate,
                                                           v8::Local<v8::Context> context,
                                                           v8::Local<v8::Function> function,
                                                           v8::Local<v8::Value> receiver,
                                                           const std::vector<v8::Local<v8::Value>>& arguments,
                                                           bool* stopped)
{
    if (tooManyArguments(arguments))
        return std::unexpected(tooManyArgumentsRecord());
    LimitedRun run(isolate);
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Value> result;
    const bool called = callGuarded(isolate, context, function, receiver, arguments, result);
    if (auto stop = run.end(tryCatch.HasTerminated())) {
        if (stopped != nullptr)
            *stopped = true;
        return std::unexpected(recordOfStop(*stop));
    }
    if (!called)
        return std::unexpected(recordOf(Error::Type::Runtime, isolate, tryCatch));
    return result;
}

std::expected<v8::Local<v8::Value>, Error> callPathUnderLimits(v8::Isolate* isolate,
                                                               v8::Local<v8::Context> context,
                                                               std::string_view path,
                                                               const std::vector<v8::Local<v8::Value>>& arguments,
                                                               bool* found,
                                                               bool* stopped)
{
    // One run and one v8::TryCatch for the lookup and the call: a host that
    // calls by path pays for the limits' watch once.
    LimitedRun run(isolate);
    v8::TryCatch tryCatch(isolate);
    const v8::Local<v8::Function> function = V8Engine::getFunction(context->Global(), context, path);
    *found = !function.IsEmpty();
    v8::Local<v8::Value> result;
    const bool called = *found && !tooManyArguments(arguments) &&
                        callGuarded(isolate, context, function, v8::Local<v8::Value>(), arguments, result);
    if (auto stop = run.end(tryCatch.HasTerminated())) {
        if (stopped != nullptr)
            *stopped = true;
        return std::unexpected(recordOfStop(*stop));
    }
    if (!*found) {
        if (tryCatch.HasCaught())
            return std::unexpected(recordOf(Error::Type::Runtime, isolate, tryCatch));
        return std::unexpected(
            V8Error::get(Error::Type::Runtime, nullptr, "TypeError: " + std::string(path) + " is not a function"));
    }
    if (tooManyArguments(arguments))
        return std::unexpected(tooManyArgumentsRecord());
    if (!called)
        return std::unexpected(recordOf(Error::Type::Runtime, isolate, tryCatch));
    return result;
}

}  // namespace qor::format::engine::javascript

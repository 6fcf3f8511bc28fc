#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8Helper.h>

#include "engine/Limits.h"
#include "error/GuardedCall.h"

#include <v8-container.h>
#include <v8-exception.h>
#include <v8-primitive.h>

#include <limits>
#include <optional>

namespace qor::format::engine::javascript {

namespace {

// The parts of a dotted path, one at a time, without copying or collecting
// them: a call resolves its path on every call, so this runs as often as
// the function itself. An empty part comes from a leading "." or from two in
// a row; a trailing "." ends the path without adding one, so "main." names
// the same function as "main", and "" has no parts at all.
class PathParts {
public:
    explicit PathParts(std::string_view path) : path(path) {}

    std::optional<std::string_view> next()
    {
        if (position >= path.size())
            return std::nullopt;
        const std::size_t dot = path.find('.', position);
        if (dot == std::string_view::npos) {
            const std::string_view last = path.substr(position);
            position = path.size();
            return last;
        }
        const std::string_view part = path.substr(position, dot - position);
        position = dot + 1;
        return part;
    }

private:
    std::string_view path;
    std::size_t position = 0;
};

// An ordinary property read (getters run, the prototype chain counts). Empty
// when the read throws, with the exception left pending.
v8::MaybeLocal<v8::Value> readProperty(v8::Local<v8::Object> object,
                                       v8::Local<v8::Context> context,
                                       std::string_view name)
{
    v8::Local<v8::String> key = V8Helper::v8_string(name, context->GetIsolate());
    if (key.IsEmpty())
        return {};
    return object->Get(context, key);
}

}  // namespace

v8::Local<v8::Function> V8Engine::getFunction(v8::Local<v8::Object> object,
                                              v8::Local<v8::Context> context,
                                              std::string_view path)
{
    PathParts parts(path);
    std::optional<std::string_view> part = parts.next();
    if (!part || object.IsEmpty() || context.IsEmpty())
        return {};

    v8::Local<v8::Value> current;
    if (!readProperty(object, context, *part).ToLocal(&current))
        return {};
    while ((part = parts.next())) {
        if (!current->IsObject())
            return {};
        if (!readProperty(current.As<v8::Object>(), context, *part).ToLocal(&current))
            return {};
    }
    if (!current->IsFunction())
        return {};
    return current.As<v8::Function>();
}

bool V8Engine::jsFunctionExists(v8::Local<v8::Object> object,
                                v8::Local<v8::Context> context,
                                std::string_view path)
{
    return !getFunction(object, context, path).IsEmpty();
}

V8FuncResult V8Engine::callJsFunction(v8::Local<v8::Object> object,
                                      v8::Local<v8::Context> context,
                                      std::string_view path,
                                      std::vector<v8::Local<v8::Value>>& arguments)
{
    V8FuncResult result;
    if (context.IsEmpty())
        return result;
    v8::Isolate* isolate = context->GetIsolate();
    // Opened before the lookup: getters on the path are JavaScript too.
    LimitedRun run(isolate);
    v8::Local<v8::Function> function = getFunction(object, context, path);
    if (function.IsEmpty()) {
        if (auto stopped = run.end(); stopped && run.outermost())
            throwLimitError(isolate, *stopped);
        return result;
    }

    // V8 counts arguments in an int. A longer vector is refused with a
    // RangeError instead of a count that wrapped around.
    if (arguments.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        isolate->ThrowException(
            v8::Exception::RangeError(V8Helper::v8_string("Too many arguments for one call", isolate)));
        return result;
    }
    v8::Local<v8::Value> returned;
    const bool called = callFunctionGuarded(function,
                                            context,
                                            v8::Undefined(isolate),
                                            static_cast<int>(arguments.size()),
                                            arguments.data())
                            .ToLocal(&returned);
    if (auto stopped = run.end()) {
        if (run.outermost())
            throwLimitError(isolate, *stopped);
        return result;
    }
    if (called) {
        result.success = true;
        result.value = returned;
    }
    return result;
}

std::expected<V8FuncResult, Error> V8Engine::callJsFunctionGetError(v8::Local<v8::Object> object,
                                                                    v8::Local<v8::Context> context,
                                                                    std::string_view path,
                                                                    std::vector<v8::Local<v8::Value>>& arguments)
{
    if (context.IsEmpty())
        return V8FuncResult{};
    v8::Isolate* isolate = context->GetIsolate();
    // Outside the call's own run, so that a stop comes back as a record here
    // rather than as an exception.
    LimitedRun run(isolate);
    // Opened before the lookup: a getter on the path that throws is reported
    // the same way as a throw from the function itself.
    v8::TryCatch tryCatch(isolate);
    V8FuncResult result = callJsFunction(object, context, path, arguments);
    if (auto stopped = run.end(tryCatch.HasTerminated()))
        return std::unexpected(V8Error::get(Error::Type::Runtime, nullptr, *stopped));
    if (tryCatch.HasCaught())
        return std::unexpected(V8Error::get(Error::Type::Runtime, isolate, tryCatch));
    return result;
}

std::vector<std::string> V8Engine::getPropertyNames(v8::Local<v8::Object> object, v8::Isolate* isolate)
{
    std::vector<std::string> names;
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Array> array;
    if (object.IsEmpty() || !object->GetPropertyNames(context).ToLocal(&array))
        return names;
    for (std::uint32_t i = 0; i < array->Length(); ++i) {
        v8::Local<v8::Value> element;
        if (!array->Get(context, i).ToLocal(&element))
            continue;
        v8::Local<v8::String> name;
        if (!element->ToString(context).ToLocal(&name))
            continue;
        names.push_back(V8Helper::qor_string(name, isolate));
    }
    return names;
}

}  // namespace qor::format::engine::javascript

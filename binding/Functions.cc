// The non-template halves of host functions: making them, placing them at a
// path, and the errors they throw.

#include <qor/javascript/HostFunctions.h>
#include <qor/javascript/V8Helper.h>

#include "binding/Bindings.h"
#include "runtime/Records.h"

#include <v8-exception.h>
#include <v8-external.h>
#include <v8-template.h>

namespace qor::format::engine::javascript::binding {

void throwTypeError(v8::Isolate* isolate, std::string_view text)
{
    isolate->ThrowException(v8::Exception::TypeError(V8Helper::v8_string(text, isolate)));
}

void throwError(v8::Isolate* isolate, std::string_view text)
{
    isolate->ThrowException(v8::Exception::Error(V8Helper::v8_string(text, isolate)));
}

std::string arityRefusal(std::string_view name, std::size_t least, std::size_t most, int got)
{
    const auto count = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " argument" : " arguments"); };
    std::string expected;
    if (most == SIZE_MAX)
        expected = "at least " + count(least);
    else if (least == most)
        expected = count(least);
    else
        expected = std::to_string(least) + " to " + count(most);
    return std::string(name) + ": expected " + expected + ", got " + std::to_string(got);
}

Error refusalRecord(std::string_view name, std::string_view what, std::string_view text)
{
    std::string message(name);
    if (!what.empty())
        message += ": " + std::string(what);
    message += ": ";
    message += text.empty() ? "the value's own code threw" : text;
    return recordOfText(std::move(message));
}

Error otherThread(std::string_view name)
{
    return recordOfText(std::string(name) + ": called on another thread than its runtime's; post the call with "
                                            "the runtime's Remote");
}

Error runtimeGone(std::string_view name)
{
    return recordOfText(std::string(name) + ": its runtime is gone");
}

std::expected<v8::Local<v8::Function>, std::string> makeFunction(v8::Local<v8::Context> context,
                                                                 std::string_view name,
                                                                 v8::FunctionCallback callback,
                                                                 Kept* kept,
                                                                 int length,
                                                                 const v8::CFunction* fast)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::FunctionTemplate> shape;
    V8Runtime* runtime = runtimeOf(isolate);
    if (runtime != nullptr && bindingsOf(*runtime).byNumber()) {
        HostBindings& bindings = bindingsOf(*runtime);
        // V8's fast path is an address too, so such a function has none.
        shape = v8::FunctionTemplate::New(isolate, &HostBindings::callByNumber,
                                          v8::Integer::NewFromUnsigned(isolate, bindings.number(name, kept)), {},
                                          length, v8::ConstructorBehavior::kThrow);
    } else {
        shape = v8::FunctionTemplate::New(isolate, callback, v8::External::New(isolate, kept), {}, length,
                                          v8::ConstructorBehavior::kThrow, v8::SideEffectType::kHasSideEffect, fast);
    }
    v8::Local<v8::Function> function;
    if (!shape->GetFunction(context).ToLocal(&function))
        return std::unexpected(std::string("V8 could not make the function"));
    const std::size_t dot = name.rfind('.');
    function->SetName(V8Helper::v8_string(dot == std::string_view::npos ? name : name.substr(dot + 1), isolate));
    return function;
}

namespace {

// Defined where it can be; else assigned (a script's `var` is a property
// that cannot be defined anew, but can be written), and then read back: an
// assignment reports success where nothing was set (a frozen object, a
// read-only property), and the host would find its function silently missing.
bool placeAt(v8::Local<v8::Context> context, v8::Local<v8::Object> holder, v8::Local<v8::String> key, v8::Local<v8::Value> value)
{
    if (holder->CreateDataProperty(context, key, value).FromMaybe(false))
        return true;
    v8::Local<v8::Value> found;
    return holder->Set(context, key, value).FromMaybe(false) && holder->Get(context, key).ToLocal(&found) &&
           found->StrictEquals(value);
}

}  // namespace

std::expected<void, Error> setAtPath(V8Runtime& runtime, std::string_view path, v8::Local<v8::Value> value)
{
    v8::Isolate* isolate = runtime.isolate();
    v8::Local<v8::Context> context = runtime.context();
    v8::TryCatch tryCatch(isolate);
    const auto failed = [&](std::string why) -> std::expected<void, Error> {
        if (tryCatch.HasCaught())
            return std::unexpected(recordOf(Error::Type::Runtime, isolate, tryCatch));
        return std::unexpected(recordOfText("cannot expose " + std::string(path) + ": " + why));
    };
    v8::Local<v8::Object> holder = context->Global();
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = path.find('.', start);
        const std::string_view part = path.substr(start, dot == std::string_view::npos ? path.npos : dot - start);
        if (part.empty())
            return failed("a path is names joined by dots, none of them empty");
        v8::Local<v8::String> key = V8Helper::v8_string(part, isolate);
        if (dot == std::string_view::npos) {
            if (!placeAt(context, holder, key, value))
                return failed(std::string(part) + " cannot be set");
            return {};
        }
        v8::Local<v8::Value> next;
        if (!holder->Get(context, key).ToLocal(&next))
            return failed(std::string(part) + " cannot be read");
        if (next->IsUndefined()) {
            next = v8::Object::New(isolate);
            if (!placeAt(context, holder, key, next))
                return failed(std::string(part) + " cannot be set");
        } else if (!next->IsObject()) {
            return failed(std::string(path.substr(0, dot)) + " is " + conversion::describe(next) + ", not an object");
        }
        holder = next.As<v8::Object>();
        start = dot + 1;
    }
}

}  // namespace qor::format::engine::javascript::binding

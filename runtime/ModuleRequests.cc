#include "runtime/ModuleRequests.h"

#include <qor/javascript/V8Helper.h>

#include <v8-exception.h>
#include <v8-object.h>
#include <v8-primitive.h>

namespace qor::format::engine::javascript {

std::optional<std::string> assertedType(v8::Local<v8::Context> context,
                                        v8::Local<v8::FixedArray> assertions,
                                        int stride)
{
    if (assertions.IsEmpty())
        return std::nullopt;
    v8::Isolate* isolate = context->GetIsolate();
    for (int at = 0; at + 1 < assertions->Length(); at += stride) {
        v8::Local<v8::Data> key = assertions->Get(context, at);
        v8::Local<v8::Data> value = assertions->Get(context, at + 1);
        if (!key->IsValue() || !value->IsValue())
            continue;
        if (V8Helper::qor_string(key.As<v8::Value>(), isolate) == "type")
            return V8Helper::qor_string(value.As<v8::Value>(), isolate);
    }
    return std::nullopt;
}

std::string requestKey(const std::string& specifier, const std::optional<std::string>& type)
{
    // A specifier cannot hold U+0000 and a type must not either to be
    // useful: the separator keeps the two apart.
    return type ? specifier + '\0' + *type : specifier;
}

void throwError(v8::Isolate* isolate, const std::string& text)
{
    isolate->ThrowException(v8::Exception::Error(V8Helper::v8_string(text, isolate)));
}

void prefixMessage(v8::Local<v8::Context> context,
                   v8::Local<v8::Value> exception,
                   const std::string& prefix,
                   const std::string& suffix)
{
    if (!exception->IsNativeError())
        return;
    v8::Isolate* isolate = context->GetIsolate();
    v8::TryCatch ignored(isolate);
    v8::Local<v8::Object> error = exception.As<v8::Object>();
    v8::Local<v8::String> key = V8Helper::v8_string("message", isolate);
    v8::Local<v8::Value> message;
    if (!error->Get(context, key).ToLocal(&message))
        return;
    // Defined, not set: a setter on Error.prototype does not run, and the
    // message stays as V8 made it, not enumerable.
    v8::Local<v8::String> text = V8Helper::v8_string(prefix + V8Helper::qor_string(message, isolate) + suffix, isolate);
    if (!text.IsEmpty()) {
        v8::Maybe<bool> defined = error->DefineOwnProperty(context, key, text, v8::DontEnum);
        (void)defined;
    }
}

}  // namespace qor::format::engine::javascript

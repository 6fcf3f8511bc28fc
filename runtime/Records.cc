#include "runtime/Records.h"

#include <qor/javascript/V8Helper.h>

#include <v8-context.h>
#include <v8-function.h>
#include <v8-message.h>

namespace qor::format::engine::javascript {

namespace {

void throwFirstArgument(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    info.GetIsolate()->ThrowException(info[0]);
}

}  // namespace

void addRecordReferences(std::vector<std::intptr_t>& table)
{
    table.push_back(reinterpret_cast<std::intptr_t>(&throwFirstArgument));
}

Error recordOf(Error::Type type, v8::Isolate* isolate, const v8::TryCatch& tryCatch)
{
    Error error = V8Error::get(type, isolate, tryCatch);
    v8::Local<v8::Message> message = tryCatch.Message();
    if (!message.IsEmpty()) {
        v8::Local<v8::Value> name = message->GetScriptResourceName();
        if (!name.IsEmpty() && name->IsString() && name.As<v8::String>()->Length() > 0)
            error.detail = V8Helper::qor_string(name, isolate);
    }
    return error;
}

Error recordOfValue(v8::Isolate* isolate, v8::Local<v8::Value> value)
{
    // Thrown once more from a native function: V8 then gives an error object
    // the position where it was made (no script frame runs) and the value
    // travels like one thrown by script. Thrown straight from here with
    // ThrowException, V8 would keep it aside as "scheduled" and raise it
    // again at the next script call.
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Function> rethrow;
    if (v8::Function::New(context, throwFirstArgument).ToLocal(&rethrow)) {
        v8::MaybeLocal<v8::Value> never = rethrow->Call(context, v8::Undefined(isolate), 1, &value);
        (void)never;
    }
    if (!tryCatch.HasCaught())
        return V8Error::get(Error::Type::Runtime, nullptr, V8Helper::qor_string(value, isolate));
    return recordOf(Error::Type::Runtime, isolate, tryCatch);
}

Error recordOfText(std::string_view text)
{
    return V8Error::get(Error::Type::Other, nullptr, text);
}

Error recordOfStop(std::string_view text)
{
    return V8Error::get(Error::Type::Runtime, nullptr, text);
}

}  // namespace qor::format::engine::javascript

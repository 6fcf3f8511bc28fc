#include "Console.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-function-callback.h>
#include <v8-container.h>
#include <v8-exception.h>
#include <v8-function.h>
#include <v8-json.h>
#include <v8-template.h>

#include <iostream>
#include <vector>

namespace qorjs {

namespace V8Helper = qor::format::engine::javascript::V8Helper;

namespace {

std::string joinedArguments(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    std::string line;
    for (int i = 0; i < info.Length(); ++i) {
        if (i > 0)
            line += ' ';
        line += displayText(info.GetIsolate(), info[i]);
    }
    return line;
}

// V8's own console methods forward to an attached inspector but print
// nothing. The replacements print, then call the original (kept as the
// function's data), so a debugger still sees every console call.
void forwardToOriginal(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    if (!info.Data()->IsFunction())
        return;
    std::vector<v8::Local<v8::Value>> arguments;
    for (int i = 0; i < info.Length(); ++i)
        arguments.push_back(info[i]);
    v8::Local<v8::Context> context = info.GetIsolate()->GetCurrentContext();
    v8::MaybeLocal<v8::Value> ignored = info.Data().As<v8::Function>()->Call(
        context, info.This(), static_cast<int>(arguments.size()), arguments.data());
    (void)ignored;
}

void writeToStdout(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    std::cout << joinedArguments(info) << std::endl;
    forwardToOriginal(info);
}

void writeToStderr(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    std::cerr << joinedArguments(info) << std::endl;
    forwardToOriginal(info);
}

void setFunction(v8::Local<v8::Context> context,
                 v8::Local<v8::Object> target,
                 const char* name,
                 v8::FunctionCallback callback)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::String> key = V8Helper::v8_string(name, isolate);
    v8::Local<v8::Value> original = target->Get(context, key).FromMaybe(v8::Local<v8::Value>());
    v8::Local<v8::Function> function =
        v8::Function::New(context, callback, original.IsEmpty() ? v8::Local<v8::Value>(v8::Undefined(isolate)) : original)
            .ToLocalChecked();
    target->Set(context, key, function).Check();
}

}  // namespace

std::string stringForm(v8::Isolate* isolate, v8::Local<v8::Value> value)
{
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::TryCatch ignored(isolate);
    v8::Local<v8::String> text;
    // ToDetailString never runs script code.
    if (value->ToString(context).ToLocal(&text) || value->ToDetailString(context).ToLocal(&text))
        return V8Helper::qor_string(text, isolate);
    return {};
}

std::string displayText(v8::Isolate* isolate, v8::Local<v8::Value> value)
{
    v8::TryCatch ignored(isolate);
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    if (value->IsNativeError()) {
        v8::Local<v8::Value> stack;
        if (value.As<v8::Object>()->Get(context, V8Helper::v8_string("stack", isolate)).ToLocal(&stack) &&
            stack->IsString())
            return V8Helper::qor_string(stack, isolate);
    } else if (value->IsObject() && !value->IsFunction()) {
        // A stringify that throws (a cycle, a BigInt) falls back to the string form.
        v8::Local<v8::String> json;
        if (v8::JSON::Stringify(context, value).ToLocal(&json))
            return V8Helper::qor_string(json, isolate);
    }
    return stringForm(isolate, value);
}

void installGlobals(v8::Local<v8::Context> context, const std::vector<std::string>& scriptArguments)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::Object> global = context->Global();

    setFunction(context, global, "print", writeToStdout);

    v8::Local<v8::Value> existing;
    v8::Local<v8::Object> console = global->Get(context, V8Helper::v8_string("console", isolate)).ToLocal(&existing) &&
                                            existing->IsObject()
                                        ? existing.As<v8::Object>()
                                        : v8::Object::New(isolate);
    setFunction(context, console, "log", writeToStdout);
    setFunction(context, console, "info", writeToStdout);
    setFunction(context, console, "debug", writeToStdout);
    setFunction(context, console, "warn", writeToStderr);
    setFunction(context, console, "error", writeToStderr);
    global->Set(context, V8Helper::v8_string("console", isolate), console).Check();

    v8::Local<v8::Array> arguments = v8::Array::New(isolate, static_cast<int>(scriptArguments.size()));
    for (std::size_t i = 0; i < scriptArguments.size(); ++i)
        arguments->Set(context, static_cast<std::uint32_t>(i), V8Helper::v8_string(scriptArguments[i], isolate))
            .Check();
    global->Set(context, V8Helper::v8_string("arguments", isolate), arguments).Check();
}

}  // namespace qorjs

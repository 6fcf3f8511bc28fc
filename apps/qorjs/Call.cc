#include "Call.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-json.h>

#include <iostream>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// As JSON where the value has a JSON form, else in its string form
// (undefined, a function's source, an object that JSON cannot hold).
std::string resultText(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
{
    if (!value->IsUndefined() && !value->IsFunction() && !value->IsSymbol()) {
        // A cycle or a BigInt makes JSON.stringify throw; a toJSON may hand
        // back undefined, which has no JSON form either.
        v8::TryCatch ignored(context->GetIsolate());
        v8::Local<v8::String> json;
        if (v8::JSON::Stringify(context, value).ToLocal(&json)) {
            std::string text = js::V8Helper::qor_string(json, context->GetIsolate());
            if (text != "undefined")
                return text;
        }
    }
    return stringForm(context->GetIsolate(), value);
}

}  // namespace

std::string stringForm(v8::Isolate* isolate, v8::Local<v8::Value> value)
{
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::TryCatch ignored(isolate);
    v8::Local<v8::String> text;
    // ToDetailString never runs script code.
    if (value->ToString(context).ToLocal(&text) || value->ToDetailString(context).ToLocal(&text))
        return js::V8Helper::qor_string(text, isolate);
    return {};
}

std::expected<std::vector<v8::Local<v8::Value>>, std::string> parseCallArguments(
    v8::Local<v8::Context> context,
    const std::vector<std::string>& texts)
{
    v8::Isolate* isolate = context->GetIsolate();
    std::vector<v8::Local<v8::Value>> values;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // v8::JSON::Parse keeps 1 a number and "x" a string (parseJson would
        // hand back their object forms).
        v8::TryCatch syntaxError(isolate);
        v8::Local<v8::String> text = js::V8Helper::v8_string(texts[i], isolate);
        v8::Local<v8::Value> value;
        if (text.IsEmpty() || !v8::JSON::Parse(context, text).ToLocal(&value)) {
            std::string reason = syntaxError.HasCaught() ? js::V8Helper::qor_string(syntaxError.Exception(), isolate)
                                                         : std::string("too long");
            return std::unexpected("argument " + std::to_string(i + 1) + " of --call is not JSON: '" + texts[i] +
                                   "' (" + reason + ")");
        }
        values.push_back(value);
    }
    return values;
}

int callFunction(Run& run,
                 std::string_view path,
                 const std::vector<v8::Local<v8::Value>>& arguments,
                 std::string_view programUrl)
{
    js::V8Runtime& runtime = run.runtime;
    v8::Isolate* isolate = runtime.isolate();
    v8::Local<v8::Context> context = runtime.context();

    // Looked up here to tell a missing function apart from one that throws,
    // and to name its script in a report.
    v8::Local<v8::Function> function;
    {
        v8::TryCatch lookup(isolate);
        function = js::V8Engine::getFunction(context->Global(), context, path);
        if (lookup.HasCaught()) {
            run.report(js::V8Error::get(js::Error::Type::Runtime, isolate, lookup), programUrl);
            return kExitScriptFailed;
        }
    }
    if (function.IsEmpty()) {
        std::cerr << "qorjs: --call " << path << ": there is no function at this path below the global object"
                  << std::endl;
        return kExitScriptFailed;
    }
    v8::Local<v8::Value> name = function->GetScriptOrigin().ResourceName();
    const std::string url = name.IsEmpty() || !name->IsString() || name.As<v8::String>()->Length() == 0
                                ? std::string(programUrl)
                                : js::V8Helper::qor_string(name, isolate);

    auto result = runtime.call(function, arguments);
    if (result)
        result = runtime.await(*result);
    if (!result) {
        if (result.error().type == js::Error::Type::Other)
            std::cerr << "qorjs: --call " << path << ": the promise it returned never settled" << std::endl;
        else
            run.report(result.error(), url);
        return kExitScriptFailed;
    }
    std::cout << resultText(context, *result) << std::endl;
    return kExitSuccess;
}

}  // namespace qorjs

#include "FunctionCall.h"

#include "Console.h"
#include "ErrorReport.h"
#include "EventLoop.h"
#include "Program.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-exception.h>
#include <v8-function.h>
#include <v8-json.h>
#include <v8-promise.h>

#include <iostream>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// The URL of the script that defines `function`; `fallback` for a built-in.
std::string scriptUrlOf(v8::Isolate* isolate, v8::Local<v8::Function> function, std::string_view fallback)
{
    v8::Local<v8::Value> name = function->GetScriptOrigin().ResourceName();
    if (name.IsEmpty() || !name->IsString())
        return std::string(fallback);
    std::string url = js::V8Helper::qor_string(name, isolate);
    return url.empty() ? std::string(fallback) : url;
}

int reportMissingFunction(std::string_view path)
{
    std::cerr << "qorjs: --call " << path << ": there is no function at this path below the global object"
              << std::endl;
    return kExitScriptFailed;
}

}  // namespace

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

int callFunction(v8::Local<v8::Context> context,
                 EventLoop& loop,
                 std::string_view path,
                 std::vector<v8::Local<v8::Value>>& arguments,
                 std::string_view programUrl)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::Object> global = context->Global();

    // Looked up first to tell a missing function apart from one that throws,
    // and to name its script in a report. The call looks the path up again.
    v8::Local<v8::Function> function;
    {
        v8::TryCatch lookup(isolate);
        function = js::V8Engine::getFunction(global, context, path);
        if (lookup.HasCaught()) {
            std::cerr << renderCaught(isolate, lookup, js::Error::Type::Runtime, programUrl) << std::flush;
            return kExitScriptFailed;
        }
    }
    if (function.IsEmpty())
        return reportMissingFunction(path);
    const std::string url = scriptUrlOf(isolate, function, programUrl);

    auto called = js::V8Engine::callJsFunctionGetError(global, context, path, arguments);
    if (!called) {
        std::cerr << renderError(url, called.error()) << std::flush;
        return kExitScriptFailed;
    }
    if (!called->success)
        return reportMissingFunction(path);

    v8::Local<v8::Value> result = called->value;
    if (result->IsPromise()) {
        v8::Local<v8::Promise> promise = result.As<v8::Promise>();
        switch (loop.settle(promise)) {
        case v8::Promise::kFulfilled:
            result = promise->Result();
            break;
        case v8::Promise::kRejected:
            std::cerr << renderRejection(isolate, promise->Result(), url) << std::flush;
            return kExitScriptFailed;
        case v8::Promise::kPending:
            if (auto failure = loop.takeFailure()) {
                std::cerr << *failure << std::flush;
                return kExitScriptFailed;
            }
            std::cerr << "qorjs: --call " << path << ": the promise it returned never settled" << std::endl;
            return kExitScriptFailed;
        }
    }
    std::cout << resultText(context, result) << std::endl;
    return kExitSuccess;
}

}  // namespace qorjs

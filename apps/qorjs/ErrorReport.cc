#include "ErrorReport.h"

#include <qor/javascript/V8Helper.h>

#include <v8-function.h>
#include <v8-message.h>

#include <algorithm>

namespace qorjs {

namespace {

// Spaces up to the failing column, keeping the source line's tabs so the
// carets stay under the code whatever the tab width.
std::string caretLine(const std::string& sourceLine, std::int64_t startColumn, std::int64_t endColumn)
{
    std::string line;
    const auto start = static_cast<std::size_t>(std::max<std::int64_t>(startColumn, 0));
    for (std::size_t i = 0; i < start; ++i)
        line += i < sourceLine.size() && sourceLine[i] == '\t' ? '\t' : ' ';
    line.append(static_cast<std::size_t>(std::max<std::int64_t>(endColumn - startColumn, 1)), '^');
    return line;
}

// The resource name of the script V8's message points into.
std::string messageUrl(v8::Isolate* isolate, const v8::TryCatch& tryCatch, std::string_view fallbackUrl)
{
    v8::Local<v8::Message> message = tryCatch.Message();
    if (message.IsEmpty())
        return std::string(fallbackUrl);
    v8::Local<v8::Value> name = message->GetScriptResourceName();
    if (name.IsEmpty() || !name->IsString())
        return std::string(fallbackUrl);
    std::string url = qor::format::engine::javascript::V8Helper::qor_string(name, isolate);
    return url.empty() ? std::string(fallbackUrl) : url;
}

void throwFirstArgument(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    info.GetIsolate()->ThrowException(info[0]);
}

}  // namespace

std::string renderError(std::string_view url, const qor::format::engine::javascript::Error& error)
{
    std::string text(url);
    // V8 counts lines from 1; line 0 and column -1 stand for "no position"
    // (a thrown value that is not an error object, rethrown outside a script).
    if (error.lineNumber && *error.lineNumber > 0) {
        text += ':' + std::to_string(*error.lineNumber);
        if (error.startColumn && *error.startColumn >= 0)
            text += ':' + std::to_string(*error.startColumn + 1);
    }
    text += ": ";
    text += error.message.empty() ? std::string("Uncaught exception") : error.message;
    text += '\n';

    if (error.sourceLine && !error.sourceLine->empty()) {
        text += *error.sourceLine + '\n';
        if (error.startColumn)
            text += caretLine(*error.sourceLine, *error.startColumn, error.endColumn.value_or(*error.startColumn + 1)) +
                    '\n';
    }

    if (error.stackTrace) {
        std::string_view stack = *error.stackTrace;
        // V8's stack starts with the message itself; print only the frames.
        if (stack.starts_with(error.message) && stack.size() > error.message.size() &&
            stack[error.message.size()] == '\n')
            stack.remove_prefix(error.message.size() + 1);
        else if (stack == error.message)
            stack = {};
        if (!stack.empty()) {
            text += stack;
            text += '\n';
        }
    }
    return text;
}

std::string scriptUrl(v8::Isolate* isolate, const qor::format::engine::javascript::Source& source)
{
    return qor::format::engine::javascript::V8Helper::qor_string(source.getV8Origin(isolate).ResourceName(), isolate);
}

std::string renderCaught(v8::Isolate* isolate,
                         const v8::TryCatch& tryCatch,
                         qor::format::engine::javascript::Error::Type type,
                         std::string_view fallbackUrl)
{
    return renderError(messageUrl(isolate, tryCatch, fallbackUrl),
                       qor::format::engine::javascript::V8Error::get(type, isolate, tryCatch));
}

std::string renderRejection(v8::Isolate* isolate, v8::Local<v8::Value> reason, std::string_view fallbackUrl)
{
    // Error records are read from a v8::TryCatch, so the reason is thrown
    // once more, from a native function: V8 then gives an error object the
    // position where it was made (no script frame is running) and the
    // exception travels like one thrown by script. Thrown straight from here
    // with ThrowException, V8 would keep it aside as "scheduled" and raise it
    // again at the next script call, which is V8Error's read of the stack.
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Function> rethrow;
    if (v8::Function::New(context, throwFirstArgument).ToLocal(&rethrow)) {
        v8::MaybeLocal<v8::Value> never = rethrow->Call(context, v8::Undefined(isolate), 1, &reason);
        (void)never;
    }
    return renderCaught(isolate, tryCatch, qor::format::engine::javascript::Error::Type::Runtime, fallbackUrl);
}

}  // namespace qorjs

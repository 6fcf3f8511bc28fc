#pragma once

// Hand-written V8 code for the floors: the steps that the library's
// operations take, written out directly against V8's API, without the
// library's wrapping. Shared by the raw halves of several pairs.

#include <qor/javascript/Error.h>
#include <qor/javascript/V8Engine.h>

#include <libplatform/libplatform.h>

#include <v8-context.h>
#include <v8-exception.h>
#include <v8-function.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>
#include <v8-message.h>
#include <v8-primitive.h>

#include <string>
#include <string_view>

namespace qorjs::bench::raw {

inline v8::Local<v8::String> string(v8::Isolate* isolate, std::string_view text)
{
    return v8::String::NewFromUtf8(isolate, text.data(), v8::NewStringType::kNormal, static_cast<int>(text.size()))
        .ToLocalChecked();
}

inline std::string text(v8::Isolate* isolate, v8::Local<v8::Value> value)
{
    v8::String::Utf8Value utf8(isolate, value);
    return *utf8 == nullptr ? std::string() : std::string(*utf8, static_cast<std::size_t>(utf8.length()));
}

// The function at a dotted path, walked in place: one property read per part.
inline v8::MaybeLocal<v8::Function> function(v8::Local<v8::Context> context,
                                             v8::Local<v8::Object> start,
                                             std::string_view path)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::Value> current = start;
    for (;;) {
        const std::size_t dot = path.find('.');
        if (!current->IsObject())
            return {};
        if (!current.As<v8::Object>()->Get(context, string(isolate, path.substr(0, dot))).ToLocal(&current))
            return {};
        if (dot == std::string_view::npos)
            break;
        path.remove_prefix(dot + 1);
    }
    if (!current->IsFunction())
        return {};
    return current.As<v8::Function>();
}

// The record of a caught exception: its text, position, source line and
// stack trace.
inline qor::format::engine::javascript::Error caught(qor::format::engine::javascript::Error::Type type,
                                                     v8::Isolate* isolate,
                                                     const v8::TryCatch& tryCatch)
{
    isolate->Enter();
    qor::format::engine::javascript::Error error;
    {
        v8::HandleScope scope(isolate);
        v8::Local<v8::Value> exception = tryCatch.Exception();
        v8::Local<v8::Message> message = tryCatch.Message();
        error.type = type;
        error.message = text(isolate, exception);
        if (!message.IsEmpty()) {
            v8::Local<v8::Context> context = isolate->GetCurrentContext();
            int position = 0;
            if (message->GetLineNumber(context).To(&position))
                error.lineNumber = position;
            if (message->GetStartColumn(context).To(&position))
                error.startColumn = position;
            if (message->GetEndColumn(context).To(&position))
                error.endColumn = position;
            v8::Local<v8::String> sourceLine;
            if (message->GetSourceLine(context).ToLocal(&sourceLine))
                error.sourceLine = text(isolate, sourceLine);
            v8::Local<v8::Value> stack;
            if (v8::TryCatch::StackTrace(context, exception).ToLocal(&stack) && stack->IsString() &&
                stack.As<v8::String>()->Length() > 0)
                error.stackTrace = text(isolate, stack);
        }
    }
    isolate->Exit();
    return error;
}

// The promise jobs and V8's tasks, in turns until neither has any left: what
// a runtime runs after each step.
inline bool runPendingJobs(v8::Isolate* isolate)
{
    using qor::format::engine::javascript::V8Engine;
    do
        if (!V8Engine::performMicrotaskCheckpoint(isolate))
            return false;
    while (v8::platform::PumpMessageLoop(V8Engine::get().getPlatform(), isolate));
    return true;
}

}  // namespace qorjs::bench::raw

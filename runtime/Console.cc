#include "runtime/Console.h"

#include "runtime/Inspect.h"
#include "runtime/InspectText.h"
#include "runtime/OwnProperties.h"
#include "runtime/RuntimeState.h"
#include "runtime/Table.h"

#include <v8-debug.h>
#include <v8-external.h>
#include <v8-function.h>
#include <v8-template.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace qor::format::engine::javascript {

namespace {

// Frames console.trace shows, as many as V8's default Error.stackTraceLimit.
constexpr int kTraceFrames = 10;

// V8's own methods, which each method forwards to, are kept in an array on
// the global object under this key, in the order of kMethods; a method's
// data is its number there. The data is no object on purpose: V8 keeps a
// function's data with its template, which a startup snapshot stores with
// the isolate rather than the context, and an object there drags what it
// reaches out of the context with it (a snapshot holding an ArrayBuffer then
// fails to build or to restore).
v8::Local<v8::Private> originalsKey(v8::Isolate* isolate)
{
    return v8::Private::ForApi(isolate, v8::String::NewFromUtf8Literal(isolate, "qorjs:console-originals"));
}

// Where a console made outside a runtime is found: on the global object.
v8::Local<v8::Private> standaloneKey(v8::Isolate* isolate)
{
    return v8::Private::ForApi(isolate, v8::String::NewFromUtf8Literal(isolate, "qorjs:console-standalone"));
}

// The console a method writes to. A runtime's is found through the isolate
// rather than the method, so that the methods hold no pointer (a startup
// snapshot keeps them), and write nothing once the runtime let go of it.
// One made outside a runtime is found on the global object until it goes.
Console* consoleOf(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    v8::Isolate* isolate = info.GetIsolate();
    if (V8Runtime::State* state = runtimeStateOf(isolate))
        return state->console.get();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Value> held;
    if (!context->Global()->GetPrivate(context, standaloneKey(isolate)).ToLocal(&held) || !held->IsExternal())
        return nullptr;
    return static_cast<Console*>(held.As<v8::External>()->Value());
}

// Marks a console object whose methods are the runtime's already, as in a
// context restored from a snapshot: they are kept, not wrapped again.
v8::Local<v8::Private> ownMark(v8::Isolate* isolate)
{
    return v8::Private::ForApi(isolate, v8::String::NewFromUtf8Literal(isolate, "qorjs:console"));
}

std::vector<v8::Local<v8::Value>> argumentsFrom(const v8::FunctionCallbackInfo<v8::Value>& info, int first)
{
    std::vector<v8::Local<v8::Value>> arguments;
    for (int i = first; i < info.Length(); ++i)
        arguments.push_back(info[i]);
    return arguments;
}

// A label or an extra value: strings as they are, other values inspected.
std::string plain(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
{
    return value->IsString() ? utf8(context->GetIsolate(), value.As<v8::String>()) : inspectValue(context, value);
}

std::string labelOf(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    if (info.Length() == 0 || info[0]->IsUndefined())
        return "default";
    return plain(info.GetIsolate()->GetCurrentContext(), info[0]);
}

// A duration as other runtimes' consoles give it: milliseconds below a
// second, then seconds, then minutes and hours with the unit spelled out.
std::string elapsed(std::chrono::steady_clock::duration duration)
{
    const double ms = std::chrono::duration<double, std::milli>(duration).count();
    char text[64];
    if (ms < 1000) {
        std::snprintf(text, sizeof text, "%.3fms", ms);
    } else if (ms < 60000) {
        std::snprintf(text, sizeof text, "%.3fs", ms / 1000);
    } else if (ms < 3600000) {
        const double minutes = std::floor(ms / 60000);
        std::snprintf(text, sizeof text, "%.0f:%06.3f (m:ss.mmm)", minutes, (ms - minutes * 60000) / 1000);
    } else {
        const double hours = std::floor(ms / 3600000);
        const double minutes = std::floor((ms - hours * 3600000) / 60000);
        std::snprintf(text, sizeof text, "%.0f:%02.0f:%06.3f (h:mm:ss.mmm)", hours, minutes,
                      (ms - hours * 3600000 - minutes * 60000) / 1000);
    }
    return text;
}

// A frame as V8 writes it in a stack: "at name (url:line:column)".
std::string frameText(v8::Isolate* isolate, v8::Local<v8::StackFrame> frame)
{
    v8::Local<v8::String> script = frame->GetScriptNameOrSourceURL();
    std::string where = script.IsEmpty() || script->Length() == 0 ? "<anonymous>" : utf8(isolate, script);
    where.append(":").append(std::to_string(frame->GetLineNumber()));
    where.append(":").append(std::to_string(frame->GetColumn()));
    v8::Local<v8::String> function = frame->GetFunctionName();
    if (function.IsEmpty() || function->Length() == 0)
        return frame->IsConstructor() ? "new <anonymous> (" + where + ")" : where;
    return (frame->IsConstructor() ? "new " : "") + utf8(isolate, function) + " (" + where + ")";
}

void writeStandard(ConsoleLevel level, std::string_view text)
{
    std::ostream& out = level == ConsoleLevel::Warn || level == ConsoleLevel::Error ? std::cerr : std::cout;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.put('\n');
    out.flush();
}

}  // namespace

// With each method, the argument that V8's own method takes for a format
// string, for the methods whose arguments it formats.
const Console::Method Console::kMethods[] = {
    {"log", &call<&Console::print<ConsoleLevel::Log>, 0>},
    {"info", &call<&Console::print<ConsoleLevel::Info>, 0>},
    {"debug", &call<&Console::print<ConsoleLevel::Debug>, 0>},
    {"warn", &call<&Console::print<ConsoleLevel::Warn>, 0>},
    {"error", &call<&Console::print<ConsoleLevel::Error>, 0>},
    {"dir", &call<&Console::dir, kNoFormat>},
    {"table", &call<&Console::table, kNoFormat>},
    {"trace", &call<&Console::trace, 0>},
    {"assert", &call<&Console::assertion, 1>},
    {"count", &call<&Console::count, kNoFormat>},
    {"countReset", &call<&Console::countReset, kNoFormat>},
    {"time", &call<&Console::time, kNoFormat>},
    {"timeLog", &call<&Console::timeLog, kNoFormat>},
    {"timeEnd", &call<&Console::timeEnd, kNoFormat>},
    {"group", &call<&Console::group, 0>},
    {"groupCollapsed", &call<&Console::group, 0>},
    {"groupEnd", &call<&Console::groupEnd, kNoFormat>},
};

void Console::addExternalReferences(std::vector<std::intptr_t>& table)
{
    for (const Method& method : kMethods)
        table.push_back(reinterpret_cast<std::intptr_t>(method.callback));
}

Console::Console(v8::Local<v8::Context> context, ConsoleSink sink)
    : isolate(context->GetIsolate()), sink(std::move(sink))
{
    v8::HandleScope scope(isolate);
    Contained contained(isolate);
    v8::Local<v8::Object> global = context->Global();
    v8::Local<v8::String> consoleName = v8::String::NewFromUtf8Literal(isolate, "console");
    v8::Local<v8::Value> existing;
    v8::Local<v8::Object> console;
    if (global->Get(context, consoleName).ToLocal(&existing) && existing->IsObject()) {
        console = existing.As<v8::Object>();
    } else {
        console = v8::Object::New(isolate);
        if (global->Set(context, consoleName, console).IsNothing())
            return;
    }

    v8::Local<v8::Value> mark;
    if (console->GetPrivate(context, ownMark(isolate)).ToLocal(&mark) && mark->IsTrue())
        return;
    if (console->SetPrivate(context, ownMark(isolate), v8::True(isolate)).IsNothing())
        return;

    if (runtimeStateOf(isolate) == nullptr) {
        if (global->SetPrivate(context, standaloneKey(isolate), v8::External::New(isolate, this)).IsNothing())
            return;
        standaloneContext.Reset(isolate, context);
    }
    constexpr int kCount = static_cast<int>(std::size(kMethods));
    v8::Local<v8::Array> originals = v8::Array::New(isolate, kCount);
    if (global->SetPrivate(context, originalsKey(isolate), originals).IsNothing())
        return;
    for (int at = 0; at < kCount; ++at) {
        const Method& method = kMethods[at];
        v8::Local<v8::String> name =
            v8::String::NewFromUtf8(isolate, method.name, v8::NewStringType::kInternalized).ToLocalChecked();
        v8::Local<v8::Value> original;
        if (!console->Get(context, name).ToLocal(&original))
            original = v8::Undefined(isolate);
        v8::Local<v8::Function> function;
        if (originals->Set(context, static_cast<std::uint32_t>(at), original).IsNothing() ||
            !v8::Function::New(context, method.callback, v8::Integer::New(isolate, at), 0,
                               v8::ConstructorBehavior::kThrow)
                 .ToLocal(&function))
            return;
        function->SetName(name);
        if (console->Set(context, name, function).IsNothing())
            return;
    }
}

Console::~Console()
{
    if (standaloneContext.IsEmpty())
        return;
    v8::HandleScope scope(isolate);
    v8::Local<v8::Context> context = standaloneContext.Get(isolate);
    v8::Maybe<bool> ignored = context->Global()->DeletePrivate(context, standaloneKey(isolate));
    (void)ignored;
}

template <void (Console::*method)(const Console::Arguments&), std::size_t format>
void Console::call(const Arguments& info)
{
    // Nothing thrown in C++ may unwind through V8's frames: a message that
    // cannot be made or written is lost, and that is all.
    try {
        if (Console* console = consoleOf(info))
            (console->*method)(info);
    } catch (...) {
    }
    v8::Isolate* isolate = info.GetIsolate();
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::Local<v8::Value> originals;
    v8::Local<v8::Value> original;
    if (!info.Data()->IsInt32() || !context->Global()->GetPrivate(context, originalsKey(isolate)).ToLocal(&originals) ||
        !originals->IsArray() ||
        !originals.As<v8::Array>()
             ->Get(context, static_cast<std::uint32_t>(info.Data().As<v8::Int32>()->Value()))
             .ToLocal(&original) ||
        !original->IsFunction())
        return;
    try {
        std::vector<v8::Local<v8::Value>> arguments = argumentsFrom(info, 0);
        if constexpr (format != kNoFormat)
            arguments = forwardedArguments(context, std::move(arguments), format);
        v8::MaybeLocal<v8::Value> ignored = original.As<v8::Function>()->Call(
            context, info.This(), static_cast<int>(arguments.size()), arguments.data());
        (void)ignored;
    } catch (...) {
    }
}

void Console::write(ConsoleLevel level, std::string text)
{
    if (groupDepth > 0) {
        const std::string indent(groupDepth * 2, ' ');
        text.insert(0, indent);
        for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
            text.insert(at + 1, indent);
    }
    if (sink)
        sink(level, text);
    else
        writeStandard(level, text);
}

template <ConsoleLevel level>
void Console::print(const Arguments& info)
{
    write(level, formatLogArguments(isolate->GetCurrentContext(), argumentsFrom(info, 0)));
}

void Console::dir(const Arguments& info)
{
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    InspectOptions options;
    // { depth: n } as other runtimes take it; null for no limit.
    if (info.Length() > 1 && info[1]->IsObject()) {
        v8::Local<v8::Object> given = throughProxies(info[1].As<v8::Object>());
        v8::Local<v8::Value> depth = given.IsEmpty() ? v8::Local<v8::Value>() : ownDataValue(context, given, "depth");
        if (!depth.IsEmpty() && depth->IsNull())
            options.depth = INT_MAX;
        else if (!depth.IsEmpty() && depth->IsNumber() && !std::isnan(depth.As<v8::Number>()->Value()))
            options.depth = static_cast<int>(std::clamp(depth.As<v8::Number>()->Value(), 0.0, double{INT_MAX}));
    }
    write(ConsoleLevel::Log, inspectValue(context, info[0], options));
}

void Console::table(const Arguments& info)
{
    std::optional<std::string> text = tableText(isolate->GetCurrentContext(), info[0], info[1]);
    if (text)
        write(ConsoleLevel::Log, std::move(*text));
    else
        print<ConsoleLevel::Log>(info);
}

void Console::trace(const Arguments& info)
{
    std::string text = "Trace";
    if (info.Length() > 0)
        text.append(": ").append(formatLogArguments(isolate->GetCurrentContext(), argumentsFrom(info, 0)));
    v8::Local<v8::StackTrace> stack = v8::StackTrace::CurrentStackTrace(isolate, kTraceFrames);
    for (int i = 0; i < stack->GetFrameCount(); ++i)
        text.append("\n    at ").append(frameText(isolate, stack->GetFrame(isolate, static_cast<std::uint32_t>(i))));
    write(ConsoleLevel::Error, std::move(text));
}

void Console::assertion(const Arguments& info)
{
    if (info.Length() > 0 && info[0]->BooleanValue(isolate))
        return;
    if (info.Length() < 2)
        return write(ConsoleLevel::Error, "Assertion failed");
    write(ConsoleLevel::Error,
          "Assertion failed: " + formatLogArguments(isolate->GetCurrentContext(), argumentsFrom(info, 1)));
}

void Console::count(const Arguments& info)
{
    const std::string label = labelOf(info);
    write(ConsoleLevel::Log, label + ": " + std::to_string(++counts[label]));
}

void Console::countReset(const Arguments& info)
{
    const std::string label = labelOf(info);
    auto found = counts.find(label);
    if (found == counts.end())
        return write(ConsoleLevel::Warn, "Count for '" + label + "' does not exist");
    found->second = 0;
}

void Console::time(const Arguments& info)
{
    const std::string label = labelOf(info);
    if (!timers.try_emplace(label, std::chrono::steady_clock::now()).second)
        write(ConsoleLevel::Warn, "Label '" + label + "' already exists for console.time()");
}

void Console::timeLog(const Arguments& info)
{
    const std::string label = labelOf(info);
    auto found = timers.find(label);
    if (found == timers.end())
        return write(ConsoleLevel::Warn, "No such label '" + label + "' for console.timeLog()");
    std::string text = label + ": " + elapsed(std::chrono::steady_clock::now() - found->second);
    for (int i = 1; i < info.Length(); ++i)
        text.append(" ").append(plain(isolate->GetCurrentContext(), info[i]));
    write(ConsoleLevel::Log, std::move(text));
}

void Console::timeEnd(const Arguments& info)
{
    const std::string label = labelOf(info);
    auto found = timers.find(label);
    if (found == timers.end())
        return write(ConsoleLevel::Warn, "No such label '" + label + "' for console.timeEnd()");
    const auto duration = std::chrono::steady_clock::now() - found->second;
    timers.erase(found);
    write(ConsoleLevel::Log, label + ": " + elapsed(duration));
}

void Console::group(const Arguments& info)
{
    if (info.Length() > 0)
        write(ConsoleLevel::Log, formatLogArguments(isolate->GetCurrentContext(), argumentsFrom(info, 0)));
    ++groupDepth;
}

void Console::groupEnd(const Arguments&)
{
    if (groupDepth > 0)
        --groupDepth;
}

}  // namespace qor::format::engine::javascript

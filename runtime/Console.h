#pragma once

// The console of a runtime's context: console.log and the rest write their
// messages to a ConsoleSink, values formatted as inspectValue shows them.

#include <qor/javascript/V8Runtime.h>

#include <v8-context.h>
#include <v8-function-callback.h>
#include <v8-persistent-handle.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// log, info and debug (at ConsoleLevel Log, Info, Debug), warn and error;
// dir (the first argument inspected, strings quoted); table; trace ("Trace:
// message" and the stack, at Error); assert ("Assertion failed[: message]"
// at Error when the first argument is falsy); count and countReset ("label:
// N"); time, timeLog and timeEnd ("label: 1.234ms", "1.234s" from a second
// on); group, groupCollapsed (the label, then every later line two columns
// further in) and groupEnd. Labels default to "default"; a label misused is
// warned of at Warn, in the words other runtimes use. None of them runs the
// JavaScript of the values it prints (see formatLogArguments for %j).
//
// Make, use and destroy it on the context's thread with the isolate entered.
class Console {
public:
    // Replaces the methods of the context's global `console` (the object V8
    // made; a new one when a script took it away) with ones that write to
    // `sink` (empty: ConsoleLevel Log, Info and Debug to std::cout, Warn and
    // Error to std::cerr, a line end after each message); each then calls
    // V8's own method with the same arguments, so that an attached inspector
    // still sees every call. A sink that throws loses that message; the
    // exception goes no further.
    Console(v8::Local<v8::Context> context, ConsoleSink sink);

    // Detaches: the methods stay (a script may hold them) but no longer
    // write; they still forward to V8's. The methods find the console
    // through the runtime, which lets go of it first.
    ~Console();

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The callbacks of the methods, which a startup snapshot must know.
    static void addExternalReferences(std::vector<std::intptr_t>& table);

private:
    using Arguments = v8::FunctionCallbackInfo<v8::Value>;

    static constexpr std::size_t kNoFormat = static_cast<std::size_t>(-1);

    struct Method {
        const char* name;
        v8::FunctionCallback callback;
    };
    static const Method kMethods[17];

    // The callback of every method: finds the console (the runtime's through
    // the isolate), runs `method` unless it is gone, then calls V8's method
    // (kept on the global object; the function's data is its number), which
    // formats the string at argument `format` (see forwardedArguments).
    template <void (Console::*method)(const Arguments&), std::size_t format>
    static void call(const Arguments& info);

    template <ConsoleLevel level>
    void print(const Arguments& info);
    void dir(const Arguments& info);
    void table(const Arguments& info);
    void trace(const Arguments& info);
    void assertion(const Arguments& info);
    void count(const Arguments& info);
    void countReset(const Arguments& info);
    void time(const Arguments& info);
    void timeLog(const Arguments& info);
    void timeEnd(const Arguments& info);
    void group(const Arguments& info);
    void groupEnd(const Arguments& info);

    // Writes `text` with each line indented by the group depth.
    void write(ConsoleLevel level, std::string text);

    v8::Isolate* isolate;
    ConsoleSink sink;

    // Outside a runtime, the context whose global object points here until
    // the destructor takes the pointer away.
    v8::Global<v8::Context> standaloneContext;
    std::map<std::string, std::uint64_t> counts;
    std::map<std::string, std::chrono::steady_clock::time_point> timers;
    std::size_t groupDepth = 0;
};

}  // namespace qor::format::engine::javascript

// A complete small host of QorJavaScript, built against the installed package.
//
//   embed              runs its work: a script, a function call, a module
//   embed --inspect    runs the same work under the debugger on 127.0.0.1:9229
//
// Everything a host does, in order: register a logger for V8's own failures,
// start the engine, make an isolate with the engine's failure handlers and a
// context, do the work, report every failure, shut down.

#include <qor/javascript/QorJavaScript.h>

#include <v8-array-buffer.h>
#include <v8-exception.h>
#include <v8-primitive.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace js = qor::format::engine::javascript;

namespace {

// The host's modules, by path. They live as long as the program, as a
// Source's text must while the library compiles it.
const std::map<std::string, std::string, std::less<>> moduleFiles = {
    {"/app/main.mjs", "import { add } from './math.mjs';\nglobalThis.total = add(20, 22);\n"},
    {"/app/math.mjs", "export function add(a, b) { return a + b; }\n"},
};

void report(const js::Error& error)
{
    std::cerr << (error.type == js::Error::Type::Compile ? "compile error: " : "error: ") << error.message;
    if (error.lineNumber)
        std::cerr << " (line " << *error.lineNumber << ")";
    std::cerr << "\n";
}

// Finds an import among moduleFiles: "./x.mjs" names /app/x.mjs.
v8::MaybeLocal<v8::Module> resolve(v8::Local<v8::Context> context, v8::Local<v8::String> specifier,
                                   v8::Local<v8::FixedArray> /*assertions*/, v8::Local<v8::Module> /*referrer*/)
{
    v8::Isolate* isolate = context->GetIsolate();
    std::string name = js::V8Helper::qor_string(specifier, isolate);
    if (name.starts_with("./"))
        name = "/app/" + name.substr(2);
    auto file = moduleFiles.find(name);
    if (file == moduleFiles.end()) {
        // A resolver that fails raises an exception: linking then stops with it.
        isolate->ThrowException(v8::Exception::Error(js::V8Helper::v8_string("Cannot find module " + name, isolate)));
        return {};
    }
    return js::V8Engine::loadModule(context, {file->second, file->first, true});
}

int doWork(v8::Isolate* isolate, v8::Local<v8::Context> context)
{
    v8::HandleScope handleScope(isolate);

    // A classic script.
    std::string code = "var math = { add: (a, b) => a + b };  // var: a property of the global object\n"
                       "function greet(who) { return `Hello, ${who}`; }\n"
                       "greet('host')";
    js::Source source{code, "/app/scripts/greet.js", false};
    auto result = js::V8Engine::runJavaScriptSource(isolate, source);
    if (!result) {
        report(result.error());
        return 1;
    }
    std::cout << js::V8Helper::qor_string(*result, isolate) << "\n";

    // A function call, found by its dotted path below the global object.
    std::vector<v8::Local<v8::Value>> arguments{v8::Number::New(isolate, 1), v8::Number::New(isolate, 2)};
    auto called = js::V8Engine::callJsFunctionGetError(context->Global(), context, "math.add", arguments);
    if (!called) {
        report(called.error());  // it threw
        return 1;
    }
    if (!called->success) {
        std::cerr << "no function math.add\n";
        return 1;
    }
    std::cout << "math.add(1, 2) = " << js::V8Helper::qor_string(called->value, isolate) << "\n";

    // A module and its import.
    js::Source module{moduleFiles.find("/app/main.mjs")->second, "/app/main.mjs", true};
    v8::TryCatch tryCatch(isolate);
    if (!js::V8Engine::addModule(context, module, resolve)) {
        report(js::V8Error::get(js::Error::Type::Compile, isolate, tryCatch));
        return 1;
    }
    v8::Local<v8::Value> total;
    if (!context->Global()->Get(context, js::V8Helper::v8_string("total", isolate)).ToLocal(&total))
        return 1;
    std::cout << "total from the module = " << js::V8Helper::qor_string(total, isolate) << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool inspect = argc > 1 && std::string_view(argv[1]) == "--inspect";

    // V8's own failures (fatal errors, out of memory, failed checks) go to
    // the logger registered as "V8"; register it before the engine starts.
    qor::log::LogManager::instance().addLogger(
        std::make_shared<qor::log::StreamLogger>("V8", std::cerr, qor::log::kLevelError));

    js::V8Engine& engine = js::V8Engine::get();

    // Counts ArrayBuffer memory, so that the heap limit below covers it.
    js::V8Limits::ArrayBufferAllocator allocator;
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = &allocator;
    v8::Isolate* isolate = v8::Isolate::New(params);
    isolate->SetFatalErrorHandler(js::V8Engine::fatalError);
    isolate->SetOOMErrorHandler(js::V8Engine::oomeError);
    isolate->SetAbortOnUncaughtExceptionCallback(js::V8Engine::abortOnUncaughtException);
    isolate->SetEventLogger(js::V8Engine::logEvent);

    int status = 0;
    {
        // Entered, and limited: no script may take more than 256 MB or run
        // longer than two seconds.
        v8::Isolate::Scope isolateScope(isolate);
        js::V8Limits limits(isolate, engine.getPlatform(), {256 << 20, std::chrono::milliseconds(2000)}, &allocator);
        v8::HandleScope handleScope(isolate);
        v8::Local<v8::Context> context = v8::Context::New(isolate);
        v8::Context::Scope contextScope(context);

        if (inspect) {
            js::V8Debugger debugger(isolate, engine.getPlatform());
            debugger.execute(/*breakOnStart*/ true,
                             [&] { status = doWork(isolate, context); },
                             [](unsigned short port) {
                                 std::cerr << "Debugger listening on ws://127.0.0.1:" << port << std::endl;
                                 return true;
                             },
                             [] { std::cerr << "The debugger went away before the work started\n"; },
                             9229);
        } else {
            status = doWork(isolate, context);
        }
    }
    isolate->Dispose();
    js::V8Engine::reset();
    return status;
}

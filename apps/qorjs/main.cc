// qorjs: runs a JavaScript file in V8 through QorJavaScript.
//
// The whole host in a few steps: start the engine, register a logger for V8's
// own failures, make an isolate with the engine's failure handlers and a
// context with print and console, run the script, report what went wrong.

#include "Console.h"
#include "ErrorReport.h"
#include "Options.h"

#include <qor/javascript/QorJavaScript.h>

#include <libplatform/libplatform.h>
#include <v8-array-buffer.h>
#include <v8-initialization.h>
#include <v8-isolate.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

namespace js = qor::format::engine::javascript;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitScriptFailed = 1;
constexpr int kExitUsage = 2;

std::optional<std::string> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return std::move(text).str();
}

// Owns an isolate; disposes of it on every way out.
struct IsolateDeleter {
    void operator()(v8::Isolate* isolate) const { isolate->Dispose(); }
};
using IsolatePtr = std::unique_ptr<v8::Isolate, IsolateDeleter>;

IsolatePtr newIsolate(v8::ArrayBuffer::Allocator* allocator)
{
    v8::Isolate::CreateParams params;
    params.array_buffer_allocator = allocator;
    IsolatePtr isolate(v8::Isolate::New(params));
    isolate->SetFatalErrorHandler(js::V8Engine::fatalError);
    isolate->SetOOMErrorHandler(js::V8Engine::oomeError);
    isolate->SetAbortOnUncaughtExceptionCallback(js::V8Engine::abortOnUncaughtException);
    isolate->SetEventLogger(js::V8Engine::logEvent);
    return isolate;
}

// Runs the tasks V8 posted (promise jobs run by themselves when the script returns).
void drainTasks(v8::Platform* platform, v8::Isolate* isolate)
{
    while (v8::platform::PumpMessageLoop(platform, isolate))
        ;
}

int run(const qorjs::Options& options, js::V8Engine& engine, v8::Isolate* isolate)
{
    js::Source source;
    std::string code;
    if (options.inlineCode) {
        code = *options.inlineCode;
        source.fileName = (std::filesystem::current_path() / "[eval]").string();
    } else {
        std::optional<std::string> text = readFile(options.file);
        if (!text) {
            std::cerr << "qorjs: cannot read " << options.file << std::endl;
            return kExitUsage;
        }
        code = std::move(*text);
        source.fileName = std::filesystem::absolute(options.file).lexically_normal().string();
    }
    source.code = code;

    v8::Isolate::Scope isolateScope(isolate);
    v8::HandleScope handleScope(isolate);
    v8::Local<v8::Context> context = v8::Context::New(isolate);
    v8::Context::Scope contextScope(context);
    qorjs::installGlobals(context, options.scriptArguments);

    auto result = js::V8Engine::runJavaScriptSource(isolate, source);
    drainTasks(engine.getPlatform(), isolate);
    if (!result) {
        const std::string url = js::V8Helper::qor_string(source.getV8Origin(isolate).ResourceName(), isolate);
        std::cerr << qorjs::renderError(url, result.error()) << std::flush;
        return kExitScriptFailed;
    }
    if (options.printResult)
        std::cout << qorjs::displayText(isolate, *result) << std::endl;
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv)
{
    auto options = qorjs::parseOptions(argc, argv);
    if (!options) {
        std::cerr << "qorjs: " << options.error() << "\n"
                  << "Try 'qorjs --help' for more information." << std::endl;
        return kExitUsage;
    }
    if (options->showHelp) {
        std::cout << qorjs::usage();
        return kExitSuccess;
    }
    if (options->showVersion) {
        std::cout << "qorjs " << QORJAVASCRIPT_VERSION << " (QorJavaScript " << QORJAVASCRIPT_VERSION << ", V8 "
                  << v8::V8::GetVersion() << ")" << std::endl;
        return kExitSuccess;
    }

    // V8's own failures go to standard error through the logger named "V8".
    qor::log::LogManager::instance().addLogger(
        std::make_shared<qor::log::StreamLogger>("V8", std::cerr, qor::log::kLevelError));

    js::V8Engine& engine = js::V8Engine::get();
    std::unique_ptr<v8::ArrayBuffer::Allocator> allocator(v8::ArrayBuffer::Allocator::NewDefaultAllocator());
    int status;
    {
        IsolatePtr isolate = newIsolate(allocator.get());
        status = run(*options, engine, isolate.get());
    }
    js::V8Engine::reset();
    return status;
}

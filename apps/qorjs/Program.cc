#include "Program.h"

#include "Console.h"
#include "ErrorReport.h"
#include "FunctionCall.h"
#include "Jobs.h"
#include "ModuleLoader.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-promise.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// The name V8 gives the program in messages and stack traces.
std::string urlOf(v8::Isolate* isolate, const js::Source& source)
{
    return js::V8Helper::qor_string(source.getV8Origin(isolate).ResourceName(), isolate);
}

int runClassicScript(const Options& options, const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform)
{
    const js::Source source{program.code, program.fileName, false};
    auto result = js::V8Engine::runJavaScriptSource(isolate, source);
    runPendingJobs(isolate, platform);
    if (!result) {
        std::cerr << renderError(urlOf(isolate, source), result.error()) << std::flush;
        return kExitScriptFailed;
    }
    if (options.printResult)
        std::cout << displayText(isolate, *result) << std::endl;
    return kExitSuccess;
}

// Compiles and links the module and what it imports, evaluates it (V8 runs
// the imports first), and waits for its top-level await, if any.
int runModule(const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform)
{
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    const std::string url = urlOf(isolate, js::Source{program.code, program.fileName, true});

    ModuleLoader loader(context);
    auto module = loader.load(program);
    if (!module) {
        std::cerr << module.error() << std::flush;
        return kExitScriptFailed;
    }

    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Value> completion = js::V8Engine::evaluateModule(*module, context);
    if (completion.IsEmpty()) {
        std::cerr << renderCaught(isolate, tryCatch, js::Error::Type::Runtime, url) << std::flush;
        return kExitScriptFailed;
    }
    // Evaluation hands back a promise: settled at once, unless top-level
    // await still waits; a throw anywhere in the graph rejects it.
    if (completion->IsPromise()) {
        v8::Local<v8::Promise> promise = completion.As<v8::Promise>();
        switch (settle(isolate, platform, promise)) {
        case v8::Promise::kFulfilled:
            break;
        case v8::Promise::kRejected:
            std::cerr << renderRejection(isolate, promise->Result(), url) << std::flush;
            return kExitScriptFailed;
        case v8::Promise::kPending:
            std::cerr << "qorjs: " << program.fileName
                      << ": top-level await never finished: what it waits for is never settled" << std::endl;
            return kExitScriptFailed;
        }
    }
    runPendingJobs(isolate, platform);
    return kExitSuccess;
}

}  // namespace

std::expected<ProgramText, std::string> loadProgram(const Options& options)
{
    if (options.inlineCode)
        return ProgramText{*options.inlineCode, (std::filesystem::current_path() / "[eval]").string()};

    std::ifstream in(options.file, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    if (!in || in.bad() || std::filesystem::is_directory(options.file))
        return std::unexpected("cannot read " + options.file);
    return ProgramText{std::move(text).str(), std::filesystem::absolute(options.file).lexically_normal().string()};
}

int runProgram(const Options& options, const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform)
{
    v8::HandleScope handleScope(isolate);
    v8::Local<v8::Context> context = isolate->GetCurrentContext();

    // The --call arguments are checked before anything runs: a usage error
    // must not leave the script's effects behind.
    std::vector<v8::Local<v8::Value>> callArguments;
    if (options.callPath) {
        auto parsed = parseCallArguments(context, options.scriptArguments);
        if (!parsed) {
            std::cerr << "qorjs: " << parsed.error() << std::endl;
            return kExitUsage;
        }
        callArguments = std::move(*parsed);
    }

    const int status = options.module ? runModule(program, isolate, platform)
                                      : runClassicScript(options, program, isolate, platform);
    if (status != kExitSuccess || !options.callPath)
        return status;

    const std::string url = urlOf(isolate, js::Source{program.code, program.fileName, options.module});
    const int callStatus = callFunction(context, platform, *options.callPath, callArguments, url);
    runPendingJobs(isolate, platform);
    return callStatus;
}

}  // namespace qorjs

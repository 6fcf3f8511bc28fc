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

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

int runClassicScript(const Options& options, const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform)
{
    const js::Source source{program.code, program.fileName, false};
    auto result = js::V8Engine::runJavaScriptSource(isolate, source);
    auto stopped = runPendingJobs(isolate, platform);
    if (!result || stopped) {
        std::cerr << renderError(scriptUrl(isolate, source), result ? *stopped : result.error()) << std::flush;
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
    const std::string url = scriptUrl(isolate, js::Source{program.code, program.fileName, true});

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
        auto state = settle(isolate, platform, promise);
        if (!state) {
            std::cerr << renderError(url, state.error()) << std::flush;
            return kExitScriptFailed;
        }
        switch (*state) {
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
    if (auto stopped = runPendingJobs(isolate, platform)) {
        std::cerr << renderError(url, *stopped) << std::flush;
        return kExitScriptFailed;
    }
    return kExitSuccess;
}

}  // namespace

std::expected<std::string, std::string> readFile(const std::filesystem::path& file)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error))
        return std::unexpected("cannot read " + file.string() + ": " +
                               (error ? error.message() : std::string("not a regular file")));
    std::ifstream in(file, std::ios::binary);
    std::string text;
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0)
        text.append(block, static_cast<std::size_t>(in.gcount()));
    // eof alone ends a good read; a stream that never opened, or failed
    // half-way, is bad or failed without having reached the end.
    if (!in.eof() || in.bad())
        return std::unexpected("cannot read " + file.string());
    return text;
}

std::expected<ProgramText, std::string> loadProgram(const Options& options)
{
    if (options.inlineCode) {
        // The -e code is named as if it were a file in the current directory,
        // or at the root when that directory is gone.
        std::error_code error;
        std::filesystem::path here = std::filesystem::current_path(error);
        return ProgramText{*options.inlineCode, ((error ? std::filesystem::path("/") : here) / "[eval]").string()};
    }

    auto text = readFile(options.file);
    if (!text)
        return std::unexpected(text.error());
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(options.file, error);
    return ProgramText{std::move(*text), (error ? options.file : absolute.lexically_normal().string())};
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

    UnhandledRejections rejections(isolate);
    const std::string url = scriptUrl(isolate, js::Source{program.code, program.fileName, options.module});
    int status = options.module ? runModule(program, isolate, platform)
                                : runClassicScript(options, program, isolate, platform);
    if (status == kExitSuccess && options.callPath) {
        status = callFunction(context, platform, *options.callPath, callArguments, url);
        if (auto stopped = runPendingJobs(isolate, platform); stopped && status == kExitSuccess) {
            std::cerr << renderError(url, *stopped) << std::flush;
            status = kExitScriptFailed;
        }
    }
    // A rejection nobody handled is a failure the program did not report.
    if (auto reason = rejections.first(); status == kExitSuccess && reason) {
        std::cerr << "qorjs: a promise was rejected and nothing handled it:\n"
                  << renderRejection(isolate, *reason, url) << std::flush;
        return kExitScriptFailed;
    }
    return status;
}

}  // namespace qorjs

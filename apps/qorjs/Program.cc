#include "Program.h"

#include "Console.h"
#include "ErrorReport.h"
#include "EventLoop.h"
#include "FunctionCall.h"
#include "Jobs.h"
#include "ModuleLoader.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-promise.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

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
// the imports first), and waits for its top-level await, if any, while the
// timers run.
int runModule(ModuleLoader& loader, const ProgramText& program, v8::Isolate* isolate, EventLoop& loop)
{
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    const std::string url = scriptUrl(isolate, js::Source{program.code, program.fileName, true});

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
        switch (loop.settle(promise)) {
        case v8::Promise::kFulfilled:
            break;
        case v8::Promise::kRejected:
            std::cerr << renderRejection(isolate, promise->Result(), url) << std::flush;
            return kExitScriptFailed;
        case v8::Promise::kPending:
            if (auto failure = loop.takeFailure()) {
                std::cerr << *failure << std::flush;
                return kExitScriptFailed;
            }
            std::cerr << "qorjs: " << program.fileName
                      << ": top-level await never finished: what it waits for is never settled" << std::endl;
            return kExitScriptFailed;
        }
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
    // Code from the command line or standard input is named as if it were a
    // file in the current directory, or at the root when that directory is gone.
    const auto nameHere = [](const char* name) {
        std::error_code error;
        std::filesystem::path here = std::filesystem::current_path(error);
        return ((error ? std::filesystem::path("/") : here) / name).string();
    };
    if (options.inlineCode)
        return ProgramText{*options.inlineCode, nameHere("[eval]")};
    if (options.standardInput) {
        std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
        if (std::cin.bad())
            return std::unexpected(std::string("cannot read the program from standard input"));
        return ProgramText{std::move(text), nameHere("[stdin]")};
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
    // Classic scripts load modules too, with import().
    ModuleLoader loader(context, program);
    const std::string url = scriptUrl(isolate, js::Source{program.code, program.fileName, options.module});
    EventLoop loop(context, platform, url);
    // As in other runtimes, a rejection still unhandled once the jobs of a
    // turn have run ends the program, rather than the timers after it.
    const auto rejected = [&] { return rejections.first().has_value(); };

    int status = options.module ? runModule(loader, program, isolate, loop)
                                : runClassicScript(options, program, isolate, platform);
    // --call comes right after the script's own turn: a timer the script
    // keeps going (an interval) must not keep the call from happening.
    if (status == kExitSuccess && !loop.failed() && options.callPath)
        status = callFunction(context, loop, *options.callPath, callArguments, url);
    if (status == kExitSuccess)
        loop.run(rejected);
    // A timer or microtask that threw ends the run like an uncaught error.
    if (auto failure = loop.takeFailure(); status == kExitSuccess && failure) {
        std::cerr << *failure << std::flush;
        return kExitScriptFailed;
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

#include "Program.h"

#include "Call.h"

#include <qor/javascript/QorJavaScript.h>

#include <v8-container.h>
#include <v8-function.h>

#include <filesystem>
#include <iostream>
#include <iterator>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

js::V8Runtime::Settings settingsFor(const Options& options, bool& rejected)
{
    js::V8Runtime::Settings settings;
    settings.timers = settings.console = true;
    settings.limits = {std::size_t{options.heapLimitMb.value_or(0)} << 20,
                       std::chrono::milliseconds{options.timeLimitMs.value_or(0)}};
    settings.onUnhandledRejection = [&rejected](const js::Error&) { return !(rejected = true); };
    if (!options.compileCache.empty() && hasProgram(options) && !options.buildSnapshot)
        settings.compileCache = std::make_shared<js::CompileCache>(options.compileCache, [](std::string_view text) {
            std::cerr << "qorjs: warning: " << text << std::endl;
        });
    return settings;
}

// print(...), the arguments' string forms as other shells print them, and
// the script's own `arguments`: exposed on every runtime, and again on one
// restored from a snapshot.
void exposeHostFunctions(js::V8Runtime& runtime, const Options& options)
{
    js::expose(runtime, "arguments", options.scriptArguments).value();
    js::expose(runtime, "print", [](js::V8Runtime& runtime, js::Rest<v8::Local<v8::Value>> values) {
        std::string line;
        for (std::size_t i = 0; i < values.size(); ++i)
            line += (i > 0 ? " " : "") + stringForm(runtime.isolate(), values[i]);
        std::cout << line << std::endl;
    }).value();
}

}  // namespace

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
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(options.file, error);
    const std::string file = error ? options.file : absolute.lexically_normal().string();
    auto text = js::fileModules().load(js::fileUrlFromPath(file));
    if (!text)
        return std::unexpected(text.error());
    return ProgramText{std::move(*text), file};
}

Run::Run(const Options& options, const js::StartupSnapshot* from) : runtime(make(options, from)) {}

js::V8Runtime& Run::make(const Options& options, const js::StartupSnapshot* from)
{
    if (options.buildSnapshot) {
        builder = std::make_unique<js::SnapshotBuilder>(settingsFor(options, rejected));
        exposeHostFunctions(builder->runtime(), options);
        return builder->runtime();
    }
    if (from != nullptr) {
        auto restored = js::restoreRuntime(*from, settingsFor(options, rejected),
                                           [&](js::V8Runtime& runtime) { exposeHostFunctions(runtime, options); });
        if (!restored)
            throw std::runtime_error(restored.error().message);
        owned = std::move(*restored);
        return *owned;
    }
    owned = std::make_unique<js::V8Runtime>(settingsFor(options, rejected));
    exposeHostFunctions(*owned, options);
    return *owned;
}

std::optional<std::string> Run::writeSnapshot(const Options& options)
{
    auto snapshot = builder->build();
    if (!snapshot)
        return snapshot.error().message;
    if (auto written = snapshot->writeFile(options.snapshotBlob); !written)
        return written.error().message;
    return std::nullopt;
}

void Run::report(const js::Error& error, std::string_view url)
{
    if (std::exchange(rejected, false))
        std::cerr << "qorjs: a promise was rejected and nothing handled it:\n";
    // What is no JavaScript exception (a module that cannot be loaded, a
    // promise nothing can settle) is one line.
    if (error.type == js::Error::Type::Other ||
        (error.type == js::Error::Type::Compile && error.lineNumber.value_or(0) <= 0)) {
        const std::string_view message = error.message;
        std::cerr << "qorjs: " << (message.starts_with("Error: ") ? message.substr(7) : message) << std::endl;
        return;
    }
    std::cerr << js::V8Runtime::describe(error, url) << std::flush;
}

int runProgram(const Options& options, const ProgramText& program, Run& run)
{
    js::V8Runtime& runtime = run.runtime;
    js::V8Runtime::Scope scope(runtime);
    const std::string url = js::fileUrlFromPath(program.fileName);

    // The --call arguments are checked before anything runs: a usage error
    // must not leave the script's effects behind.
    std::vector<v8::Local<v8::Value>> callArguments;
    if (options.callPath) {
        auto parsed = parseCallArguments(runtime.context(), options.scriptArguments);
        if (!parsed) {
            std::cerr << "qorjs: " << parsed.error() << std::endl;
            return kExitUsage;
        }
        callArguments = std::move(*parsed);
    }

    if (options.module) {
        // Known by its file's canonical URL, so that a module importing the
        // program back gets this very module.
        std::error_code ignored;
        const auto canonical = std::filesystem::weakly_canonical(program.fileName, ignored);
        auto done = runtime.runModuleText(program.code, js::fileUrlFromPath(canonical.empty() ? program.fileName
                                                                                               : canonical.string()));
        if (!done) {
            run.report(done.error(), url);
            return kExitScriptFailed;
        }
    } else {
        auto result = runtime.runScript({program.code, program.fileName, false});
        if (!result) {
            run.report(result.error(), url);
            return kExitScriptFailed;
        }
        if (options.printResult)
            std::cout << ((*result)->IsString() ? js::V8Helper::qor_string(*result, runtime.isolate())
                                                : runtime.inspect(*result))
                      << std::endl;
    }
    // --call comes right after the script's own turn: a timer the script
    // keeps going (an interval) must not keep the call from happening.
    if (options.callPath) {
        if (int status = callFunction(run, *options.callPath, callArguments, url); status != kExitSuccess)
            return status;
    }
    if (auto loop = runtime.runLoop(); !loop) {
        run.report(loop.error(), url);
        return kExitScriptFailed;
    }
    return kExitSuccess;
}

}  // namespace qorjs

#include "Program.h"

#include "Console.h"
#include "ErrorReport.h"

#include <qor/javascript/QorJavaScript.h>

#include <libplatform/libplatform.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

// Runs the tasks V8 posted (promise jobs run by themselves when the script returns).
void drainTasks(v8::Platform* platform, v8::Isolate* isolate)
{
    while (v8::platform::PumpMessageLoop(platform, isolate))
        ;
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
    js::Source source{program.code, program.fileName, false};

    auto result = js::V8Engine::runJavaScriptSource(isolate, source);
    drainTasks(platform, isolate);
    if (!result) {
        const std::string url = js::V8Helper::qor_string(source.getV8Origin(isolate).ResourceName(), isolate);
        std::cerr << renderError(url, result.error()) << std::flush;
        return kExitScriptFailed;
    }
    if (options.printResult)
        std::cout << displayText(isolate, *result) << std::endl;
    return kExitSuccess;
}

}  // namespace qorjs

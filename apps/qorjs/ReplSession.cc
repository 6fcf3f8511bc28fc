#include "ReplSession.h"

#include <qor/javascript/QorJavaScript.h>

#include <filesystem>
#include <iostream>
#include <system_error>

namespace qorjs {

namespace js = qor::format::engine::javascript;

namespace {

enum class Completeness { Complete, Unfinished, MaybeUnfinished };

// Whether `code` is worth running yet. V8's compile error tells: input that
// ends inside a block, a call or a template fails with "Unexpected end of
// input" or "Unterminated template literal"; an invalid token that reaches
// the end of the input may be a string continued with a backslash.
Completeness completenessOf(v8::Isolate* isolate, const std::string& code)
{
    v8::HandleScope scope(isolate);
    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    v8::TryCatch tryCatch(isolate);
    v8::Local<v8::Script> script;
    if (v8::Script::Compile(context, js::V8Helper::v8_string(code, isolate)).ToLocal(&script))
        return Completeness::Complete;
    v8::Local<v8::Message> message = tryCatch.Message();
    if (message.IsEmpty())
        return Completeness::Complete;
    const std::string text = js::V8Helper::qor_string(message->Get(), isolate);
    if (text.find("Unexpected end of input") != std::string::npos ||
        text.find("Unterminated template literal") != std::string::npos)
        return Completeness::Unfinished;
    const auto end = code.find_last_not_of(" \t\r\n") + 1;
    if (text.find("Invalid or unexpected token") != std::string::npos &&
        static_cast<std::size_t>(message->GetEndPosition()) >= end)
        return Completeness::MaybeUnfinished;
    return Completeness::Complete;
}

std::string replFileName()
{
    std::error_code noDirectory;
    const std::filesystem::path here = std::filesystem::current_path(noDirectory);
    return ((noDirectory ? std::filesystem::path("/") : here) / "[repl]").string();
}

}  // namespace

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

ReplSession::ReplSession(Run& run) : run(run), fileName(replFileName()) {}

bool ReplSession::asksToLeave(std::string_view line) const
{
    return input.empty() && trimmed(line) == ".exit";
}

void ReplSession::feed(const std::string& line)
{
    input += line;
    if (trimmed(input).empty()) {
        input.clear();
        return;
    }
    js::V8Runtime::Scope scope(run.runtime);
    const Completeness completeness = completenessOf(run.runtime.isolate(), input);
    if (completeness == Completeness::Unfinished ||
        (completeness == Completeness::MaybeUnfinished && !trimmed(line).empty()))
        return;
    auto result = run.runtime.runScript({input, fileName, false});
    if (result)
        std::cout << run.runtime.inspect(*result) << std::endl;
    else
        run.report(result.error(), js::fileUrlFromPath(fileName));
    input.clear();
    runDueTimers();
}

void ReplSession::runDueTimers()
{
    if (auto turn = run.runtime.runReady(); !turn)
        run.report(turn.error(), js::fileUrlFromPath(fileName));
}

}  // namespace qorjs

#include <qor/javascript/V8Runtime.h>

#include <algorithm>

namespace qor::format::engine::javascript {

namespace {

// Spaces up to the failing column, keeping the source line's tabs so the
// carets stay under the code whatever the tab width.
std::string caretLine(const std::string& sourceLine, std::int64_t startColumn, std::int64_t endColumn)
{
    std::string line;
    const auto start = static_cast<std::size_t>(std::max<std::int64_t>(startColumn, 0));
    for (std::size_t i = 0; i < start; ++i)
        line += i < sourceLine.size() && sourceLine[i] == '\t' ? '\t' : ' ';
    line.append(static_cast<std::size_t>(std::max<std::int64_t>(endColumn - startColumn, 1)), '^');
    return line;
}

}  // namespace

std::string V8Runtime::describe(const Error& error, std::string_view url)
{
    std::string text = error.detail ? *error.detail : std::string(url);
    // V8 counts lines from 1; line 0 and column -1 stand for "no position"
    // (a thrown value that is not an error object, rethrown outside a script).
    if (error.lineNumber && *error.lineNumber > 0) {
        text += ':' + std::to_string(*error.lineNumber);
        if (error.startColumn && *error.startColumn >= 0)
            text += ':' + std::to_string(*error.startColumn + 1);
    }
    text += ": " + (error.message.empty() ? std::string("Uncaught exception") : error.message) + '\n';

    if (error.sourceLine && !error.sourceLine->empty()) {
        text += *error.sourceLine + '\n';
        if (error.startColumn)
            text += caretLine(*error.sourceLine, *error.startColumn, error.endColumn.value_or(*error.startColumn + 1)) +
                    '\n';
    }
    if (error.stackTrace) {
        std::string_view stack = *error.stackTrace;
        if (stack.starts_with(error.message) && stack.size() > error.message.size() &&
            stack[error.message.size()] == '\n')
            stack.remove_prefix(error.message.size() + 1);
        else if (stack == error.message)
            stack = {};
        if (!stack.empty())
            text += std::string(stack) + '\n';
    }
    return text;
}

}  // namespace qor::format::engine::javascript

#include "Options.h"

#include <charconv>
#include <string_view>

namespace qorjs {

std::string usage()
{
    return "Usage: qorjs [options] FILE [ARG...]\n"
           "       qorjs [options] -e CODE [ARG...]\n"
           "\n"
           "Runs FILE as a JavaScript program in V8. The arguments after FILE are\n"
           "the script's own, readable from it as the global array `arguments`.\n"
           "\n"
           "Options:\n"
           "  -e, --eval CODE   run CODE instead of a file\n"
           "  -p, --print       print the completion value of the script (not of a\n"
           "                    module, which has none)\n"
           "  -m, --module      run FILE as an ES module (the default for .mjs files);\n"
           "                    its imports are resolved from the file system\n"
           "  --call PATH       after the script has run, call the function at the\n"
           "                    dotted PATH (e.g. math.add) with the arguments after\n"
           "                    FILE parsed as JSON, and print its result\n"
           "  --inspect[=PORT]  let a DevTools client attach on ws://127.0.0.1:PORT\n"
           "                    (default 9005) before the script runs\n"
           "  --inspect-brk[=PORT]\n"
           "                    as --inspect, and pause on the first statement\n"
           "  --inspect-allow-origin=ORIGIN\n"
           "                    accept DevTools connections from a web page of this\n"
           "                    origin (repeatable; \"*\" allows all)\n"
           "  --time-limit=MS   stop any step of the run (the script or module graph,\n"
           "                    its promise jobs, --call) that runs longer than MS\n"
           "                    milliseconds; time paused in a debugger does not count\n"
           "  --heap-limit=MB   stop the run when the JavaScript heap and its\n"
           "                    ArrayBuffers reach MB megabytes; without it, V8's own\n"
           "                    limit stops it the same way\n"
           "  -h, --help        show this text\n"
           "  -v, --version     show the versions of qorjs and V8\n"
           "\n"
           "Exit status: 0 on success, 1 when the script fails or a limit stops it,\n"
           "2 on bad usage or an unreadable file.\n";
}

namespace {

// "--inspect" alone, or "--inspect=PORT"; false when `argument` is another option.
std::expected<bool, std::string> readInspectOption(std::string_view argument, std::string_view name, Options& options)
{
    if (!argument.starts_with(name))
        return false;
    std::string_view rest = argument.substr(name.size());
    if (rest.empty()) {
        options.inspectPort = kDefaultInspectPort;
        return true;
    }
    if (rest[0] != '=')
        return false;
    rest.remove_prefix(1);
    unsigned int port = 0;
    auto [end, failure] = std::from_chars(rest.data(), rest.data() + rest.size(), port);
    // Port 0 would listen where nobody is told.
    if (failure != std::errc() || end != rest.data() + rest.size() || port == 0 || port > 65535)
        return std::unexpected(std::string(name) + " needs a port from 1 to 65535, not '" + std::string(rest) + "'");
    options.inspectPort = static_cast<unsigned short>(port);
    return true;
}

// "--NAME=N" with N a whole number from 1 up; false when `argument` is
// another option.
std::expected<bool, std::string> readLimitOption(std::string_view argument,
                                                 std::string_view name,
                                                 std::optional<unsigned>& value)
{
    if (!argument.starts_with(name))
        return false;
    std::string_view rest = argument.substr(name.size());
    if (!rest.empty() && rest[0] != '=')
        return false;
    if (!rest.empty())
        rest.remove_prefix(1);
    unsigned number = 0;
    auto [end, failure] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (rest.empty() || failure != std::errc() || end != rest.data() + rest.size() || number == 0)
        return std::unexpected(std::string(name) + " needs a whole number from 1 up, not '" + std::string(rest) + "'");
    value = number;
    return true;
}

}  // namespace

std::expected<Options, std::string> parseOptions(int argc, char** argv)
{
    Options options;
    int at = 1;
    for (; at < argc; ++at) {
        const std::string_view argument = argv[at];
        if (argument == "--") {
            ++at;
            break;
        }
        if (argument.empty() || argument[0] != '-' || argument == "-")
            break;
        if (argument == "-h" || argument == "--help") {
            options.showHelp = true;
        } else if (argument == "-v" || argument == "--version") {
            options.showVersion = true;
        } else if (argument == "-p" || argument == "--print") {
            options.printResult = true;
        } else if (argument == "-m" || argument == "--module") {
            options.module = true;
        } else if (argument == "--call") {
            if (at + 1 >= argc)
                return std::unexpected(std::string("--call needs the dotted path of a function"));
            options.callPath = argv[++at];
        } else if (argument.starts_with("--inspect-allow-origin")) {
            std::string_view origin = argument.substr(std::string_view("--inspect-allow-origin").size());
            if (!origin.starts_with('=') || origin.size() == 1)
                return std::unexpected(std::string("--inspect-allow-origin needs =ORIGIN"));
            options.allowedOrigins.emplace_back(origin.substr(1));
        } else if (auto brk = readInspectOption(argument, "--inspect-brk", options); !brk || *brk) {
            if (!brk)
                return std::unexpected(brk.error());
            options.inspectBreak = true;
        } else if (auto inspect = readInspectOption(argument, "--inspect", options); !inspect || *inspect) {
            if (!inspect)
                return std::unexpected(inspect.error());
        } else if (auto time = readLimitOption(argument, "--time-limit", options.timeLimitMs); !time || *time) {
            if (!time)
                return std::unexpected(time.error());
        } else if (auto heap = readLimitOption(argument, "--heap-limit", options.heapLimitMb); !heap || *heap) {
            if (!heap)
                return std::unexpected(heap.error());
        } else if (argument == "-e" || argument == "--eval") {
            if (at + 1 >= argc)
                return std::unexpected(std::string(argument) + " needs the code to run");
            options.inlineCode = argv[++at];
        } else {
            return std::unexpected("unknown option " + std::string(argument));
        }
    }

    if (options.showHelp || options.showVersion)
        return options;
    if (!options.inlineCode) {
        if (at >= argc)
            return std::unexpected(std::string("no script given"));
        options.file = argv[at++];
        if (options.file.ends_with(".mjs"))
            options.module = true;
    }
    for (; at < argc; ++at)
        options.scriptArguments.emplace_back(argv[at]);
    return options;
}

}  // namespace qorjs

#include "Options.h"

#include <cstdlib>

#include <charconv>
#include <string_view>

namespace qorjs {

std::string usage()
{
    return "Usage: qorjs [options] FILE [ARG...]\n"
           "       qorjs [options] -e CODE [ARG...]\n"
           "       qorjs [options] -p CODE [ARG...]\n"
           "       qorjs [options] - [ARG...]     (the program on standard input)\n"
           "       qorjs                          (a REPL, on a terminal)\n"
           "\n"
           "Runs FILE as a JavaScript program in V8. The arguments after FILE are\n"
           "the script's own, readable from it as the global array `arguments`.\n"
           "Without FILE or CODE the program is read from standard input, unless\n"
           "that is a terminal: then qorjs starts a REPL, which prints the value of\n"
           "each input, continues unfinished input on the next line and keeps its\n"
           "history in ~/.qorjs_history (.exit or Ctrl-D leaves, Ctrl-C drops the line).\n"
           "\n"
           "Options:\n"
           "  -e, --eval CODE   run CODE instead of a file\n"
           "  -p, --print CODE  run CODE and print its value (also -pe CODE); followed\n"
           "                    by another option or \"-\", -p prints the completion\n"
           "                    value of that program instead (a module has none)\n"
           "  -m, --module      run FILE as an ES module (the default for .mjs files);\n"
           "                    its imports are resolved from the file system\n"
           "  --call PATH       after the script has run, call the function at the\n"
           "                    dotted PATH (e.g. math.add) with the arguments after\n"
           "                    FILE parsed as JSON, and print its result\n"
           "  --inspect[=PORT]  let a DevTools client attach on ws://127.0.0.1:PORT\n"
           "                    (default 9005; 0 for one the system chooses) at any\n"
           "                    time while the program runs; DevTools clients find\n"
           "                    it by port. A client still attached when the program\n"
           "                    ends is served until it leaves\n"
           "  --inspect-wait[=PORT]\n"
           "                    as --inspect, and wait for a client before the run\n"
           "  --inspect-brk[=PORT]\n"
           "                    as --inspect-wait, and pause on the first statement\n"
           "  --inspect-allow-origin=ORIGIN\n"
           "                    accept DevTools connections from a web page of this\n"
           "                    origin (repeatable; \"*\" allows all)\n"
           "  --time-limit=MS   stop any step of the run (the script or module graph,\n"
           "                    its promise jobs, --call) that runs longer than MS\n"
           "                    milliseconds; time paused in a debugger does not count\n"
           "  --heap-limit=MB   stop the run when the JavaScript heap and its\n"
           "                    ArrayBuffers reach MB megabytes; without it, V8's own\n"
           "                    limit stops it the same way\n"
           "  --compile-cache=DIR\n"
           "                    keep V8's compiled code for the program and its modules\n"
           "                    in DIR and use it on later runs of the same files\n"
           "                    (also QORJS_COMPILE_CACHE=DIR in the environment)\n"
           "  --snapshot-blob FILE\n"
           "                    start from the state saved in FILE: its globals,\n"
           "                    functions and data, without running its script again\n"
           "  --build-snapshot  with --snapshot-blob: run FILE (a classic script) and\n"
           "                    its timers to the end, then save the state it left;\n"
           "                    refused when it loaded ES modules. Promises still\n"
           "                    pending stay so; print is the restoring run's\n"
           "  -h, --help        show this text\n"
           "  -v, --version     show the versions of qorjs and V8\n"
           "\n"
           "What a program has: the language and V8's built-ins, print and console,\n"
           "`arguments`, setTimeout, setInterval, clearTimeout, clearInterval and\n"
           "queueMicrotask, and ES modules loaded from files. The run ends when no\n"
           "timer is left. qorjs is not a server-side runtime: it has no file\n"
           "system, network, process or package APIs beyond loading modules.\n"
           "\n"
           "Modules: import and import() take paths (./, ../ or absolute) resolved\n"
           "against the importing file (for -e, the working directory); each file\n"
           "is loaded once. import.meta.url is the module's file:// URL and\n"
           "import.meta.resolve(path) the URL an import of it would load. JSON files\n"
           "are imported with assert { type: \"json\" }, the parsed value as default.\n"
           "\n"
           "Exit status: 0 on success, 1 when the script fails (an uncaught error,\n"
           "also in a timer callback, or a rejection nothing handled) or a limit\n"
           "stops it, 2 on bad usage or an unreadable file.\n";
}

namespace {

// "NAME=N" with N from `least` to `most` (`what` says which numbers), or NAME
// alone where `bare` gives N; false when `argument` is another option.
std::expected<bool, std::string> readNumber(std::string_view argument,
                                            std::string_view name,
                                            unsigned least,
                                            unsigned most,
                                            const char* what,
                                            std::optional<unsigned> bare,
                                            std::optional<unsigned>& value)
{
    if (!argument.starts_with(name))
        return false;
    std::string_view rest = argument.substr(name.size());
    if (rest.empty() && bare) {
        value = bare;
        return true;
    }
    if (!rest.empty() && rest[0] != '=')
        return false;
    rest.remove_prefix(rest.empty() ? 0 : 1);
    unsigned number = 0;
    auto [end, failure] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (rest.empty() || failure != std::errc() || end != rest.data() + rest.size() || number < least || number > most)
        return std::unexpected(std::string(name) + " needs " + what + ", not '" + std::string(rest) + "'");
    value = number;
    return true;
}

// The options that take a number: --inspect-brk[=PORT], --inspect-wait[=PORT], --inspect[=PORT]
// (port 0 lets the system choose), --time-limit=MS and --heap-limit=MB.
std::expected<bool, std::string> readNumberOption(std::string_view argument,
                                                  Options& options,
                                                  std::optional<unsigned>& port)
{
    for (std::string_view name : {"--inspect-brk", "--inspect-wait", "--inspect"}) {
        auto read = readNumber(argument, name, 0, 65535, "a port from 0 to 65535", kDefaultInspectPort, port);
        options.inspectBreak |= read.value_or(false) && name == "--inspect-brk";
        options.inspectWait |= read.value_or(false) && name != "--inspect";
        if (!read || *read)
            return read;
    }
    const char* count = "a whole number from 1 up";
    if (auto read = readNumber(argument, "--time-limit", 1, ~0u, count, {}, options.timeLimitMs); !read || *read)
        return read;
    return readNumber(argument, "--heap-limit", 1, ~0u, count, {}, options.heapLimitMb);
}

}  // namespace

bool hasProgram(const Options& options)
{
    return options.inlineCode || !options.file.empty();
}

std::expected<Options, std::string> parseOptions(int argc, char** argv)
{
    Options options;
    std::optional<unsigned> inspectPort;
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
            // As other runtimes read it: "-p CODE" prints CODE's value, and
            // "-p" before another option, "-" or nothing is the flag alone.
            options.printResult = true;
            if (at + 1 < argc && argv[at + 1][0] != '-' && argv[at + 1][0] != '\0')
                options.inlineCode = argv[++at];
        } else if (argument == "-pe") {
            if (at + 1 >= argc)
                return std::unexpected(std::string("-pe needs the code to run"));
            options.printResult = true;
            options.inlineCode = argv[++at];
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
        } else if (argument.starts_with("--compile-cache=") && argument.size() > 16) {
            options.compileCache = argument.substr(16);
        } else if (argument == "--snapshot-blob" || argument.starts_with("--snapshot-blob=")) {
            if (argument.size() > 16)
                options.snapshotBlob = argument.substr(16);
            else if (at + 1 < argc)
                options.snapshotBlob = argv[++at];
            if (options.snapshotBlob.empty())
                return std::unexpected(std::string("--snapshot-blob needs the snapshot's FILE"));
        } else if (argument == "--build-snapshot") {
            options.buildSnapshot = true;
        } else if (auto number = readNumberOption(argument, options, inspectPort); !number || *number) {
            if (!number)
                return std::unexpected(number.error());
        } else if (argument == "-e" || argument == "--eval") {
            if (at + 1 >= argc)
                return std::unexpected(std::string(argument) + " needs the code to run");
            options.inlineCode = argv[++at];
        } else {
            return std::unexpected("unknown option " + std::string(argument));
        }
    }

    if (inspectPort)
        options.inspectPort = static_cast<unsigned short>(*inspectPort);
    if (options.showHelp || options.showVersion)
        return options;
    if (options.buildSnapshot && options.snapshotBlob.empty())
        return std::unexpected(std::string("--build-snapshot needs --snapshot-blob FILE, where it writes the snapshot"));
    if (options.buildSnapshot && (options.inspectPort || options.callPath))
        return std::unexpected(std::string("--build-snapshot runs the program alone: no --inspect or --call"));
    if (const char* cache = std::getenv("QORJS_COMPILE_CACHE"); cache != nullptr && options.compileCache.empty())
        options.compileCache = cache;
    if (!options.inlineCode && at < argc) {
        options.file = argv[at++];
        options.standardInput = options.file == "-";
        if (options.file.ends_with(".mjs"))
            options.module = true;
    }
    for (; at < argc; ++at)
        options.scriptArguments.emplace_back(argv[at]);
    return options;
}

}  // namespace qorjs

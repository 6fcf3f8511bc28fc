#include "Options.h"

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
           "  -p, --print       print the completion value of the script\n"
           "  -h, --help        show this text\n"
           "  -v, --version     show the versions of qorjs and V8\n"
           "\n"
           "Exit status: 0 on success, 1 when the script fails, 2 on bad usage or an\n"
           "unreadable file.\n";
}

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
    }
    for (; at < argc; ++at)
        options.scriptArguments.emplace_back(argv[at]);
    return options;
}

}  // namespace qorjs

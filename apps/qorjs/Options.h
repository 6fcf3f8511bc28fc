#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace qorjs {

// What the command line asks for. Options come before FILE; everything after
// FILE belongs to the script.
struct Options {
    bool showHelp = false;
    bool showVersion = false;
    bool printResult = false;               // -p, --print
    std::optional<std::string> inlineCode;  // -e CODE
    std::string file;                       // the script, unless -e is given
    std::vector<std::string> scriptArguments;
};

// The options, or one line saying what is wrong with the command line.
std::expected<Options, std::string> parseOptions(int argc, char** argv);

// The text of --help.
std::string usage();

}  // namespace qorjs

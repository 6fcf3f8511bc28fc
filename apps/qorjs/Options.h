#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <cstdint>

namespace qorjs {

// The debugger's port unless --inspect names one.
inline constexpr unsigned short kDefaultInspectPort = 9005;

// What the command line asks for. Options come before FILE; everything after
// FILE belongs to the script.
struct Options {
    bool showHelp = false;
    bool showVersion = false;
    bool printResult = false;               // -p, --print, -pe
    std::optional<std::string> inlineCode;  // -e CODE, -p CODE
    bool standardInput = false;             // FILE is "-": the program is read from standard input
    bool module = false;                    // --module, or a FILE ending in .mjs
    std::optional<std::string> callPath;    // --call PATH: call after the script has run
    std::optional<unsigned short> inspectPort;  // --inspect[=PORT], --inspect-wait[=PORT], --inspect-brk[=PORT]
    bool inspectWait = false;                   // --inspect-wait, --inspect-brk: wait for a client first
    bool inspectBreak = false;                  // --inspect-brk: pause on the first statement
    std::vector<std::string> allowedOrigins;    // --inspect-allow-origin=ORIGIN, repeatable
    std::optional<unsigned> timeLimitMs;        // --time-limit=MS
    std::optional<unsigned> heapLimitMb;        // --heap-limit=MB
    std::string compileCache;                   // --compile-cache=DIR, or QORJS_COMPILE_CACHE
    std::string snapshotBlob;                   // --snapshot-blob FILE: restore from it, or
    bool buildSnapshot = false;                 // --build-snapshot: write it from the program's state
    std::string file;                           // the script; empty when none is given (see hasProgram)
    std::vector<std::string> scriptArguments;
};

// Whether the command line names a program: a FILE, "-" or inline code.
// Without one, qorjs reads the program from standard input, or starts the
// REPL when standard input is a terminal.
bool hasProgram(const Options& options);

// The options, or one line saying what is wrong with the command line.
std::expected<Options, std::string> parseOptions(int argc, char** argv);

// The text of --help.
std::string usage();

}  // namespace qorjs

#pragma once

#include "Options.h"

#include <v8-context.h>
#include <v8-isolate.h>
#include <v8-platform.h>

#include <expected>
#include <filesystem>
#include <string>

namespace qorjs {

constexpr int kExitSuccess = 0;
constexpr int kExitScriptFailed = 1;
constexpr int kExitUsage = 2;

// The script the command line names, read into memory before the context
// exists, so an unreadable file is reported before anything runs.
struct ProgramText {
    std::string code;
    std::string fileName;  // absolute path: the script's URL is made from it
};

// The whole content of `file`, or why it cannot be had ("cannot read ...").
std::expected<std::string, std::string> readFile(const std::filesystem::path& file);

// Reads the file or standard input, or takes the -e code; one error line when
// the program cannot be read.
std::expected<ProgramText, std::string> loadProgram(const Options& options);

// Runs the program in the entered `context` and reports a failure on
// standard error. Returns the process's exit status.
int runProgram(const Options& options, const ProgramText& program, v8::Isolate* isolate, v8::Platform* platform);

}  // namespace qorjs

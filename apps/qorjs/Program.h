#pragma once

#include "Options.h"

#include <qor/javascript/StartupSnapshot.h>
#include <qor/javascript/V8Runtime.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace qorjs {

constexpr int kExitSuccess = 0;
constexpr int kExitScriptFailed = 1;
constexpr int kExitUsage = 2;

// The script the command line names, read into memory before the runtime
// exists, so an unreadable file is reported before anything runs.
struct ProgramText {
    std::string code;
    std::string fileName;  // absolute path: the script's URL is made from it
};

// Reads the file or standard input, or takes the -e code; one error line when
// the program cannot be read.
std::expected<ProgramText, std::string> loadProgram(const Options& options);

// The runtime of one qorjs run: timers, a console, the limits the options
// ask for, and print and `arguments` on the global object.
class Run {
    // Set by the runtime when the failure it is about to return is an
    // unhandled rejection.
    bool rejected = false;
    // What owns the runtime: a builder for --build-snapshot, else the
    // runtime itself (restored from `from` when given).
    std::unique_ptr<qor::format::engine::javascript::SnapshotBuilder> builder;
    std::unique_ptr<qor::format::engine::javascript::V8Runtime> owned;
    qor::format::engine::javascript::V8Runtime& make(const Options& options,
                                                     const qor::format::engine::javascript::StartupSnapshot* from);

public:
    // Throws std::runtime_error when the snapshot `from` cannot be restored.
    explicit Run(const Options& options, const qor::format::engine::javascript::StartupSnapshot* from = nullptr);
    // --build-snapshot: the snapshot of what the program left, written to
    // the options' file; the runtime is gone afterwards. One error line, or none.
    std::optional<std::string> writeSnapshot(const Options& options);

    // Prints `error` on standard error as V8Runtime::describe shows it under
    // `url`, after the line that says so when it is a rejection nothing
    // handled.
    void report(const qor::format::engine::javascript::Error& error, std::string_view url);

    qor::format::engine::javascript::V8Runtime& runtime;
};

// Runs the program and whatever it leaves to the loop, and reports a failure
// on standard error. The process's exit status.
int runProgram(const Options& options, const ProgramText& program, Run& run);

}  // namespace qorjs

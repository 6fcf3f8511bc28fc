#pragma once

#include <qor/javascript/Error.h>
#include <qor/javascript/Export.h>
#include <qor/javascript/V8Runtime.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qor::format::engine::javascript {

// The state a script left in a runtime (its globals, functions, classes,
// closures and data), kept so that a new runtime starts with it without
// running the script again. Made by SnapshotBuilder, used by
// restoreRuntime. Copies share the bytes.
//
// The bytes are V8's startup snapshot behind a header that names this
// library's version, V8's version and flags, and the host functions the
// state holds, with a checksum of the whole: a snapshot from another build,
// another V8, other flags, or damaged or cut short, is refused with an Error
// before V8 reads it (V8 itself would end the process on most of these).
class StartupSnapshot {
public:
    // Checks `bytes` as above: the snapshot, or why they are not one.
    QORJS_API static std::expected<StartupSnapshot, Error> fromBytes(std::vector<std::uint8_t> bytes);
    // fromBytes of the file at `path`; an unreadable file is an Error too.
    QORJS_API static std::expected<StartupSnapshot, Error> readFile(const std::filesystem::path& path);

    // The bytes to keep, as fromBytes takes them.
    QORJS_API const std::vector<std::uint8_t>& bytes() const;
    // Writes bytes() to `path` through a temporary file renamed into place:
    // the file is the whole snapshot or what it was before.
    QORJS_API std::expected<void, Error> writeFile(const std::filesystem::path& path) const;

    // The host functions the state holds, by the dotted path they were
    // exposed at: restoreRuntime needs each exposed again.
    QORJS_API const std::vector<std::string>& hostFunctions() const;

    // The library's own: what the bytes hold, once checked.
    struct Contents;
    const std::shared_ptr<const Contents>& contents() const { return held; }

private:
    explicit StartupSnapshot(std::shared_ptr<const Contents> contents) : held(std::move(contents)) {}
    friend struct SnapshotAccess;
    std::shared_ptr<const Contents> held;
};

// Makes a StartupSnapshot: a runtime to run the state's scripts in, then the
// snapshot of what they left.
//
//   js::SnapshotBuilder builder(settings);
//   js::expose(builder.runtime(), "host.log", log);
//   builder.runtime().runScript({libraryCode, "library.js"});
//   auto snapshot = builder.build();
//
// The runtime is a V8Runtime as any other, with three differences: the host
// functions exposed on it carry a number rather than an address (they
// cost an indirect call more each, and have no fast path); it may not make
// host classes; and runScript compiles every function of a script at once
// (not only those it calls), so that the snapshot holds their code and a
// restored runtime compiles none of them again, for a bigger snapshot.
class SnapshotBuilder {
public:
    QORJS_API explicit SnapshotBuilder(V8Runtime::Settings settings = {});
    QORJS_API ~SnapshotBuilder();
    SnapshotBuilder(const SnapshotBuilder&) = delete;
    SnapshotBuilder& operator=(const SnapshotBuilder&) = delete;

    // The runtime whose state the snapshot holds. Gone once build() ran.
    QORJS_API V8Runtime& runtime();

    // The snapshot of the runtime's state now; the runtime is gone
    // afterwards, whatever the result. Refused, with an Error that names what
    // is in the way, while the state holds what a snapshot cannot: timers
    // set, tasks posted and not run, a KeepAlive held (a HostPromise not yet
    // settled holds one), ES modules (a snapshot holds classic scripts' state
    // only), host classes and their objects. Promises that are still pending
    // are kept as they are, but nothing is left that could settle them.
    QORJS_API std::expected<StartupSnapshot, Error> build();

private:
    std::unique_ptr<V8Runtime> made;
};

// A runtime that starts with the state `snapshot` holds, made with
// `settings` (their limits, timers, console, modules and compile cache apply
// to it as to any runtime; the snapshot's own console and timers stay as
// they were, writing to the new runtime's). `exposeAgain` runs on it first:
// it exposes again, at the same paths, the host functions the snapshot holds
// (hostFunctions()); functions held by the state's closures reach what is
// exposed there. A held function it leaves out refuses the restore with an
// Error that names every one missing.
//
// Each new context made in the runtime's isolate (v8::Context::New) starts
// with the same state: restoring one takes a fraction of running the
// scripts that made it.
QORJS_API std::expected<std::unique_ptr<V8Runtime>, Error> restoreRuntime(
    const StartupSnapshot& snapshot,
    V8Runtime::Settings settings = {},
    const std::function<void(V8Runtime&)>& exposeAgain = {});

}  // namespace qor::format::engine::javascript

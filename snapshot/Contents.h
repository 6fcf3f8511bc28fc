#pragma once

// What a checked StartupSnapshot holds, and how a runtime is made from or
// for one.

#include <qor/javascript/StartupSnapshot.h>

#include <v8-snapshot.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qor::format::engine::javascript {

struct StartupSnapshot::Contents {
    // The whole file: the header, the host functions' names, V8's snapshot.
    std::vector<std::uint8_t> bytes;
    std::vector<std::string> hostFunctions;
    // V8's version and flags when it was made, as V8 hashes them; compared
    // when it is restored, since V8's flags are final only once it runs.
    std::uint32_t v8Tag = 0;
    // Where V8's snapshot lies in `bytes`.
    std::size_t blobOffset = 0;
    std::size_t blobSize = 0;
};

// V8's snapshot in `contents`, for Isolate::CreateParams; it points into
// `contents`, which must outlive the isolate.
v8::StartupData snapshotBlobOf(const StartupSnapshot::Contents& contents);

// The checksum a snapshot file of `size` bytes (a header at least) carries
// in its header: of all its bytes, the checksum's own field read as zero.
std::uint64_t snapshotChecksum(const std::uint8_t* bytes, std::size_t size);

// The snapshot file for V8's `blob`, holding `hostFunctions`.
StartupSnapshot wrapSnapshot(const v8::StartupData& blob, const std::vector<std::string>& hostFunctions);

// The addresses of every library callback a snapshot may hold, in an order
// fixed for a build of the library, ending in 0: what V8 writes into a
// snapshot as a number, and reads back into the address of this process.
const std::intptr_t* snapshotReferences();
// How many there are, without the 0: a snapshot from a build with another
// count is refused.
std::size_t snapshotReferenceCount();

// The library's way into V8Runtime's private constructor.
struct SnapshotAccess {
    static std::unique_ptr<V8Runtime> makeForSnapshot(V8Runtime::Settings settings);
    static std::unique_ptr<V8Runtime> makeFrom(std::shared_ptr<const StartupSnapshot::Contents> contents,
                                               V8Runtime::Settings settings);
    static V8Runtime::State& stateOf(V8Runtime& runtime) { return *runtime.state; }
    static StartupSnapshot snapshotOf(std::shared_ptr<const StartupSnapshot::Contents> contents)
    {
        return StartupSnapshot(std::move(contents));
    }
};

}  // namespace qor::format::engine::javascript

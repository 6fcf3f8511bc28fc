// Arbitrary bytes as a startup snapshot, through StartupSnapshot::fromBytes:
// whatever it is given, it returns, refusing with an Error what is not a
// snapshot of this build, and never lets V8 read bytes it has not checked
// (V8 ends the process on a snapshot it cannot read). What it accepts must
// hold together: its parts lie where the header says, its names are the
// ones the header lists, and taking its bytes again gives the same snapshot.
//
// Nothing accepted is restored. The checksum is what keeps damaged bytes
// away from V8, and bytes forged to agree with it (as modes 1 and 3 below
// make them) are past what the checks can promise: V8 reads the inside of
// its own part without checking it.
//
// The first byte chooses what the rest is:
//   0: the bytes, as they are;
//   1: the bytes, with their checksum made right, so that the checks behind
//      it are reached;
//   2: edits to a real snapshot made at start (with one host function): each
//      five bytes, a position (four bytes, modulo the size) and the byte to
//      put there; one to four bytes left over cut the snapshot short, to the
//      first of them in 256ths of its size;
//   3: as 2, with the checksum then made right.

#include "support/Check.h"

#include "snapshot/Contents.h"

#include <qor/javascript/HostFunctions.h>
#include <qor/javascript/StartupSnapshot.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace js = qor::format::engine::javascript;

// The header's fields the checks below read, by their offsets.
constexpr std::size_t kHeaderSize = 96;
constexpr std::size_t kNamesSizeOffset = 64;
constexpr std::size_t kChecksumOffset = 88;

const std::vector<std::uint8_t>& realSnapshot()
{
    static const std::vector<std::uint8_t> bytes = [] {
        js::SnapshotBuilder builder;
        FUZZ_CHECK(js::expose(builder.runtime(), "host.f", [] { return 1; }), "expose");
        {
            js::V8Runtime::Scope scope(builder.runtime());
            FUZZ_CHECK(builder.runtime().runScript({"var x = 1; const f = host.f;", "/fuzz/state.js"}), "the state");
        }
        auto snapshot = builder.build();
        FUZZ_CHECK(snapshot, snapshot ? "" : snapshot.error().message);
        return snapshot->bytes();
    }();
    return bytes;
}

void reseal(std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < kHeaderSize)
        return;
    const std::uint64_t checksum = js::snapshotChecksum(bytes.data(), bytes.size());
    std::memcpy(bytes.data() + kChecksumOffset, &checksum, sizeof checksum);
}

// What an accepted snapshot must be.
void checkAccepted(const js::StartupSnapshot& snapshot, const std::vector<std::uint8_t>& given)
{
    const std::vector<std::uint8_t>& bytes = snapshot.bytes();
    FUZZ_CHECK(bytes == given, "the bytes kept are not the bytes given");
    const js::StartupSnapshot::Contents& contents = *snapshot.contents();
    FUZZ_CHECK(contents.blobOffset % 16 == 0 && contents.blobOffset >= kHeaderSize,
               "V8's part at " + std::to_string(contents.blobOffset));
    FUZZ_CHECK(contents.blobOffset + contents.blobSize == bytes.size() && contents.blobSize >= 1024,
               "V8's part of " + std::to_string(contents.blobSize) + " bytes in " + std::to_string(bytes.size()));

    std::uint64_t namesSize;
    std::memcpy(&namesSize, bytes.data() + kNamesSizeOffset, sizeof namesSize);
    std::string names;
    for (const std::string& name : snapshot.hostFunctions())
        names.append(name).push_back('\0');
    FUZZ_CHECK(names.size() == namesSize && kHeaderSize + namesSize <= contents.blobOffset &&
                   std::memcmp(names.data(), bytes.data() + kHeaderSize, names.size()) == 0,
               "the host functions' names are not the ones the header lists");

    auto again = js::StartupSnapshot::fromBytes(bytes);
    FUZZ_CHECK(again, again ? "" : again.error().message);
    FUZZ_CHECK(again->hostFunctions() == snapshot.hostFunctions(), "taken again, other names");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int mode = data[0] % 4;
    const std::uint8_t* rest = data + 1;
    const std::size_t restSize = size - 1;

    std::vector<std::uint8_t> bytes;
    bool untouched = false;
    if (mode < 2) {
        bytes.assign(rest, rest + restSize);
    } else {
        bytes = realSnapshot();
        const std::size_t edits = restSize / 5;
        for (std::size_t at = 0; at < edits; ++at) {
            std::uint32_t position;
            std::memcpy(&position, rest + at * 5, sizeof position);
            bytes[position % bytes.size()] = rest[at * 5 + 4];
        }
        const bool cut = restSize % 5 != 0;
        if (cut)
            bytes.resize(bytes.size() * rest[edits * 5] / 256);
        untouched = edits == 0 && !cut;
    }
    if (mode % 2 == 1)
        reseal(bytes);

    auto snapshot = js::StartupSnapshot::fromBytes(bytes);
    if (untouched)
        FUZZ_CHECK(snapshot, "the real snapshot was refused: " + (snapshot ? "" : snapshot.error().message));
    if (snapshot)
        checkAccepted(*snapshot, bytes);
    else
        FUZZ_CHECK(snapshot.error().message.starts_with("not a usable startup snapshot: "), snapshot.error().message);
    return 0;
}

#include "snapshot/Contents.h"

#include "cache/Hash.h"
#include "cache/Files.h"
#include "runtime/Records.h"

#include <qor/javascript/Version.h>

#include <v8-initialization.h>
#include <v8-script.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace qor::format::engine::javascript {

namespace {

// In front of the names and V8's snapshot, as the machine lays it out: V8's
// own snapshot can only be read back on the same kind of machine anyway.
struct Header {
    char magic[8];
    char library[16];
    char v8[32];
    std::uint32_t v8Tag;
    std::uint32_t referenceCount;
    std::uint64_t namesSize;
    std::uint64_t blobOffset;
    std::uint64_t blobSize;
    std::uint64_t checksum;
};
static_assert(sizeof(Header) == 96);

constexpr char kMagic[8] = {'Q', 'J', 'S', 'S', 'N', 'A', 'P', '1'};
// V8 reads its snapshot in words: it starts at a multiple of this.
constexpr std::size_t kBlobAlignment = 16;

std::string fixed(const char* field, std::size_t size)
{
    return std::string(field, strnlen(field, size));
}

void setFixed(char* field, std::size_t size, std::string_view text)
{
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(size - 1, text.size()));
}

// V8 reads a header of its own at the start of its snapshot (its version
// among it, under a hundred bytes) without first checking that the snapshot
// is that long: it ends the process on a shorter one. A real one is hundreds
// of kilobytes; anything shorter than this is refused before V8 looks.
constexpr std::size_t kSmallestBlob = 1024;

Error refused(std::string_view why)
{
    return recordOfText("not a usable startup snapshot: " + std::string(why));
}

}  // namespace

std::uint64_t snapshotChecksum(const std::uint8_t* bytes, std::size_t size)
{
    // Every byte counts, the header's too (a flipped bit in a size or in a
    // name's padding is damage as much as one in V8's part), with the
    // checksum's own field read as zero.
    Header header;
    std::memcpy(&header, bytes, sizeof header);
    header.checksum = 0;
    return hashBytes(bytes + sizeof header, size - sizeof header, hashBytes(&header, sizeof header));
}

std::expected<StartupSnapshot, Error> StartupSnapshot::fromBytes(std::vector<std::uint8_t> bytes)
{
    Header header;
    if (bytes.size() < sizeof header)
        return std::unexpected(refused("it is too short to be one (" + std::to_string(bytes.size()) + " bytes)"));
    std::memcpy(&header, bytes.data(), sizeof header);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0)
        return std::unexpected(refused("it is not a snapshot this library made"));
    const std::string library = fixed(header.library, sizeof header.library);
    if (library != QORJAVASCRIPT_VERSION)
        return std::unexpected(refused("it was made by QorJavaScript " + library + ", this is " +
                                       QORJAVASCRIPT_VERSION + "; make it again"));
    const std::string v8Version = fixed(header.v8, sizeof header.v8);
    if (v8Version != v8::V8::GetVersion())
        return std::unexpected(refused("it was made with V8 " + v8Version + ", this is V8 " + v8::V8::GetVersion() +
                                       "; make it again"));
    if (header.referenceCount != snapshotReferenceCount())
        return std::unexpected(refused("it was made by another build of QorJavaScript; make it again"));
    const std::uint64_t size = bytes.size();
    if (header.namesSize > size - sizeof header || header.blobOffset < sizeof header + header.namesSize ||
        header.blobOffset > size || header.blobSize != size - header.blobOffset || header.blobSize == 0 ||
        header.blobOffset % kBlobAlignment != 0 || header.blobSize > 0x7fffffffu)
        return std::unexpected(refused("it is damaged: its parts do not add up to its " + std::to_string(size) +
                                       " bytes (cut short?)"));
    if (header.blobSize < kSmallestBlob)
        return std::unexpected(refused("it is damaged: V8's part is " + std::to_string(header.blobSize) +
                                       " bytes, too short to be one"));
    if (header.checksum != snapshotChecksum(bytes.data(), bytes.size()))
        return std::unexpected(refused("it is damaged: its checksum is wrong"));

    auto contents = std::make_shared<Contents>();
    const char* names = reinterpret_cast<const char*>(bytes.data() + sizeof header);
    for (std::size_t at = 0; at < header.namesSize;) {
        const std::size_t end = std::string_view(names + at, header.namesSize - at).find('\0');
        if (end == std::string_view::npos)
            return std::unexpected(refused("it is damaged: its list of host functions is cut short"));
        contents->hostFunctions.emplace_back(names + at, end);
        at += end + 1;
    }
    contents->v8Tag = header.v8Tag;
    contents->blobOffset = header.blobOffset;
    contents->blobSize = header.blobSize;
    contents->bytes = std::move(bytes);
    // V8's own check of its version, now that the bytes are known whole.
    v8::StartupData blob = snapshotBlobOf(*contents);
    if (!blob.IsValid())
        return std::unexpected(refused("V8 does not take it as its own"));
    return StartupSnapshot(std::move(contents));
}

std::expected<StartupSnapshot, Error> StartupSnapshot::readFile(const std::filesystem::path& path)
{
    errno = 0;
    auto bytes = readWholeFile(path);
    if (!bytes)
        return std::unexpected(recordOfText("cannot read the snapshot " + path.string() + ": " +
                                            (errno != 0 ? std::strerror(errno) : "a read failed")));
    auto snapshot = fromBytes(std::move(*bytes));
    if (!snapshot)
        snapshot.error().message = path.string() + " is " + snapshot.error().message;
    return snapshot;
}

const std::vector<std::uint8_t>& StartupSnapshot::bytes() const
{
    return held->bytes;
}

const std::vector<std::string>& StartupSnapshot::hostFunctions() const
{
    return held->hostFunctions;
}

std::expected<void, Error> StartupSnapshot::writeFile(const std::filesystem::path& path) const
{
    if (auto failed = writeWholeFile(path, held->bytes))
        return std::unexpected(recordOfText("cannot write the snapshot: " + *failed));
    return {};
}

v8::StartupData snapshotBlobOf(const StartupSnapshot::Contents& contents)
{
    return {reinterpret_cast<const char*>(contents.bytes.data() + contents.blobOffset),
            static_cast<int>(contents.blobSize)};
}

StartupSnapshot wrapSnapshot(const v8::StartupData& blob, const std::vector<std::string>& hostFunctions)
{
    std::string names;
    for (const std::string& name : hostFunctions)
        names.append(name).push_back('\0');
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    setFixed(header.library, sizeof header.library, QORJAVASCRIPT_VERSION);
    setFixed(header.v8, sizeof header.v8, v8::V8::GetVersion());
    header.v8Tag = v8::ScriptCompiler::CachedDataVersionTag();
    header.referenceCount = static_cast<std::uint32_t>(snapshotReferenceCount());
    header.namesSize = names.size();
    header.blobOffset = (sizeof header + names.size() + kBlobAlignment - 1) / kBlobAlignment * kBlobAlignment;
    header.blobSize = static_cast<std::uint64_t>(blob.raw_size);

    auto contents = std::make_shared<StartupSnapshot::Contents>();
    contents->bytes.assign(header.blobOffset + header.blobSize, 0);
    std::memcpy(contents->bytes.data() + sizeof header, names.data(), names.size());
    std::memcpy(contents->bytes.data() + header.blobOffset, blob.data, header.blobSize);
    std::memcpy(contents->bytes.data(), &header, sizeof header);
    header.checksum = snapshotChecksum(contents->bytes.data(), contents->bytes.size());
    std::memcpy(contents->bytes.data(), &header, sizeof header);
    contents->hostFunctions = hostFunctions;
    contents->v8Tag = header.v8Tag;
    contents->blobOffset = header.blobOffset;
    contents->blobSize = header.blobSize;
    return SnapshotAccess::snapshotOf(std::move(contents));
}

}  // namespace qor::format::engine::javascript

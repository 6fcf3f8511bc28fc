#pragma once

// Whole files for the compile cache's entries and for snapshots: read in one
// go (they are megabytes, read at every start, where a stream iterator's
// byte-at-a-time copy would cost more than V8 takes to use them), and
// written so that a reader finds the old file or the whole new one.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qor::format::engine::javascript {

inline std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path)
{
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (file == nullptr)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error)
        bytes.resize(static_cast<std::size_t>(size));
    std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    // A file that grew meanwhile is read to its end.
    for (unsigned char chunk[65536]; got == bytes.size();) {
        const std::size_t more = std::fread(chunk, 1, sizeof chunk, file);
        if (more == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + more);
        got = bytes.size();
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return std::nullopt;
    bytes.resize(got);
    return bytes;
}

// Writes `bytes` to a temporary file beside `path`, named so that no other
// writer in this process or another uses it at the same time, and renames it
// into place: the rename is the only step a reader can see. Why not, when it
// could not be written (the temporary file is then removed).
std::optional<std::string> writeWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace qor::format::engine::javascript

#include "cache/Files.h"

#include <atomic>
#include <fstream>
#include <random>
#include <system_error>

namespace qor::format::engine::javascript {

std::optional<std::string> writeWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes)
{
    // Random bits drawn for each name, and a counter. Bits drawn once per
    // process would not do: processes forked after a first write share them
    // and the counter, and would write into each other's temporary files.
    static std::atomic<std::uint64_t> counter{0};
    std::random_device device;
    const std::uint64_t bits = (std::uint64_t(device()) << 32) ^ device();
    std::filesystem::path temporary = path;
    temporary += ".writing-" + std::to_string(bits) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        file.close();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return "cannot write " + temporary.string();
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return "cannot write " + path.string() + ": " + error.message();
    }
    return std::nullopt;
}

}  // namespace qor::format::engine::javascript

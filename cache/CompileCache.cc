#include <qor/javascript/CodeCache.h>

#include "cache/Hash.h"
#include "cache/ReadFile.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <system_error>

namespace qor::format::engine::javascript {

namespace {

std::string hex(std::uint64_t value)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(16, '0');
    for (int at = 15; at >= 0; --at, value >>= 4)
        text[static_cast<std::size_t>(at)] = kDigits[value & 15];
    return text;
}

// A name no other writer uses at the same time, in this process or another:
// random bits drawn for each name, and a counter. Bits drawn once per process
// would not do: processes forked after the first write share them and the
// counter, and would write into each other's temporary files.
std::string temporaryName()
{
    static std::atomic<std::uint64_t> counter{0};
    std::random_device device;
    const std::uint64_t bits = (std::uint64_t(device()) << 32) ^ device();
    return ".writing-" + hex(bits) + "-" + std::to_string(counter.fetch_add(1)) + ".tmp";
}

}  // namespace

CompileCache::CompileCache(std::filesystem::path directory, Warn warn) : where(std::move(directory)), warn(std::move(warn))
{
    std::error_code error;
    std::filesystem::create_directories(where, error);
    if (error || !std::filesystem::is_directory(where, error))
        turnOff("cannot make the directory: " + (error ? error.message() : std::string("not a directory")));
}

void CompileCache::turnOff(const std::string& why)
{
    off.store(true);
    std::call_once(warned, [&] {
        const std::string text = "the compile cache in " + where.string() + " is off: " + why;
        if (warn)
            warn(text);
        else
            std::cerr << "warning: " << text << std::endl;
    });
}

std::filesystem::path CompileCache::entryFor(std::string_view name) const
{
    return where / (hex(hashText(name)) + ".qjscache");
}

CodeCache CompileCache::read(std::string_view name, std::string_view)
{
    if (off.load())
        return {};
    auto bytes = readWholeFile(entryFor(name));
    if (!bytes)
        return {};
    return CodeCache::fromBytes(std::move(*bytes));
}

bool CompileCache::write(std::string_view name, std::string_view, const CodeCache& cache)
{
    if (off.load() || cache.empty())
        return false;
    const std::filesystem::path entry = entryFor(name);
    const std::filesystem::path temporary = where / temporaryName();
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(cache.bytes().data()), static_cast<std::streamsize>(cache.bytes().size()));
        file.close();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            turnOff("cannot write " + temporary.string());
            return false;
        }
    }
    // The rename is the only step a reader can see: before it the entry is
    // the old one or none, after it the whole new one.
    std::error_code error;
    std::filesystem::rename(temporary, entry, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        turnOff("cannot write " + entry.string() + ": " + error.message());
        return false;
    }
    written.fetch_add(1);
    return true;
}

void CompileCache::count(CacheUse use)
{
    switch (use) {
    case CacheUse::Accepted:
        hits.fetch_add(1);
        break;
    case CacheUse::Rejected:
        rejected.fetch_add(1);
        break;
    case CacheUse::None:
        misses.fetch_add(1);
        break;
    }
}

CompileCache::Counts CompileCache::counts() const
{
    return {hits.load(), misses.load(), rejected.load(), written.load()};
}

bool CompileCache::usable() const
{
    return !off.load();
}

}  // namespace qor::format::engine::javascript

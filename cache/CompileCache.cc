#include <qor/javascript/CodeCache.h>

#include "cache/Hash.h"
#include "cache/Files.h"

#include <atomic>
#include <iostream>
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
    if (auto failed = writeWholeFile(entryFor(name), cache.bytes())) {
        turnOff(*failed);
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

// Modules from the file system: the default ModuleSource of a runtime.

#include <qor/javascript/ModuleSource.h>

#include <filesystem>
#include <fstream>
#include <system_error>

namespace qor::format::engine::javascript {

namespace {

namespace fs = std::filesystem;

bool isPathSpecifier(std::string_view specifier)
{
    return specifier.starts_with("./") || specifier.starts_with("../") || fs::path(specifier).is_absolute();
}

std::expected<std::string, std::string> resolveFile(std::string_view specifier, std::string_view referrerUrl)
{
    fs::path candidate;
    if (specifier.starts_with("file:")) {
        candidate = pathFromFileUrl(specifier);
    } else if (isPathSpecifier(specifier)) {
        // Relative to the importing file; a script without a file of its own
        // imports from the working directory. An absolute specifier stands alone.
        const fs::path referrer = pathFromFileUrl(referrerUrl);
        std::error_code noDirectory;
        const fs::path base = referrer.empty() ? fs::current_path(noDirectory) : referrer.parent_path();
        candidate = base / fs::path(specifier);
    } else {
        return std::unexpected(std::string("only paths starting with ./, ../ or / can be imported"));
    }
    if (candidate.empty())
        return std::unexpected(std::string("not a file: URL"));
    // The file a path names, symbolic links followed, so that one file is one
    // module; where it is not (yet) there, the path it would have.
    std::error_code ignored;
    const fs::path file = fs::weakly_canonical(candidate, ignored);
    return fileUrlFromPath((file.empty() ? candidate.lexically_normal() : file).string());
}

std::expected<std::string, std::string> readFile(std::string_view url)
{
    const std::string path = pathFromFileUrl(url);
    if (path.empty())
        return std::unexpected(std::string(url) + " is not a file: URL");
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        return std::unexpected(error ? path + ": " + error.message() : "cannot read " + path + ": not a regular file");
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char block[65536];
    while (in.read(block, sizeof block) || in.gcount() > 0)
        text.append(block, static_cast<std::size_t>(in.gcount()));
    // eof alone ends a good read; a stream that never opened, or failed
    // half-way, is bad or failed without having reached the end.
    if (!in.eof() || in.bad())
        return std::unexpected("cannot read " + path);
    return text;
}

}  // namespace

ModuleSource fileModules()
{
    return {resolveFile, readFile};
}

}  // namespace qor::format::engine::javascript

#include <qor/javascript/ModuleSource.h>

namespace qor::format::engine::javascript {

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to, std::size_t start = 0)
{
    for (auto at = text.find(from, start); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

// "file:///" before a Windows path (C:/...), a network share or a relative
// path; an absolute POSIX path already brings the third slash. One
// allocation: every script operation names its script with it.
std::string fileUrlFromPath(std::string_view fileName)
{
#if defined(_WIN32)
    const bool absolutePosixPath = false;
#else
    const bool absolutePosixPath = fileName.starts_with('/');
#endif
    std::string url;
    url.reserve(fileName.size() + 16);
    url = absolutePosixPath ? "file://" : "file:///";
    const std::size_t start = url.size();
    url += fileName;
    replaceAll(url, "\\", "/", start);
    replaceAll(url, " ", "%20", start);
    return url;
}

std::string pathFromFileUrl(std::string_view url)
{
    constexpr std::string_view scheme = "file://";
    if (!url.starts_with(scheme))
        return {};
    // What follows "file://" on POSIX systems is the absolute path itself;
    // on Windows the third slash only separates it from the drive.
#if defined(_WIN32)
    url.remove_prefix(scheme.size() + (url.size() > scheme.size() && url[scheme.size()] == '/' ? 1 : 0));
#else
    url.remove_prefix(scheme.size());
#endif
    std::string path(url);
    replaceAll(path, "%20", " ");
    return path;
}

}  // namespace qor::format::engine::javascript

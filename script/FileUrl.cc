#include "script/FileUrl.h"

namespace qor::format::engine::javascript {

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

// "file:///" before a Windows path (C:/...), a network share or a relative
// path; an absolute POSIX path already brings the third slash.
std::string fileUrlFromPath(std::string_view fileName)
{
    std::string path(fileName);
    replaceAll(path, "\\", "/");
    replaceAll(path, " ", "%20");
#if defined(_WIN32)
    const bool absolutePosixPath = false;
#else
    const bool absolutePosixPath = fileName.starts_with('/');
#endif
    return (absolutePosixPath ? "file://" : "file:///") + path;
}

}  // namespace qor::format::engine::javascript

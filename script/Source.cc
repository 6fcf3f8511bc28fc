#include <qor/javascript/Source.h>
#include <qor/javascript/V8Helper.h>

#include <string>

namespace qor::format::engine::javascript {

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// "file:///" before a Windows path (C:/...), a network share or a relative
// path; an absolute POSIX path already brings the third slash.
std::string fileUrl(const std::string& fileName)
{
    std::string path = fileName;
    replaceAll(path, "\\", "/");
    replaceAll(path, " ", "%20");
#if defined(_WIN32)
    const bool absolutePosixPath = false;
#else
    const bool absolutePosixPath = fileName.starts_with('/');
#endif
    return (absolutePosixPath ? "file://" : "file:///") + path;
}

}  // namespace

v8::ScriptOrigin Source::getV8Origin(v8::Isolate* isolate) const
{
    return v8::ScriptOrigin(isolate,
                            V8Helper::v8_string(fileUrl(fileName), isolate),
                            0,
                            0,
                            false,
                            -1,
                            v8::Local<v8::Value>(),
                            false,
                            false,
                            isModule,
                            v8::Local<v8::Data>());
}

}  // namespace qor::format::engine::javascript

#pragma once

#include <qor/javascript/Export.h>

#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace qor::format::engine::javascript {

// Where a V8Runtime's ES modules come from: a host's own resolution and
// storage (memory, an archive, a database), or the file system
// (fileModules). The runtime keeps each module it compiled by its URL and
// type, so `load` is asked once per module however often it is imported;
// cycles and shared imports get one module each.
//
// Both functions run on the runtime's thread, while JavaScript waits for
// them. A failure is the text an import then fails with (after "cannot
// import '<specifier>' from <importer>: "); a C++ exception thrown by either
// is taken as a failure with its what() text and never reaches V8.
struct ModuleSource {
    // The URL that `specifier` names when the module or script known by
    // `referrerUrl` imports it: the identity of the module (two specifiers
    // that resolve to one URL import one module). Also answers
    // import.meta.resolve, so it needs no file to exist.
    std::function<std::expected<std::string, std::string>(std::string_view specifier, std::string_view referrerUrl)>
        resolve;

    // The text of the module at `url`: JavaScript, or JSON when the import
    // asserted { type: "json" }.
    std::function<std::expected<std::string, std::string>(std::string_view url)> load;
};

// Modules from the file system, by the rules of the qorjs runner: specifiers
// that start with "./", "../" or "/" (or a file: URL) name a path, resolved
// against the importing file's directory; symbolic links are followed, so a
// file reached by two paths is one module. Bare names ("lodash") are refused:
// there is no package lookup. A failure names the path and the reason
// ("/app/x.mjs: No such file or directory").
QORJS_API ModuleSource fileModules();

// The file: URL V8 and debuggers know a script by: backslashes become "/",
// blanks "%20", nothing else is escaped, and "file:///" goes in front
// ("file://" before an absolute POSIX path, which brings its own slash). The
// name Source::getV8Origin gives a script.
QORJS_API std::string fileUrlFromPath(std::string_view path);

// The path of a file: URL made by fileUrlFromPath ("%20" back to blanks), or
// "" for a URL of another scheme. On Windows, "file:///C:/x" gives "C:/x".
QORJS_API std::string pathFromFileUrl(std::string_view url);

}  // namespace qor::format::engine::javascript

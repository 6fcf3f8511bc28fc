#pragma once

#include <qor/javascript/Export.h>

#include <v8-isolate.h>
#include <v8-message.h>

#include <string>
#include <string_view>

namespace qor::format::engine::javascript {

// A script handed to the library: its UTF-8 text, the path of the file it is
// known by, and whether it is an ECMAScript module.
struct Source {
    // The script text. Not owned: it must stay alive while an operation that
    // takes this Source runs; operations copy it and keep no reference.
    std::string_view code;

    // The script's path as the host knows it (Windows or POSIX form, may be
    // empty). Only used to name the script; the library never opens it.
    std::string fileName;

    // True for an ECMAScript module (compiled with the module operations).
    bool isModule = false;

    // The origin under which V8 compiles this source. Its resource name is a
    // file: URL made from `fileName`: backslashes become "/", blanks "%20",
    // and "file:///" goes in front ("file://" before an absolute POSIX path,
    // so that /tmp/a.js names file:///tmp/a.js). Line and column offsets are
    // 0 and the module flag follows `isModule`. The caller holds a
    // v8::HandleScope on `isolate`: the name is a new string in it.
    QORJS_API v8::ScriptOrigin getV8Origin(v8::Isolate* isolate) const;
};

}  // namespace qor::format::engine::javascript

#pragma once

#include <qor/javascript/Error.h>
#include <qor/javascript/Source.h>

#include <v8-exception.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>

#include <expected>

namespace qor::format::engine::javascript {

// How a caught exception becomes a record: V8Error's, or one that adds to it.
using RecordBuilder = Error (*)(Error::Type type, v8::Isolate* isolate, const v8::TryCatch& tryCatch);

class CompileCache;

// V8Engine::runJavaScriptSource, with the records of what the script raised
// made by `record`. With a `cache`, a script named by a file is compiled from
// its entry there, and one that missed is stored once it has run (with the
// functions compiled while it ran). `eager` compiles every function of the
// script at once, for a snapshot that is to hold their code.
std::expected<v8::Local<v8::Value>, Error> runClassicScript(v8::Isolate* isolate,
                                                            const Source& source,
                                                            RecordBuilder record,
                                                            CompileCache* cache = nullptr,
                                                            bool eager = false);

}  // namespace qor::format::engine::javascript

#pragma once

// The runtime's Error records: V8Error's, with the URL of the script V8
// places the failure in carried in `detail`.

#include <qor/javascript/Error.h>

#include <v8-exception.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// The exception `tryCatch` holds, read with the current context.
Error recordOf(Error::Type type, v8::Isolate* isolate, const v8::TryCatch& tryCatch);

// A value that failed without passing through a v8::TryCatch (the reason of
// a rejected promise), as if it had been thrown: an error object keeps the
// position where it was made.
Error recordOfValue(v8::Isolate* isolate, v8::Local<v8::Value> value);

// A failure that is not a JavaScript exception: type Other, `text` as its
// message.
Error recordOfText(std::string_view text);

// A stop by a limit or the host: type Runtime, the limit's words.
Error recordOfStop(std::string_view text);

// The library callbacks behind the records, which a startup snapshot must know.
void addRecordReferences(std::vector<std::intptr_t>& table);

}  // namespace qor::format::engine::javascript

#pragma once

#include <qor/javascript/Error.h>
#include <qor/javascript/Source.h>

#include <v8-exception.h>
#include <v8-isolate.h>

#include <string>
#include <string_view>

namespace qorjs {

// The name V8 gives `source` in messages and stack traces: its file: URL.
std::string scriptUrl(v8::Isolate* isolate, const qor::format::engine::javascript::Source& source);

// An Error as a developer expects to read it:
//
//   file:///path/app.js:3:7: Uncaught Error: boom
//   let x = fail();
//           ^^^^^^
//       at fail (file:///path/app.js:1:23)
//
// `url` names the script; the column is counted from 1. The caret line is
// left out when the record has no position, the stack when it repeats the
// message only.
std::string renderError(std::string_view url, const qor::format::engine::javascript::Error& error);

// The exception `tryCatch` holds, rendered as above under the URL of the
// script where V8 places it (`fallbackUrl` when V8 names none).
std::string renderCaught(v8::Isolate* isolate,
                         const v8::TryCatch& tryCatch,
                         qor::format::engine::javascript::Error::Type type,
                         std::string_view fallbackUrl);

// A value that failed without passing through a v8::TryCatch (the reason of
// a rejected promise), rendered like a caught exception. An error object
// keeps the position where it was created.
std::string renderRejection(v8::Isolate* isolate, v8::Local<v8::Value> reason, std::string_view fallbackUrl);

}  // namespace qorjs

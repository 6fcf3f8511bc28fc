#pragma once

#include <qor/javascript/Error.h>

#include <string>
#include <string_view>

namespace qorjs {

// An Error as a developer expects to read it:
//
//   file:///path/app.js:3:7: Uncaught Error: boom
//   let x = fail();
//           ^^^^^^
//       at fail (file:///path/app.js:1:23)
//
// under the URL of the script it happened in (the record's `detail`, else
// `url`); the column is counted from 1. The caret line is left out when the
// record has no position, the stack when it repeats the message only. What is
// no JavaScript exception (a module that cannot be loaded, a promise nothing
// can settle) is one line: "qorjs: " and the message.
std::string renderError(std::string_view url, const qor::format::engine::javascript::Error& error);

}  // namespace qorjs

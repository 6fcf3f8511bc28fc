#pragma once

#include <v8-context.h>
#include <v8-data.h>

#include <filesystem>
#include <optional>
#include <string>

namespace qorjs {

// Only file paths can be imported: "./" and "../" against the importing
// file, or an absolute path. Bare names ("lodash") would need a package
// lookup that qorjs does not have.
bool isFileSpecifier(const std::string& specifier);

// What a failed resolution of a bare name says.
inline constexpr const char* kFileSpecifiersOnly = "only paths starting with ./, ../ or / can be imported";

// The path `specifier` names from the directory of `importer`, not yet
// checked against the file system. An absolute specifier stands alone.
std::filesystem::path candidateFile(const std::string& specifier, const std::string& importer);

// The value of the "type" assertion, if there is one. V8 hands assertions
// over as a flat array of `stride` entries each, the key first and the
// value next: 3 for static imports (the source position follows), 2 for
// import().
std::optional<std::string> assertedType(v8::Local<v8::Context> context,
                                        v8::Local<v8::FixedArray> assertions,
                                        int stride);

}  // namespace qorjs

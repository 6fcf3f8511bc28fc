#pragma once

#include <qor/javascript/Export.h>

#include <v8-inspector.h>
#include <v8-isolate.h>
#include <v8-local-handle.h>
#include <v8-object.h>
#include <v8-primitive.h>

#include <string>
#include <string_view>

// Conversions between the host's UTF-8 text and V8's strings, values, JSON
// and inspector string views.
//
// All but v8_inspectorStringView run on the isolate's thread with the isolate
// entered; the ones that read the current context need one entered. None opens
// a handle scope or a v8::TryCatch: returned handles live in the caller's
// scope, and an exception V8 raises stays for the caller's own v8::TryCatch.
// No input aborts the process: a value that cannot be converted gives "" and
// a text V8 cannot hold gives an empty handle.
namespace qor::format::engine::javascript::V8Helper {

// The value's JavaScript string form (its toString for objects), in UTF-8.
// "" for an empty handle and for a value whose conversion fails (a Symbol,
// a throwing toString). The whole text is kept, U+0000 included.
QORJS_API std::string qor_string(const v8::Local<v8::Value>& value, v8::Isolate* isolate);

// The UTF-8 text of `value`, whole; "" when V8 could not render it.
QORJS_API std::string qor_string(const v8::String::Utf8Value& value);

// The inspector view's text in UTF-8. 8-bit views are Latin-1 (one byte per
// character), 16-bit views UTF-16. "" for a view too long for V8.
QORJS_API std::string qor_string(v8_inspector::StringView view, v8::Isolate* isolate);

// The string form of the member `name` of `object`, read with the current
// context: a string member as its text, a missing one as "undefined", a
// number in JavaScript's format. "" when the read or the conversion throws.
QORJS_API std::string getPropertyFromJson(v8::Isolate* isolate,
                                          const v8::Local<v8::Object>& object,
                                          const std::string& name);

// The whole of `json` parsed as JSON (an embedded zero byte makes it invalid).
// Objects and arrays come back as they are, other values in their object
// form. An empty handle for text that is not JSON (V8's SyntaxError stays
// pending) and for "null".
QORJS_API v8::Local<v8::Object> parseJson(const v8::Local<v8::Context>& context, const std::string& json);

// An 8-bit inspector view over the same bytes; nothing is copied, so the
// view lives only as long as `text`'s bytes.
QORJS_API v8_inspector::StringView v8_inspectorStringView(std::string_view text);

// A new (not internalized) V8 string holding all of `text`, zero bytes
// included. An empty handle when the text is longer than V8's maximum string
// length.
QORJS_API v8::Local<v8::String> v8_string(std::string_view text, v8::Isolate* isolate);

}  // namespace qor::format::engine::javascript::V8Helper

#pragma once

// Compiling with a code cache, for the library's own compile paths (the
// runtime's scripts and modules) and the public compileScript and
// compileModule. The caller holds the TryCatch and makes the records.

#include <qor/javascript/CodeCache.h>

#include <v8-message.h>
#include <v8-script.h>

namespace qor::format::engine::javascript {

struct ScriptCompiling {
    v8::MaybeLocal<v8::Script> script;
    CacheUse cache = CacheUse::None;
};

struct ModuleCompiling {
    v8::MaybeLocal<v8::Module> module;
    CacheUse cache = CacheUse::None;
};

// `code` is the text `text` as a V8 string. An empty `cache` compiles as
// V8's plain compile does, or, with `eager`, every function at once.
ScriptCompiling compileScriptWith(v8::Local<v8::Context> context,
                                  v8::Local<v8::String> code,
                                  const v8::ScriptOrigin& origin,
                                  std::string_view text,
                                  const CodeCache& cache,
                                  bool eager = false);
ModuleCompiling compileModuleWith(v8::Isolate* isolate,
                                  v8::Local<v8::String> code,
                                  const v8::ScriptOrigin& origin,
                                  std::string_view text,
                                  const CodeCache& cache);

}  // namespace qor::format::engine::javascript

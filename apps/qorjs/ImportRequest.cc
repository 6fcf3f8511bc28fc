#include "ImportRequest.h"

#include <qor/javascript/V8Helper.h>

#include <v8-primitive.h>

namespace qorjs {

bool isFileSpecifier(const std::string& specifier)
{
    return specifier.starts_with("./") || specifier.starts_with("../") ||
           std::filesystem::path(specifier).is_absolute();
}

std::filesystem::path candidateFile(const std::string& specifier, const std::string& importer)
{
    // An absolute specifier replaces the directory in the join.
    return std::filesystem::path(importer).parent_path() / specifier;
}

std::optional<std::string> assertedType(v8::Local<v8::Context> context,
                                        v8::Local<v8::FixedArray> assertions,
                                        int stride)
{
    if (assertions.IsEmpty())
        return std::nullopt;
    v8::Isolate* isolate = context->GetIsolate();
    for (int at = 0; at + 1 < assertions->Length(); at += stride) {
        v8::Local<v8::Data> key = assertions->Get(context, at);
        v8::Local<v8::Data> value = assertions->Get(context, at + 1);
        if (!key->IsValue() || !value->IsValue())
            continue;
        if (qor::format::engine::javascript::V8Helper::qor_string(key.As<v8::Value>(), isolate) == "type")
            return qor::format::engine::javascript::V8Helper::qor_string(value.As<v8::Value>(), isolate);
    }
    return std::nullopt;
}

}  // namespace qorjs

#include <qor/javascript/V8Helper.h>

#include <v8-context.h>
#include <v8-json.h>

#include <limits>

namespace qor::format::engine::javascript::V8Helper {

namespace {

// V8 takes lengths as int and refuses strings above String::kMaxLength;
// such a text gets an empty handle instead of reaching V8.
bool fitsInV8String(std::size_t length)
{
    return length <= static_cast<std::size_t>(v8::String::kMaxLength);
}

}  // namespace

std::string qor_string(const v8::String::Utf8Value& value)
{
    if (*value == nullptr)
        return {};
    return std::string(*value, static_cast<std::size_t>(value.length()));
}

std::string qor_string(const v8::Local<v8::Value>& value, v8::Isolate* isolate)
{
    if (value.IsEmpty())
        return {};
    v8::Local<v8::String> text;
    if (!value->ToString(isolate->GetCurrentContext()).ToLocal(&text))
        return {};
    return qor_string(v8::String::Utf8Value(isolate, text));
}

std::string qor_string(v8_inspector::StringView view, v8::Isolate* isolate)
{
    if (!fitsInV8String(view.length()))
        return {};
    const int length = static_cast<int>(view.length());
    v8::MaybeLocal<v8::String> made =
        view.is8Bit()
            ? v8::String::NewFromOneByte(isolate, view.characters8(), v8::NewStringType::kNormal, length)
            : v8::String::NewFromTwoByte(isolate, view.characters16(), v8::NewStringType::kNormal, length);
    v8::Local<v8::String> text;
    if (!made.ToLocal(&text))
        return {};
    return qor_string(v8::String::Utf8Value(isolate, text));
}

std::string getPropertyFromJson(v8::Isolate* isolate, const v8::Local<v8::Object>& object, const std::string& name)
{
    if (object.IsEmpty())
        return {};
    v8::Local<v8::String> key = v8_string(name, isolate);
    v8::Local<v8::Value> member;
    if (key.IsEmpty() || !object->Get(isolate->GetCurrentContext(), key).ToLocal(&member))
        return {};
    return qor_string(v8::String::Utf8Value(isolate, member));
}

v8::Local<v8::Object> parseJson(const v8::Local<v8::Context>& context, const std::string& json)
{
    if (context.IsEmpty())
        return {};
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::String> text = v8_string(json, isolate);
    v8::Local<v8::Value> parsed;
    if (text.IsEmpty() || !v8::JSON::Parse(context, text).ToLocal(&parsed))
        return {};
    // "null" parses but has no object form; ToObject would throw for it.
    if (parsed->IsNullOrUndefined())
        return {};
    v8::Local<v8::Object> object;
    if (!parsed->ToObject(context).ToLocal(&object))
        return {};
    return object;
}

v8_inspector::StringView v8_inspectorStringView(std::string_view text)
{
    return v8_inspector::StringView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

v8::Local<v8::String> v8_string(std::string_view text, v8::Isolate* isolate)
{
    if (!fitsInV8String(text.size()))
        return {};
    v8::Local<v8::String> result;
    if (!v8::String::NewFromUtf8(isolate, text.data(), v8::NewStringType::kNormal, static_cast<int>(text.size()))
             .ToLocal(&result))
        return {};
    return result;
}

}  // namespace qor::format::engine::javascript::V8Helper

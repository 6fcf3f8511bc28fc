#pragma once

// Data of any shape as nlohmann::json, both ways. Include it where wanted:
// the library itself does not depend on the JSON library.

#include <qor/javascript/Conversions.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
#include <vector>

namespace qor::format::engine::javascript {

namespace conversion {

// Deeper data is refused rather than walked: the walk must not run out of
// stack.
constexpr std::size_t kDeepestJson = 1000;

inline std::expected<nlohmann::json, std::string> jsonFromObject(v8::Local<v8::Context> context,
                                                                 v8::Local<v8::Object> object,
                                                                 std::vector<v8::Local<v8::Object>>& ancestors);

// `ancestors`: the objects being walked, to tell a cycle.
inline std::expected<nlohmann::json, std::string> jsonFromValue(v8::Local<v8::Context> context,
                                                                v8::Local<v8::Value> value,
                                                                std::vector<v8::Local<v8::Object>>& ancestors)
{
    if (value->IsNullOrUndefined())
        return nullptr;
    if (value->IsBoolean())
        return value->IsTrue();
    if (value->IsString())
        return utf8(context->GetIsolate(), value.As<v8::String>());
    if (value->IsNumber()) {
        const double number = value.As<v8::Number>()->Value();
        if (!std::isfinite(number))
            return std::unexpected(refusal("JSON data (a finite number)", value));
        // Integral values stay integers, as JSON text shows them (below 2^63
        // every integral double converts exactly).
        if (number == std::trunc(number) && std::fabs(number) < 9223372036854775808.0)
            return static_cast<std::int64_t>(number);
        return number;
    }
    if (!value->IsObject() || value->IsFunction())
        return std::unexpected(refusal("JSON data", value));
    for (v8::Local<v8::Object> ancestor : ancestors) {
        if (ancestor == value)
            return std::unexpected(std::string("expected JSON data, got a cycle (an object inside itself)"));
    }
    if (ancestors.size() >= kDeepestJson)
        return std::unexpected("expected JSON data nested at most " + std::to_string(kDeepestJson) +
                               " deep, got deeper");
    ancestors.push_back(value.As<v8::Object>());
    auto result = jsonFromObject(context, value.As<v8::Object>(), ancestors);
    ancestors.pop_back();
    return result;
}

inline std::expected<nlohmann::json, std::string> jsonFromObject(v8::Local<v8::Context> context,
                                                                 v8::Local<v8::Object> object,
                                                                 std::vector<v8::Local<v8::Object>>& ancestors)
{
    if (object->IsArray()) {
        v8::Local<v8::Array> array = object.As<v8::Array>();
        if (array->Length() > kLongestArray)
            return std::unexpected(tooLong(array->Length()));
        nlohmann::json result = nlohmann::json::array();
        for (std::uint32_t i = 0; i < array->Length(); ++i) {
            v8::Local<v8::Value> element;
            if (!array->Get(context, i).ToLocal(&element))
                return std::unexpected(std::string());
            auto converted = jsonFromValue(context, element, ancestors);
            if (!converted)
                return std::unexpected(inside("[" + std::to_string(i) + "]", std::move(converted.error())));
            result.push_back(std::move(*converted));
        }
        return result;
    }
    auto keys = ownKeys(context, object);
    if (!keys)
        return std::unexpected(std::move(keys.error()));
    nlohmann::json result = nlohmann::json::object();
    for (std::uint32_t i = 0; i < (*keys)->Length(); ++i) {
        v8::Local<v8::Value> key;
        v8::Local<v8::Value> element;
        if (!(*keys)->Get(context, i).ToLocal(&key) || !object->Get(context, key).ToLocal(&element))
            return std::unexpected(std::string());
        // As JSON.stringify: a property whose value is undefined is left out.
        if (element->IsUndefined())
            continue;
        std::string name = utf8(context->GetIsolate(), key.As<v8::String>());
        auto converted = jsonFromValue(context, element, ancestors);
        if (!converted)
            return std::unexpected(inside(keyPlace(name), std::move(converted.error())));
        result[std::move(name)] = std::move(*converted);
    }
    return result;
}

inline std::expected<v8::Local<v8::Value>, std::string> valueFromJson(v8::Local<v8::Context> context,
                                                                     const nlohmann::json& data,
                                                                     std::size_t depth)
{
    v8::Isolate* isolate = context->GetIsolate();
    switch (data.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
        return v8::Local<v8::Value>(v8::Null(isolate));
    case nlohmann::json::value_t::boolean:
        return v8::Local<v8::Value>(v8::Boolean::New(isolate, data.get<bool>()));
    // Numbers, as JSON.parse reads them: past 2^53 the nearest double.
    case nlohmann::json::value_t::number_integer:
        return v8::Local<v8::Value>(v8::Number::New(isolate, static_cast<double>(data.get<std::int64_t>())));
    case nlohmann::json::value_t::number_unsigned:
        return v8::Local<v8::Value>(v8::Number::New(isolate, static_cast<double>(data.get<std::uint64_t>())));
    case nlohmann::json::value_t::number_float:
        return v8::Local<v8::Value>(v8::Number::New(isolate, data.get<double>()));
    case nlohmann::json::value_t::string:
        return string(isolate, data.get_ref<const std::string&>());
    case nlohmann::json::value_t::binary:
        return std::unexpected(std::string("JSON binary data has no JavaScript form"));
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object:
        break;
    }
    if (depth >= kDeepestJson)
        return std::unexpected("JSON data nested deeper than " + std::to_string(kDeepestJson));
    if (data.is_array()) {
        std::vector<v8::Local<v8::Value>> elements;
        elements.reserve(data.size());
        for (std::size_t i = 0; i < data.size(); ++i) {
            auto converted = valueFromJson(context, data[i], depth + 1);
            if (!converted)
                return std::unexpected(inside("[" + std::to_string(i) + "]", std::move(converted.error())));
            elements.push_back(*converted);
        }
        return v8::Local<v8::Value>(v8::Array::New(isolate, elements.data(), elements.size()));
    }
    v8::Local<v8::Object> object = v8::Object::New(isolate);
    for (const auto& [name, element] : data.items()) {
        auto key = string(isolate, name);
        if (!key)
            return std::unexpected(std::move(key.error()));
        auto converted = valueFromJson(context, element, depth + 1);
        if (!converted)
            return std::unexpected(inside(keyPlace(name), std::move(converted.error())));
        if (object->CreateDataProperty(context, key->As<v8::String>(), *converted).IsNothing())
            return std::unexpected(std::string());
    }
    return v8::Local<v8::Value>(object);
}

}  // namespace conversion

// JSON data both ways: null (and undefined), booleans, finite numbers
// (integral ones as integers; integers back as Numbers), strings, arrays, and objects by
// their own enumerable string keys. Functions, symbols, BigInts, NaN and the
// infinities are refused, and so are cycles, data nested over 1000 deep and
// arrays longer than kLongestArray.
template <>
struct Conversion<nlohmann::json> {
    using Held = nlohmann::json;
    static std::expected<nlohmann::json, std::string> fromValue(v8::Local<v8::Context> context,
                                                                v8::Local<v8::Value> value)
    {
        std::vector<v8::Local<v8::Object>> ancestors;
        return conversion::jsonFromValue(context, value, ancestors);
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const nlohmann::json& data)
    {
        return conversion::valueFromJson(context, data, 0);
    }
};

}  // namespace qor::format::engine::javascript

#include "runtime/OwnProperties.h"

#include <qor/javascript/V8Helper.h>

#include <v8-container.h>
#include <v8-proxy.h>

namespace qor::format::engine::javascript {

namespace {

// Prototype chains and nests of proxies end, but one made very long by a
// script is not followed further than this.
constexpr int kLongestWalk = 10000;

v8::Local<v8::String> name(v8::Isolate* isolate, std::string_view text)
{
    return v8::String::NewFromUtf8(
               isolate, text.data(), v8::NewStringType::kInternalized, static_cast<int>(text.size()))
        .FromMaybe(v8::Local<v8::String>());
}

// A member of a descriptor object. V8 has just made the descriptor, but a
// member it lacks would be looked up on Object.prototype, where a script may
// have put a getter: only its own members are read.
v8::Local<v8::Value> descriptorMember(v8::Local<v8::Context> context,
                                      v8::Local<v8::Object> descriptor,
                                      std::string_view member)
{
    v8::Local<v8::String> key = name(context->GetIsolate(), member);
    if (key.IsEmpty() || !descriptor->HasOwnProperty(context, key).FromMaybe(false))
        return {};
    return descriptor->Get(context, key).FromMaybe(v8::Local<v8::Value>());
}

}  // namespace

v8::Local<v8::Object> throughProxies(v8::Local<v8::Object> object)
{
    for (int step = 0; step < kLongestWalk; ++step) {
        if (object.IsEmpty() || !object->IsProxy())
            return object;
        v8::Local<v8::Value> target = object.As<v8::Proxy>()->GetTarget();
        object = target->IsObject() ? target.As<v8::Object>() : v8::Local<v8::Object>();
    }
    return {};
}

std::optional<OwnProperty> ownProperty(v8::Local<v8::Context> context,
                                       v8::Local<v8::Object> object,
                                       v8::Local<v8::Name> key)
{
    v8::Isolate* isolate = context->GetIsolate();
    Contained contained(isolate);
    v8::Local<v8::Value> found;
    if (!object->GetOwnPropertyDescriptor(context, key).ToLocal(&found) || !found->IsObject())
        return std::nullopt;
    v8::Local<v8::Object> descriptor = found.As<v8::Object>();

    OwnProperty property;
    property.key = key;
    v8::Local<v8::Value> get = descriptorMember(context, descriptor, "get");
    v8::Local<v8::Value> set = descriptorMember(context, descriptor, "set");
    if (!get.IsEmpty() || !set.IsEmpty()) {
        property.getter = !get.IsEmpty() && !get->IsUndefined();
        property.setter = !set.IsEmpty() && !set->IsUndefined();
    } else {
        property.value = descriptorMember(context, descriptor, "value");
        if (property.value.IsEmpty())
            property.value = v8::Undefined(isolate);
    }
    v8::Local<v8::Value> enumerable = descriptorMember(context, descriptor, "enumerable");
    property.enumerable = !enumerable.IsEmpty() && enumerable->BooleanValue(isolate);
    if (contained.threw())
        return std::nullopt;
    return property;
}

v8::Local<v8::Value> ownDataValue(v8::Local<v8::Context> context, v8::Local<v8::Object> object, v8::Local<v8::Name> key)
{
    std::optional<OwnProperty> property = ownProperty(context, object, key);
    return property ? property->value : v8::Local<v8::Value>();
}

v8::Local<v8::Value> ownDataValue(v8::Local<v8::Context> context, v8::Local<v8::Object> object, std::string_view key)
{
    v8::Local<v8::String> string = name(context->GetIsolate(), key);
    return string.IsEmpty() ? v8::Local<v8::Value>() : ownDataValue(context, object, string);
}

std::vector<v8::Local<v8::Name>> ownKeys(v8::Local<v8::Context> context,
                                         v8::Local<v8::Object> object,
                                         bool hidden,
                                         bool skipIndices)
{
    Contained contained(context->GetIsolate());
    v8::Local<v8::Array> names;
    if (!object->GetPropertyNames(context,
                                  v8::KeyCollectionMode::kOwnOnly,
                                  hidden ? v8::ALL_PROPERTIES : v8::ONLY_ENUMERABLE,
                                  skipIndices ? v8::IndexFilter::kSkipIndices : v8::IndexFilter::kIncludeIndices,
                                  v8::KeyConversionMode::kConvertToString)
             .ToLocal(&names))
        return {};
    std::vector<v8::Local<v8::Name>> keys;
    keys.reserve(names->Length());
    for (std::uint32_t i = 0; i < names->Length(); ++i) {
        v8::Local<v8::Value> key;
        if (names->Get(context, i).ToLocal(&key) && key->IsName())
            keys.push_back(key.As<v8::Name>());
    }
    return keys;
}

v8::Local<v8::Value> inheritedDataValue(v8::Local<v8::Context> context,
                                        v8::Local<v8::Object> object,
                                        v8::Local<v8::Name> key)
{
    for (int step = 0; step < kLongestWalk && !object.IsEmpty(); ++step) {
        if (std::optional<OwnProperty> property = ownProperty(context, object, key))
            return property->value;
        v8::Local<v8::Value> prototype = object->GetPrototype();
        object = prototype->IsObject() ? throughProxies(prototype.As<v8::Object>()) : v8::Local<v8::Object>();
    }
    return {};
}

std::string functionName(v8::Local<v8::Context> context, v8::Local<v8::Function> function)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::Local<v8::Value> name = ownDataValue(context, function, "name");
    if (name.IsEmpty() || !name->IsString())
        name = function->GetName();
    return name->IsString() ? V8Helper::qor_string(v8::String::Utf8Value(isolate, name)) : std::string();
}

std::string constructorName(v8::Local<v8::Context> context, v8::Local<v8::Object> object)
{
    v8::Local<v8::String> key = name(context->GetIsolate(), "constructor");
    for (int step = 0; step < kLongestWalk && !object.IsEmpty(); ++step) {
        v8::Local<v8::Value> prototype = object->GetPrototype();
        object = prototype->IsObject() ? throughProxies(prototype.As<v8::Object>()) : v8::Local<v8::Object>();
        if (object.IsEmpty())
            break;
        v8::Local<v8::Value> constructor = ownDataValue(context, object, key);
        if (!constructor.IsEmpty() && constructor->IsFunction()) {
            std::string found = functionName(context, constructor.As<v8::Function>());
            if (!found.empty())
                return found;
        }
    }
    return {};
}

}  // namespace qor::format::engine::javascript

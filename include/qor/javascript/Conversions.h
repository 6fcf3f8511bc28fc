#pragma once

// How C++ values cross to JavaScript and back: Conversion<T> for the types
// the library knows, checked both ways. A host adds a type of its own by
// specialising Conversion for it, with the same three members.

#include <qor/javascript/Export.h>

#include <v8-container.h>
#include <v8-context.h>
#include <v8-function.h>
#include <v8-local-handle.h>
#include <v8-object.h>
#include <v8-primitive.h>
#include <v8-typed-array.h>
#include <v8-promise.h>

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <expected>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qor::format::engine::javascript {

// Conversion<T> has:
//   using Held = ...;   what fromValue makes (T itself, or what owns a view's
//                       bytes: std::string for std::string_view)
//   static std::expected<Held, std::string> fromValue(v8::Local<v8::Context>, v8::Local<v8::Value>);
//   static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context>, const T&);
// A refusal's text says what was expected and what came ("expected an
// integer, got 1.5"); an empty text means the value's own code (a getter,
// a proxy trap) threw, and its exception is pending.
template <class T>
struct Conversion;

// True for the types with a Conversion.
template <class T>
concept Convertible = requires { typename Conversion<std::remove_cvref_t<T>>::Held; };

// True for the types whose conversion from JavaScript reads the value alone:
// no context needed, and no script of the value's own can run.
template <class T>
constexpr bool kPlainConversion =
    std::is_arithmetic_v<T> || requires { typename Conversion<T>::Plain; };

namespace conversion {

// `value` named briefly for a refusal: "1.5", "'text'", "undefined", "an
// object", "an array", "a function". Runs none of the value's own code.
QORJS_API std::string describe(v8::Local<v8::Value> value);

// "expected <what>, got <describe(value)>".
QORJS_API std::string refusal(std::string_view what, v8::Local<v8::Value> value);

// A string's UTF-8 bytes, U+0000 kept; a lone surrogate becomes U+FFFD.
QORJS_API std::string utf8(v8::Isolate* isolate, v8::Local<v8::String> text);

// `bytes` as a JavaScript string; a refusal when longer than V8 allows.
QORJS_API std::expected<v8::Local<v8::Value>, std::string> string(v8::Isolate* isolate, std::string_view bytes);

// The integer in `value` when it is a Number with no fraction within
// [lowest, highest] or, for 64-bit types, a BigInt within them; refused
// otherwise. Signed and unsigned apart, so that both ends stay exact.
QORJS_API std::expected<std::int64_t, std::string> signedInteger(v8::Local<v8::Value> value,
                                                                 std::int64_t lowest,
                                                                 std::int64_t highest,
                                                                 bool bigIntToo);
QORJS_API std::expected<std::uint64_t, std::string> unsignedInteger(v8::Local<v8::Value> value,
                                                                    std::uint64_t highest,
                                                                    bool bigIntToo);

// An integer as a Number when it is exact as one (within 2^53), else as a
// BigInt.
QORJS_API v8::Local<v8::Value> signedValue(v8::Isolate* isolate, std::int64_t number);
QORJS_API v8::Local<v8::Value> unsignedValue(v8::Isolate* isolate, std::uint64_t number);

// The own enumerable string keys of `object`, as strings; empty when
// reading them threw (the exception pending).
QORJS_API std::expected<v8::Local<v8::Array>, std::string> ownKeys(v8::Local<v8::Context> context,
                                                                   v8::Local<v8::Object> object);

// A refusal inside a container, placed: "[3]: expected ...", "key: expected
// ...", "key[3].name: expected ...". An empty text stays empty. `place` is
// an index's "[3]" or keyPlace()'s.
QORJS_API std::string inside(std::string_view place, std::string text);

// A key as a refusal's place: itself when it is a plain name
// ([A-Za-z_$][A-Za-z0-9_$]*), else quoted in brackets (["a b"], [""]), so
// that a path reads one way only.
QORJS_API std::string keyPlace(std::string_view key);

// Longer arrays are refused: walking one element by element is C++ work
// that no limit of the runtime's can stop, and a script names any length
// (new Array(2 ** 32 - 1) takes no memory of its own).
constexpr std::uint32_t kLongestArray = 1u << 24;

// "expected an array of at most 16777216 elements, got one of `length`".
QORJS_API std::string tooLong(std::uint32_t length);

// True for the types whose Conversion handles it.
template <class T>
concept Integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char> &&
                  !std::same_as<T, char8_t> && !std::same_as<T, char16_t> && !std::same_as<T, char32_t> &&
                  !std::same_as<T, wchar_t>;

}  // namespace conversion

// ---- Scalars --------------------------------------------------------------

// true and false only: no truthiness.
template <>
struct Conversion<bool> {
    using Held = bool;
    static std::expected<bool, std::string> fromValue(v8::Local<v8::Context>, v8::Local<v8::Value> value)
    {
        if (value->IsBoolean())
            return value->IsTrue();
        return std::unexpected(conversion::refusal("a boolean", value));
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context, bool value)
    {
        return v8::Boolean::New(context->GetIsolate(), value);
    }
};

// Any integer type: a Number with a fraction, or outside the type's range,
// is refused rather than cut. 64-bit types also take a BigInt, and give one
// back beyond 2^53, where a Number would no longer be exact.
template <conversion::Integer T>
struct Conversion<T> {
    using Held = T;
    static std::expected<T, std::string> fromValue(v8::Local<v8::Context>, v8::Local<v8::Value> value)
    {
        if constexpr (sizeof(T) <= 4) {
            // The common case, a small integer, needs no range arithmetic.
            if (value->IsInt32()) {
                const std::int32_t number = value.As<v8::Int32>()->Value();
                if (std::in_range<T>(number))
                    return static_cast<T>(number);
            }
        }
        constexpr bool wide = sizeof(T) == 8;
        if constexpr (std::is_signed_v<T>) {
            auto number = conversion::signedInteger(value, std::numeric_limits<T>::lowest(),
                                                    std::numeric_limits<T>::max(), wide);
            if (!number)
                return std::unexpected(std::move(number.error()));
            return static_cast<T>(*number);
        } else {
            auto number = conversion::unsignedInteger(value, std::numeric_limits<T>::max(), wide);
            if (!number)
                return std::unexpected(std::move(number.error()));
            return static_cast<T>(*number);
        }
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context, T value)
    {
        v8::Isolate* isolate = context->GetIsolate();
        if constexpr (std::is_signed_v<T>) {
            if (std::in_range<std::int32_t>(value))
                return v8::Integer::New(isolate, static_cast<std::int32_t>(value));
            return conversion::signedValue(isolate, value);
        } else {
            if (std::in_range<std::uint32_t>(value))
                return v8::Integer::NewFromUnsigned(isolate, static_cast<std::uint32_t>(value));
            return conversion::unsignedValue(isolate, value);
        }
    }
};

// Any Number, NaN and the infinities included.
template <std::floating_point T>
struct Conversion<T> {
    using Held = T;
    static std::expected<T, std::string> fromValue(v8::Local<v8::Context>, v8::Local<v8::Value> value)
    {
        if (value->IsNumber())
            return static_cast<T>(value.As<v8::Number>()->Value());
        return std::unexpected(conversion::refusal("a number", value));
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context, T value)
    {
        return v8::Number::New(context->GetIsolate(), static_cast<double>(value));
    }
};

// ---- Text ------------------------------------------------------------------

// Strings only (no String() of other values), as UTF-8.
template <>
struct Conversion<std::string> {
    using Held = std::string;
    static std::expected<std::string, std::string> fromValue(v8::Local<v8::Context> context,
                                                             v8::Local<v8::Value> value)
    {
        if (value->IsString())
            return conversion::utf8(context->GetIsolate(), value.As<v8::String>());
        return std::unexpected(conversion::refusal("a string", value));
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    std::string_view value)
    {
        return conversion::string(context->GetIsolate(), value);
    }
};

// As std::string; an argument's bytes live until the host function returns.
template <>
struct Conversion<std::string_view> {
    using Held = std::string;
    static std::expected<std::string, std::string> fromValue(v8::Local<v8::Context> context,
                                                             v8::Local<v8::Value> value)
    {
        return Conversion<std::string>::fromValue(context, value);
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    std::string_view value)
    {
        return conversion::string(context->GetIsolate(), value);
    }
};

// Results only: a C string (null gives null).
template <>
struct Conversion<const char*> {
    using Held = std::string;
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const char* value)
    {
        if (value == nullptr)
            return v8::Null(context->GetIsolate());
        return conversion::string(context->GetIsolate(), value);
    }
};

// ---- Containers ------------------------------------------------------------

// undefined and null are nullopt (a missing trailing argument too); a
// nullopt result is null.
template <class T>
struct Conversion<std::optional<T>> {
    using Held = std::optional<typename Conversion<T>::Held>;
    static std::expected<Held, std::string> fromValue(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
    {
        if (value->IsNullOrUndefined())
            return Held{};
        auto inner = Conversion<T>::fromValue(context, value);
        if (!inner)
            return std::unexpected(std::move(inner.error()));
        return Held{std::move(*inner)};
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const std::optional<T>& value)
    {
        if (!value)
            return v8::Null(context->GetIsolate());
        return Conversion<T>::toValue(context, *value);
    }
};

// Arrays (not array-likes or iterables), element by element.
template <class T>
struct Conversion<std::vector<T>> {
    using Held = std::vector<typename Conversion<T>::Held>;
    static std::expected<Held, std::string> fromValue(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
    {
        if (!value->IsArray())
            return std::unexpected(conversion::refusal("an array", value));
        v8::Local<v8::Array> array = value.As<v8::Array>();
        const std::uint32_t length = array->Length();
        if (length > conversion::kLongestArray)
            return std::unexpected(conversion::tooLong(length));
        Held result;
        // The length is the script's to say (new Array(2 ** 32 - 1) has no
        // elements at all): reserve no more than a short array needs, and
        // let a long one grow as its elements convert.
        result.reserve(std::min<std::uint32_t>(length, 1024));
        for (std::uint32_t i = 0; i < length; ++i) {
            v8::Local<v8::Value> element;
            if (!array->Get(context, i).ToLocal(&element))
                return std::unexpected(std::string());
            auto converted = Conversion<T>::fromValue(context, element);
            if (!converted)
                return std::unexpected(conversion::inside("[" + std::to_string(i) + "]", std::move(converted.error())));
            result.push_back(std::move(*converted));
        }
        return result;
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const std::vector<T>& values)
    {
        std::vector<v8::Local<v8::Value>> elements;
        elements.reserve(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            auto converted = Conversion<T>::toValue(context, values[i]);
            if (!converted)
                return std::unexpected(conversion::inside("[" + std::to_string(i) + "]", std::move(converted.error())));
            elements.push_back(*converted);
        }
        return v8::Array::New(context->GetIsolate(), elements.data(), elements.size());
    }
};

namespace conversion {

// Objects with string keys both ways, for std::map and std::unordered_map.
template <class Map>
struct StringKeyed {
    using Mapped = typename Map::mapped_type;
    using Held = std::conditional_t<std::is_same_v<Map, std::map<std::string, Mapped>>,
                                    std::map<std::string, typename Conversion<Mapped>::Held>,
                                    std::unordered_map<std::string, typename Conversion<Mapped>::Held>>;

    // Any object but an array or a function: its own enumerable string keys.
    static std::expected<Held, std::string> fromValue(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
    {
        if (!value->IsObject() || value->IsArray() || value->IsFunction())
            return std::unexpected(refusal("an object", value));
        v8::Local<v8::Object> object = value.As<v8::Object>();
        auto keys = ownKeys(context, object);
        if (!keys)
            return std::unexpected(std::move(keys.error()));
        Held result;
        v8::Isolate* isolate = context->GetIsolate();
        for (std::uint32_t i = 0; i < (*keys)->Length(); ++i) {
            v8::Local<v8::Value> key;
            v8::Local<v8::Value> element;
            if (!(*keys)->Get(context, i).ToLocal(&key) || !object->Get(context, key).ToLocal(&element))
                return std::unexpected(std::string());
            std::string name = utf8(isolate, key.As<v8::String>());
            auto converted = Conversion<Mapped>::fromValue(context, element);
            if (!converted)
                return std::unexpected(inside(keyPlace(name), std::move(converted.error())));
            result.insert_or_assign(std::move(name), std::move(*converted));
        }
        return result;
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context, const Map& values)
    {
        v8::Local<v8::Object> object = v8::Object::New(context->GetIsolate());
        for (const auto& [name, mapped] : values) {
            auto key = string(context->GetIsolate(), name);
            if (!key)
                return std::unexpected(std::move(key.error()));
            auto converted = Conversion<Mapped>::toValue(context, mapped);
            if (!converted)
                return std::unexpected(inside(keyPlace(name), std::move(converted.error())));
            // Defined, not assigned: a setter on Object.prototype never runs.
            if (object->CreateDataProperty(context, key->template As<v8::String>(), *converted).IsNothing())
                return std::unexpected(std::string());
        }
        return object;
    }
};

}  // namespace conversion

template <class T>
struct Conversion<std::map<std::string, T>> : conversion::StringKeyed<std::map<std::string, T>> {};

template <class T>
struct Conversion<std::unordered_map<std::string, T>> : conversion::StringKeyed<std::unordered_map<std::string, T>> {};

// ---- V8's own handles ----------------------------------------------------

namespace conversion {

// What a handle of type T accepts, and how a refusal names it.
template <class T>
struct HandleKind;
template <>
struct HandleKind<v8::Value> {
    static bool accepts(v8::Local<v8::Value>) { return true; }
    static constexpr std::string_view name = "a value";
};
#define QORJS_HANDLE_KIND(Type, test, text)                                           \
    template <>                                                                     \
    struct HandleKind<v8::Type> {                                                   \
        static bool accepts(v8::Local<v8::Value> value) { return value->test(); }   \
        static constexpr std::string_view name = text;                              \
    };
QORJS_HANDLE_KIND(Object, IsObject, "an object")
QORJS_HANDLE_KIND(Function, IsFunction, "a function")
QORJS_HANDLE_KIND(Array, IsArray, "an array")
QORJS_HANDLE_KIND(String, IsString, "a string")
QORJS_HANDLE_KIND(Number, IsNumber, "a number")
QORJS_HANDLE_KIND(Boolean, IsBoolean, "a boolean")
QORJS_HANDLE_KIND(BigInt, IsBigInt, "a BigInt")
QORJS_HANDLE_KIND(Promise, IsPromise, "a promise")
QORJS_HANDLE_KIND(Symbol, IsSymbol, "a symbol")
QORJS_HANDLE_KIND(ArrayBuffer, IsArrayBuffer, "an ArrayBuffer")
QORJS_HANDLE_KIND(Uint8Array, IsUint8Array, "a Uint8Array")
#undef QORJS_HANDLE_KIND

}  // namespace conversion

// V8's handles pass through untouched, checked for their kind.
template <class T>
    requires requires { conversion::HandleKind<T>::name; }
struct Conversion<v8::Local<T>> {
    using Held = v8::Local<T>;
    using Plain = void;
    static std::expected<v8::Local<T>, std::string> fromValue(v8::Local<v8::Context>, v8::Local<v8::Value> value)
    {
        if (conversion::HandleKind<T>::accepts(value))
            return value.As<T>();
        return std::unexpected(conversion::refusal(conversion::HandleKind<T>::name, value));
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    v8::Local<T> value)
    {
        if (value.IsEmpty())
            return v8::Local<v8::Value>(v8::Undefined(context->GetIsolate()));
        return value.template As<v8::Value>();
    }
};

// ---- Conversions at a call site ---------------------------------------------

// `value` as a T, or the refusal's text.
template <class T>
std::expected<typename Conversion<std::remove_cvref_t<T>>::Held, std::string> fromValue(v8::Local<v8::Context> context,
                                                                                       v8::Local<v8::Value> value)
{
    return Conversion<std::remove_cvref_t<T>>::fromValue(context, value);
}

// `value` as JavaScript, or the refusal's text.
template <class T>
std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context, const T& value)
{
    using Plain = std::remove_cvref_t<T>;
    if constexpr (std::is_array_v<Plain> || std::is_same_v<std::decay_t<T>, char*>)
        return Conversion<const char*>::toValue(context, value);
    else
        return Conversion<Plain>::toValue(context, value);
}

}  // namespace qor::format::engine::javascript

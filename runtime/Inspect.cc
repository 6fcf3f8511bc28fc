#include "runtime/Inspect.h"

#include "runtime/InspectText.h"
#include "runtime/Layout.h"
#include "runtime/OwnProperties.h"

#include <v8-array-buffer.h>
#include <v8-container.h>
#include <v8-date.h>
#include <v8-function.h>
#include <v8-isolate.h>
#include <v8-primitive-object.h>
#include <v8-promise.h>
#include <v8-regexp.h>
#include <v8-typed-array.h>

#include <algorithm>
#include <cstdio>

namespace qor::format::engine::javascript {

namespace {

// Whatever depth is asked for, nests deeper than this show as [Object]: the
// walk recurses once per level and must not run out of stack.
constexpr int kDeepestLevel = 200;

// Walks one value for inspectValue. It keeps the objects on the way down, to
// tell a cycle, and the numbers given to the objects cycles lead back to.
class Inspector {
public:
    Inspector(v8::Local<v8::Context> context, const InspectOptions& options)
        : context(context), isolate(context->GetIsolate()), options(options)
    {
    }

    // `value` at nesting `level` (0 for the value inspected).
    Piece value(v8::Local<v8::Value> value, int level);

private:
    Piece object(v8::Local<v8::Object> object, int level);
    // An object by its kind; the rest of these are the kinds.
    Piece describe(v8::Local<v8::Object> object, int level);
    Piece list(v8::Local<v8::Object> object, int level);
    Piece collection(v8::Local<v8::Object> object, int level);
    Piece iterator(v8::Local<v8::Object> object, int level);
    Piece promise(v8::Local<v8::Promise> promise, int level);
    Piece binary(v8::Local<v8::Object> object, int level);
    Piece error(v8::Local<v8::Object> error, int level);
    // The text of a date, regular expression or boxed primitive.
    std::optional<std::string> ownText(v8::Local<v8::Object> object);

    // A value with a text of its own (a function, a date), and its own
    // properties in braces after it when it has any.
    Piece based(std::string base, v8::Local<v8::Object> object, int level, std::vector<v8::Local<v8::Name>> keys);
    // A container: the entries `fill` adds, then the object's own
    // properties. `fill` returns whether its last entry is a note on items
    // left out. Items are packed in columns when `pack`.
    template <typename Fill>
    Piece container(v8::Local<v8::Object> object, int level, Block block, bool hasItems, bool pack,
                    bool skipIndices, Fill fill);

    void addProperties(std::vector<Piece>& entries, v8::Local<v8::Object> object,
                       const std::vector<v8::Local<v8::Name>>& keys, int level);
    bool addIndexed(std::vector<Piece>& entries, v8::Local<v8::Object> object, std::uint32_t length, int level);
    std::uint32_t nextIndex(v8::Local<v8::Object> object, std::uint32_t after, std::uint32_t length,
                            std::vector<std::uint32_t>& present);
    Piece accessorOr(const std::optional<OwnProperty>& property, int level);
    Piece item(v8::Local<v8::Array> items, std::size_t index, int level);
    bool addMoreNote(std::vector<Piece>& entries, std::size_t shown, std::size_t total);

    std::string kindName(v8::Local<v8::Object> object, const std::string& fallback, const std::string& size = {});
    std::string abbreviation(v8::Local<v8::Object> object, const std::string& fallback);
    // "<ref *N>" for an object a cycle leads back to; "" for others.
    std::string referenceMark(v8::Local<v8::Object> object);
    // layOut, with the reference mark before the block's prefix.
    Piece layOutMarked(Block block, v8::Local<v8::Object> object, int level);
    std::string toStringTag(v8::Local<v8::Object> object);
    std::string functionBase(v8::Local<v8::Function> function);
    std::string errorBase(v8::Local<v8::Object> error, int level);
    std::string bytes(v8::Local<v8::Object> buffer);

    std::vector<v8::Local<v8::Name>> keysOf(v8::Local<v8::Object> object, bool skipIndices)
    {
        return ownKeys(context, object, options.showHidden, skipIndices);
    }
    LayoutWidths widths(int level) const
    {
        return {static_cast<std::size_t>(level) * 2, options.breakLength};
    }
    bool tooDeep(int level) const { return level > std::min(options.depth, kDeepestLevel); }
    v8::Local<v8::String> string(const char* text)
    {
        return v8::String::NewFromUtf8(isolate, text, v8::NewStringType::kInternalized).ToLocalChecked();
    }
    std::string text(v8::Local<v8::Value> value)
    {
        return !value.IsEmpty() && value->IsString() ? utf8(isolate, value.As<v8::String>()) : std::string();
    }

    v8::Local<v8::Context> context;
    v8::Isolate* isolate;
    const InspectOptions& options;
    std::vector<v8::Local<v8::Object>> ancestors;
    // The objects cycles lead back to, numbered in the order found.
    struct Reference {
        v8::Local<v8::Object> object;
        int number;
    };
    std::vector<Reference> references;
};

Piece Inspector::value(v8::Local<v8::Value> value, int level)
{
    if (value.IsEmpty() || value->IsUndefined())
        return {"undefined"};
    if (value->IsNull())
        return {"null"};
    if (value->IsBoolean())
        return {value->IsTrue() ? "true" : "false"};
    if (value->IsNumber())
        return {numberText(context, value.As<v8::Number>()->Value()), 0, true};
    if (value->IsBigInt())
        return {text(value.As<v8::BigInt>()->ToString(context).FromMaybe(v8::Local<v8::String>())) + "n", 0, true};
    if (value->IsString())
        return {quoted(isolate, value.As<v8::String>(), options.maxStringLength)};
    if (value->IsSymbol())
        return {symbolText(isolate, value.As<v8::Symbol>())};
    if (value->IsObject())
        return object(value.As<v8::Object>(), level);
    return {};
}

Piece Inspector::object(v8::Local<v8::Object> object, int level)
{
    // Once the script is being stopped, V8 runs nothing more: no use asking.
    if (isolate->IsExecutionTerminating())
        return {};
    object = throughProxies(object);
    if (object.IsEmpty())
        return {"<Revoked Proxy>"};
    if (std::find(ancestors.begin(), ancestors.end(), object) != ancestors.end()) {
        auto found = std::find_if(
            references.begin(), references.end(), [&](const Reference& ref) { return ref.object == object; });
        if (found == references.end())
            found = references.insert(references.end(), {object, static_cast<int>(references.size()) + 1});
        return {"[Circular *" + std::to_string(found->number) + "]"};
    }

    // Only what has entries can be led back to, and that is laid out with
    // its reference mark.
    ancestors.push_back(object);
    Piece piece = describe(object, level);
    ancestors.pop_back();
    return piece;
}

std::string Inspector::referenceMark(v8::Local<v8::Object> object)
{
    for (const Reference& reference : references)
        if (reference.object == object)
            return "<ref *" + std::to_string(reference.number) + ">";
    return {};
}

Piece Inspector::layOutMarked(Block block, v8::Local<v8::Object> object, int level)
{
    // The mark is known once the entries are, and counts in the width.
    if (std::string mark = referenceMark(object); !mark.empty())
        block.base = block.base.empty() ? mark : mark + " " + block.base;
    return layOut(block, widths(level));
}

Piece Inspector::describe(v8::Local<v8::Object> object, int level)
{
    if (object->IsFunction())
        return based(functionBase(object.As<v8::Function>()), object, level, keysOf(object, false));
    if (object->IsNativeError())
        return error(object, level);
    if (object->IsArray() || object->IsTypedArray() || object->IsArgumentsObject())
        return list(object, level);
    if (object->IsMap() || object->IsSet() || object->IsWeakMap() || object->IsWeakSet())
        return collection(object, level);
    if (object->IsMapIterator() || object->IsSetIterator())
        return iterator(object, level);
    if (object->IsPromise())
        return promise(object.As<v8::Promise>(), level);
    if (object->IsArrayBuffer() || object->IsSharedArrayBuffer() || object->IsDataView())
        return binary(object, level);
    if (std::optional<std::string> base = ownText(object))
        return based(std::move(*base), object, level, keysOf(object, object->IsStringObject()));
    if (object->IsModuleNamespaceObject())
        return container(object, level, Block{"[Module: null prototype]"}, false, false, false,
                         [](std::vector<Piece>&) { return false; });

    std::string name = kindName(object, "Object");
    Block block{name == "Object" ? "" : name};
    return container(object, level, block, false, false, false, [](std::vector<Piece>&) { return false; });
}

Piece Inspector::list(v8::Local<v8::Object> object, int level)
{
    if (object->IsTypedArray()) {
        const std::size_t length = object.As<v8::TypedArray>()->Length();
        Block block{kindName(object, "TypedArray", "(" + std::to_string(length) + ")"), "[", "]"};
        return container(object, level, block, length > 0, true, true, [&](std::vector<Piece>& entries) {
            // A typed array's elements are plain numbers: reading them runs nothing.
            const std::size_t shown = std::min(length, options.maxArrayLength);
            for (std::size_t i = 0; i < shown; ++i) {
                Contained contained(isolate);
                v8::MaybeLocal<v8::Value> item = object->Get(context, static_cast<std::uint32_t>(i));
                entries.push_back(value(item.FromMaybe(v8::Local<v8::Value>()), level + 1));
            }
            return addMoreNote(entries, shown, length);
        });
    }
    std::uint32_t length = 0;
    Block block{"[Arguments]", "[", "]"};
    if (object->IsArray()) {
        length = object.As<v8::Array>()->Length();
        std::string name = kindName(object, "Array", "(" + std::to_string(length) + ")");
        block.prefix = name.starts_with("Array(") ? "" : name;
    } else {
        v8::Local<v8::Value> declared = ownDataValue(context, object, "length");
        // A script may set it to anything; NaN counts as nothing.
        const double declaredLength =
            !declared.IsEmpty() && declared->IsNumber() ? declared.As<v8::Number>()->Value() : 0;
        if (declaredLength > 0)
            length = static_cast<std::uint32_t>(std::min(declaredLength, 4294967295.0));
    }
    return container(object, level, block, length > 0, true, true,
                     [&](std::vector<Piece>& entries) { return addIndexed(entries, object, length, level); });
}

Piece Inspector::collection(v8::Local<v8::Object> object, int level)
{
    if (object->IsWeakMap() || object->IsWeakSet()) {
        // What a weak collection holds depends on the collector: not shown.
        Block block{kindName(object, object->IsWeakMap() ? "WeakMap" : "WeakSet")};
        return container(object, level, block, true, false, false, [](std::vector<Piece>& entries) {
            entries.push_back({"<items unknown>"});
            return false;
        });
    }
    const bool map = object->IsMap();
    v8::Local<v8::Array> items = map ? object.As<v8::Map>()->AsArray() : object.As<v8::Set>()->AsArray();
    const std::size_t size = map ? items->Length() / 2 : items->Length();
    Block block{kindName(object, map ? "Map" : "Set", "(" + std::to_string(size) + ")")};
    return container(object, level, block, size > 0, false, false, [&](std::vector<Piece>& entries) {
        const std::size_t shown = std::min(size, options.maxArrayLength);
        for (std::size_t i = 0; i < shown; ++i) {
            if (!map) {
                entries.push_back(item(items, i, level + 1));
                continue;
            }
            Piece key = item(items, 2 * i, level + 1), mapped = item(items, 2 * i + 1, level + 1);
            entries.push_back({key.text + " => " + mapped.text, std::max(key.nesting, mapped.nesting)});
        }
        return addMoreNote(entries, shown, size);
    });
}

Piece Inspector::iterator(v8::Local<v8::Object> object, int level)
{
    // What is left to iterate, read without advancing the iterator.
    bool pairs = false;
    v8::Local<v8::Array> items;
    if (!object->PreviewEntries(&pairs).ToLocal(&items))
        items = v8::Array::New(isolate);
    const std::string kind = object->IsMapIterator() ? "[Map " : "[Set ";
    const std::size_t size = pairs ? items->Length() / 2 : items->Length();
    return container(object, level, Block{kind + (pairs ? "Entries]" : "Iterator]")}, size > 0, false, false,
                     [&](std::vector<Piece>& entries) {
                         const std::size_t shown = std::min(size, options.maxArrayLength);
                         for (std::size_t i = 0; i < shown; ++i) {
                             // A pair shows as an array of its own, a level further down.
                             if (!pairs) {
                                 entries.push_back(item(items, i, level + 1));
                                 continue;
                             }
                             Block pair{
                                 "", "[", "]", {item(items, 2 * i, level + 2), item(items, 2 * i + 1, level + 2)}};
                             entries.push_back(layOut(pair, widths(level + 1)));
                         }
                         return addMoreNote(entries, shown, size);
                     });
}

Piece Inspector::promise(v8::Local<v8::Promise> promise, int level)
{
    return container(promise, level, Block{kindName(promise, "Promise")}, true, false, false,
                     [&](std::vector<Piece>& entries) {
                         if (promise->State() == v8::Promise::kPending) {
                             entries.push_back({"<pending>"});
                             return false;
                         }
                         Piece result = value(promise->Result(), level + 1);
                         if (promise->State() == v8::Promise::kRejected)
                             result.text = "<rejected> " + result.text;
                         entries.push_back(std::move(result));
                         return false;
                     });
}

Piece Inspector::binary(v8::Local<v8::Object> object, int level)
{
    if (object->IsDataView()) {
        v8::Local<v8::DataView> view = object.As<v8::DataView>();
        return container(object, level, Block{kindName(object, "DataView")}, true, false, false,
                         [&](std::vector<Piece>& entries) {
                             entries.push_back({"byteLength: " + std::to_string(view->ByteLength())});
                             entries.push_back({"byteOffset: " + std::to_string(view->ByteOffset())});
                             Piece buffer = value(view->Buffer(), level + 1);
                             entries.push_back({"buffer: " + buffer.text, buffer.nesting});
                             return false;
                         });
    }
    const bool shared = object->IsSharedArrayBuffer();
    const std::size_t length =
        shared ? object.As<v8::SharedArrayBuffer>()->ByteLength() : object.As<v8::ArrayBuffer>()->ByteLength();
    const bool detached = !shared && object.As<v8::ArrayBuffer>()->WasDetached();
    Block block{kindName(object, shared ? "SharedArrayBuffer" : "ArrayBuffer")};
    return container(object, level, block, true, false, false, [&](std::vector<Piece>& entries) {
        entries.push_back({detached ? "(detached)" : "[Uint8Contents]: <" + bytes(object) + ">"});
        entries.push_back({"byteLength: " + std::to_string(length)});
        return false;
    });
}

std::optional<std::string> Inspector::ownText(v8::Local<v8::Object> object)
{
    if (object->IsDate())
        return isoDate(object.As<v8::Date>()->ValueOf());
    if (object->IsRegExp()) {
        v8::Local<v8::RegExp> regExp = object.As<v8::RegExp>();
        const int flags = regExp->GetFlags();
        std::string source = "/" + utf8(isolate, regExp->GetSource()) + "/";
        // In the order RegExp.prototype.flags lists them.
        for (const auto& [flag, letter] : {std::pair{v8::RegExp::kHasIndices, 'd'}, {v8::RegExp::kGlobal, 'g'},
                                           {v8::RegExp::kIgnoreCase, 'i'}, {v8::RegExp::kMultiline, 'm'},
                                           {v8::RegExp::kDotAll, 's'}, {v8::RegExp::kUnicode, 'u'},
                                           {v8::RegExp::kSticky, 'y'}})
            if (flags & flag)
                source += letter;
        return source;
    }
    if (object->IsNumberObject())
        return "[Number: " + numberText(context, object.As<v8::NumberObject>()->ValueOf()) + "]";
    if (object->IsStringObject())
        return "[String: " + quoted(isolate, object.As<v8::StringObject>()->ValueOf(), options.maxStringLength) + "]";
    if (object->IsBooleanObject())
        return object.As<v8::BooleanObject>()->ValueOf() ? "[Boolean: true]" : "[Boolean: false]";
    if (object->IsSymbolObject())
        return "[Symbol: " + symbolText(isolate, object.As<v8::SymbolObject>()->ValueOf()) + "]";
    if (object->IsBigIntObject())
        return "[BigInt: " + value(object.As<v8::BigIntObject>()->ValueOf(), 0).text + "]";
    return std::nullopt;
}

Piece Inspector::item(v8::Local<v8::Array> items, std::size_t index, int level)
{
    // An array V8 made for the purpose: its elements are plain data.
    return value(items->Get(context, static_cast<std::uint32_t>(index)).FromMaybe(v8::Local<v8::Value>()), level);
}

Piece Inspector::based(std::string base, v8::Local<v8::Object> object, int level, std::vector<v8::Local<v8::Name>> keys)
{
    // Too deep, a regular expression still shows its source: its properties
    // go.
    if (keys.empty() || (tooDeep(level) && object->IsRegExp()))
        return {std::move(base)};
    if (tooDeep(level))
        return {abbreviation(object, object->IsNativeError() ? "Error" : "Object")};
    Block block{""};
    block.base = std::move(base);
    addProperties(block.entries, object, keys, level);
    return layOutMarked(std::move(block), object, level);
}

template <typename Fill>
Piece Inspector::container(v8::Local<v8::Object> object, int level, Block block, bool hasItems, bool pack,
                           bool skipIndices, Fill fill)
{
    std::vector<v8::Local<v8::Name>> keys = keysOf(object, skipIndices);
    if ((hasItems || !keys.empty()) && tooDeep(level)) {
        if (object->IsArgumentsObject())
            return {"[Arguments]"};
        return {abbreviation(object, block.open == "[" ? "Array" : "Object")};
    }
    const bool noted = fill(block.entries);
    const std::size_t items = block.entries.size();
    addProperties(block.entries, object, keys, level);
    block.packable = !pack ? 0 : noted ? items - 1 : block.entries.size();
    return layOutMarked(std::move(block), object, level);
}

void Inspector::addProperties(std::vector<Piece>& entries, v8::Local<v8::Object> object,
                              const std::vector<v8::Local<v8::Name>>& keys, int level)
{
    for (v8::Local<v8::Name> key : keys) {
        std::optional<OwnProperty> property = ownProperty(context, object, key);
        if (!property)
            continue;
        Piece shown = accessorOr(property, level);
        entries.push_back({keyText(isolate, key, !property->enumerable) + ": " + shown.text, shown.nesting});
    }
}

Piece Inspector::accessorOr(const std::optional<OwnProperty>& property, int level)
{
    if (!property)
        return {"undefined"};
    if (property->getter || property->setter)
        return {property->getter && property->setter ? "[Getter/Setter]" : property->getter ? "[Getter]" : "[Setter]"};
    return value(property->value, level + 1);
}

bool Inspector::addMoreNote(std::vector<Piece>& entries, std::size_t shown, std::size_t total)
{
    if (shown >= total)
        return false;
    const std::size_t more = total - shown;
    entries.push_back({"... " + std::to_string(more) + (more == 1 ? " more item" : " more items")});
    return true;
}

bool Inspector::addIndexed(std::vector<Piece>& entries, v8::Local<v8::Object> object, std::uint32_t length, int level)
{
    std::vector<std::uint32_t> present;  // the indices there are, read once a long run of holes needs them
    std::uint32_t index = 0;
    while (index < length && entries.size() < options.maxArrayLength) {
        bool has = false;
        {
            Contained contained(isolate);
            has = object->HasRealIndexedProperty(context, index).FromMaybe(false);
        }
        if (has) {
            v8::Local<v8::String> key =
                v8::String::NewFromUtf8(isolate, std::to_string(index).c_str()).ToLocalChecked();
            entries.push_back(accessorOr(ownProperty(context, object, key), level));
            ++index;
            continue;
        }
        const std::uint32_t next = nextIndex(object, index, length, present);
        const std::uint32_t holes = next - index;
        entries.push_back({"<" + std::to_string(holes) + (holes == 1 ? " empty item>" : " empty items>")});
        index = next;
    }
    return addMoreNote(entries, index, length);
}

std::uint32_t Inspector::nextIndex(v8::Local<v8::Object> object, std::uint32_t after, std::uint32_t length,
                                   std::vector<std::uint32_t>& present)
{
    // Holes are mostly few: look at the next indices one by one, and only
    // for a long run ask V8 for the indices there are (a sparse array of
    // length 2^32 - 1 must not be walked).
    constexpr std::uint64_t kProbes = 64;
    Contained contained(isolate);
    for (std::uint64_t index = after + 1ull; index < length && index <= after + kProbes; ++index)
        if (object->HasRealIndexedProperty(context, static_cast<std::uint32_t>(index)).FromMaybe(false))
            return static_cast<std::uint32_t>(index);
    if (present.empty()) {
        v8::Local<v8::Array> keys;
        if (object->GetPropertyNames(context, v8::KeyCollectionMode::kOwnOnly,
                                     static_cast<v8::PropertyFilter>(v8::ALL_PROPERTIES | v8::SKIP_SYMBOLS),
                                     v8::IndexFilter::kIncludeIndices, v8::KeyConversionMode::kKeepNumbers)
                .ToLocal(&keys)) {
            for (std::uint32_t i = 0; i < keys->Length(); ++i) {
                v8::Local<v8::Value> key;
                if (keys->Get(context, i).ToLocal(&key) && key->IsUint32())
                    present.push_back(key.As<v8::Uint32>()->Value());
            }
        }
        std::sort(present.begin(), present.end());
        present.push_back(length);  // never empty again, and bounds the search
    }
    auto found = std::upper_bound(present.begin(), present.end(), after);
    return found == present.end() ? length : std::min(*found, length);
}

std::string Inspector::toStringTag(v8::Local<v8::Object> object)
{
    v8::Local<v8::Symbol> tag = v8::Symbol::GetToStringTag(isolate);
    // A tag the object holds as an enumerable property of its own shows among
    // its properties already.
    if (std::optional<OwnProperty> own = ownProperty(context, object, tag); own && own->enumerable)
        return {};
    return text(inheritedDataValue(context, object, tag));
}

std::string Inspector::kindName(v8::Local<v8::Object> object, const std::string& fallback, const std::string& size)
{
    const std::string constructor = constructorName(context, object);
    if (constructor.empty()) {
        const std::string tag = text(inheritedDataValue(context, object, v8::Symbol::GetToStringTag(isolate)));
        return "[" + (tag.empty() ? fallback : tag) + size + ": null prototype]";
    }
    std::string tag = toStringTag(object);
    // Typed arrays name their kind by a getter, not read: the kind is known.
    if (tag.empty() && fallback == "TypedArray")
        for (const auto& [is, name] : std::initializer_list<std::pair<bool, const char*>>{
                 {object->IsUint8Array(), "Uint8Array"}, {object->IsUint8ClampedArray(), "Uint8ClampedArray"},
                 {object->IsInt8Array(), "Int8Array"}, {object->IsUint16Array(), "Uint16Array"},
                 {object->IsInt16Array(), "Int16Array"}, {object->IsUint32Array(), "Uint32Array"},
                 {object->IsInt32Array(), "Int32Array"}, {object->IsFloat32Array(), "Float32Array"},
                 {object->IsFloat64Array(), "Float64Array"}, {object->IsBigInt64Array(), "BigInt64Array"},
                 {object->IsBigUint64Array(), "BigUint64Array"}})
            if (is)
                tag = name;
    return constructor + size + (tag.empty() || tag == constructor ? "" : " [" + tag + "]");
}

std::string Inspector::abbreviation(v8::Local<v8::Object> object, const std::string& fallback)
{
    std::string name = kindName(object, fallback);
    return name.starts_with("[") ? name : "[" + name + "]";
}

std::string Inspector::functionBase(v8::Local<v8::Function> function)
{
    const std::string name = functionName(context, function);
    // Only a class's source text starts with "class"; Function.prototype.
    // toString is V8's own, whatever the function's toString says.
    bool isClass = false;
    {
        Contained contained(isolate);
        v8::Local<v8::String> source;
        if (function->FunctionProtoToString(context).ToLocal(&source) && source->Length() >= 6) {
            std::uint16_t head[6];
            source->Write(isolate, head, 0, 6, v8::String::NO_NULL_TERMINATION);
            const std::uint16_t after = head[5];
            isClass = std::equal(head, head + 5, "class") &&
                      !((after >= 'a' && after <= 'z') || (after >= 'A' && after <= 'Z') ||
                        (after >= '0' && after <= '9') || after == '_' || after == '$' || after > 0x7F);
        }
    }
    if (isClass) {
        std::string text = "[class " + (name.empty() ? "(anonymous)" : name);
        v8::Local<v8::Value> parent = function->GetPrototype();
        if (parent->IsObject()) {
            v8::Local<v8::Object> base = throughProxies(parent.As<v8::Object>());
            if (!base.IsEmpty() && base->IsFunction()) {
                const std::string baseName = functionName(context, base.As<v8::Function>());
                if (!baseName.empty())
                    text.append(" extends ").append(baseName);
            }
        }
        return text + "]";
    }
    const bool async = function->IsAsyncFunction(), generator = function->IsGeneratorFunction();
    std::string text = async && generator ? "[AsyncGeneratorFunction"
                       : async            ? "[AsyncFunction"
                       : generator        ? "[GeneratorFunction"
                                          : "[Function";
    if (constructorName(context, function).empty())
        text += " (null prototype)";
    return text + (name.empty() ? " (anonymous)]" : ": " + name + "]");
}

Piece Inspector::error(v8::Local<v8::Object> error, int level)
{
    std::string base = errorBase(error, level);
    std::vector<v8::Local<v8::Name>> keys;
    // A name or message set on the error shows in its stack already.
    for (v8::Local<v8::Name> key : keysOf(error, false)) {
        const std::string name = key->IsString() ? utf8(isolate, key.As<v8::String>()) : std::string();
        const std::string shown = name == "name" || name == "message" ? text(ownDataValue(context, error, key)) : "";
        if (shown.empty() || base.find(shown) == std::string::npos)
            keys.push_back(key);
    }
    // A cause and an AggregateError's errors are not enumerable, but they
    // are much of what went wrong.
    for (const char* name : {"cause", "errors"}) {
        v8::Local<v8::String> key = string(name);
        std::optional<OwnProperty> property = ownProperty(context, error, key);
        if (!options.showHidden && property && !property->enumerable)
            keys.push_back(key);
    }
    return based(std::move(base), error, level, std::move(keys));
}

std::string Inspector::errorBase(v8::Local<v8::Object> error, int level)
{
    std::string name = text(inheritedDataValue(context, error, string("name")));
    std::optional<OwnProperty> stack = ownProperty(context, error, string("stack"));
    if (!stack || stack->value.IsEmpty() || !stack->value->IsString()) {
        // No stack to show (an accessor of the script's, or one that threw):
        // the name and message, as far as they are plain data.
        const std::string message = text(ownDataValue(context, error, "message"));
        if (name.empty())
            name = "Error";
        return "[" + name + (message.empty() ? "" : ": " + message) + "]";
    }
    std::string shown = text(stack->value);

    // A subclass that does not set its name has its base's in the stack:
    // "Foo [TypeError]: message", or just "MyError" when it contains "Error".
    const std::string constructor = constructorName(context, error);
    const std::string firstLine = shown.substr(0, shown.find('\n'));
    if (!constructor.empty() && !name.empty() && firstLine.find(constructor) == std::string::npos &&
        shown.starts_with(name) && ownDataValue(context, error, "name").IsEmpty())
        shown = (constructor.find(name) != std::string::npos ? constructor : constructor + " [" + name + "]") +
                shown.substr(name.size());
    // A stack without frames (Error.stackTraceLimit = 0) is bracketed, as an
    // error with no stack is.
    if (shown.find("\n    at ") == std::string::npos)
        shown = "[" + shown + "]";

    const std::string indent(static_cast<std::size_t>(level) * 2, ' ');
    for (std::size_t at = shown.find('\n'); at != std::string::npos && !indent.empty(); at = shown.find('\n', at + 1))
        shown.insert(at + 1, indent);
    return shown;
}

std::string Inspector::bytes(v8::Local<v8::Object> buffer)
{
    std::shared_ptr<v8::BackingStore> store = buffer->IsSharedArrayBuffer()
                                                  ? buffer.As<v8::SharedArrayBuffer>()->GetBackingStore()
                                                  : buffer.As<v8::ArrayBuffer>()->GetBackingStore();
    const auto* data = static_cast<const unsigned char*>(store->Data());
    const std::size_t length = data == nullptr ? 0 : store->ByteLength();
    const std::size_t shown = std::min(length, options.maxArrayLength);
    std::string out;
    char hex[4];
    for (std::size_t i = 0; i < shown; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", data[i]);
        out.append(i == 0 ? "" : " ").append(hex);
    }
    if (length > shown)
        out.append(" ... ")
            .append(std::to_string(length - shown))
            .append(length - shown == 1 ? " more byte" : " more bytes");
    return out;
}

}  // namespace

std::string inspectValue(v8::Local<v8::Context> context, v8::Local<v8::Value> value, const InspectOptions& options)
{
    v8::Isolate* isolate = context->GetIsolate();
    v8::HandleScope scope(isolate);
    Contained contained(isolate);
    return Inspector(context, options).value(value, 0).text;
}

}  // namespace qor::format::engine::javascript

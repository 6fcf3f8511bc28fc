// V8Helper: host text to V8 strings, values, JSON and inspector views.
#include "support/TestSupport.h"

#include <v8-container.h>
#include <v8-exception.h>
#include <v8-primitive-object.h>

namespace qorjs::test {
namespace {

using namespace js::V8Helper;
using namespace std::string_literals;
using View = v8_inspector::StringView;

class Conversions : public EngineTest {};

TEST_F(Conversions, EmptyHandleAndEmptyText)
{
    EXPECT_EQ(qor_string(v8::Local<v8::Value>(), nullptr), "");  // the isolate is not touched
    v8::Local<v8::String> empty = v8_string("", isolate);
    ASSERT_FALSE(empty.IsEmpty());
    EXPECT_EQ(empty->Length(), 0);
}

TEST_F(Conversions, AnEmbeddedNulIsKeptWholeEverywhere)
{
    const std::string text("a\0b\xC3\xA9", 5);  // a, U+0000, b, U+00E9
    v8::Local<v8::String> string = v8_string(text, isolate);
    ASSERT_FALSE(string.IsEmpty());
    EXPECT_EQ(string->Length(), 4);
    EXPECT_EQ(qor_string(string, isolate), text);
    EXPECT_EQ(qor_string(v8::String::Utf8Value(isolate, string)), text);
    EXPECT_EQ(qor_string(v8_inspectorStringView(text), isolate), "a\0b\xC3\x83\xC2\xA9"s);  // read as Latin-1
    const char16_t wide[] = u"a\0b\u00E9";
    EXPECT_EQ(qor_string(View(reinterpret_cast<const std::uint16_t*>(wide), 4), isolate), text);

    v8::Local<v8::Object> object = parseJson(context(), R"({"k\u0000ey": "v\u0000al"})");
    ASSERT_FALSE(object.IsEmpty());
    EXPECT_EQ(getPropertyFromJson(isolate, object, "k\0ey"s), "v\0al"s);
    EXPECT_EQ(getPropertyFromJson(isolate, object, "k"), "undefined");

    v8::TryCatch tryCatch(isolate);
    EXPECT_TRUE(parseJson(context(), "{\"a\":1}\0junk"s).IsEmpty());  // not read as its prefix
    EXPECT_TRUE(tryCatch.HasCaught());
}

TEST_F(Conversions, ValuesWithoutAStringFormGiveEmptyText)
{
    v8::Local<v8::Object> object = run("({ n: 1.5, nested: {}, sym: Symbol(), bad: { toString() { throw 1; } },"
                                       "   get method() { throw new Error('getter'); } })")
                                       .As<v8::Object>();
    v8::TryCatch ignored(isolate);  // the getter's Error is left to the caller
    for (auto [name, expected] : {std::pair{"n", "1.5"}, {"nested", "[object Object]"}, {"missing", "undefined"},
                                  {"sym", ""}, {"bad", ""}, {"method", ""}})
        EXPECT_EQ(getPropertyFromJson(isolate, object, name), expected) << name;
    for (const char* name : {"sym", "bad"}) {
        v8::TryCatch tryCatch(isolate);
        EXPECT_EQ(qor_string(object->Get(context(), v8_string(name, isolate)).ToLocalChecked(), isolate), "") << name;
        EXPECT_TRUE(tryCatch.HasCaught()) << "V8's exception stays for the caller: " << name;
    }
}

TEST_F(Conversions, ParseJsonAndTheDebuggersReads)
{
    for (const char* notJson : {"", "{"}) {
        v8::TryCatch tryCatch(isolate);
        EXPECT_TRUE(parseJson(context(), notJson).IsEmpty()) << notJson;
        EXPECT_TRUE(tryCatch.HasCaught()) << notJson;
    }
    EXPECT_TRUE(parseJson(context(), "null").IsEmpty());
    v8::Local<v8::Object> array = parseJson(context(), "[1,2]");
    ASSERT_TRUE(!array.IsEmpty() && array->IsArray());
    EXPECT_EQ(array.As<v8::Array>()->Length(), 2u);
    v8::Local<v8::Object> number = parseJson(context(), "42");
    ASSERT_TRUE(!number.IsEmpty() && number->IsNumberObject());
    EXPECT_EQ(number.As<v8::NumberObject>()->ValueOf(), 42);

    v8::Local<v8::Object> message = parseJson(context(), R"({"method":"Runtime.runIfWaitingForDebugger","id":1})");
    ASSERT_FALSE(message.IsEmpty());
    EXPECT_EQ(getPropertyFromJson(isolate, message, "method"), "Runtime.runIfWaitingForDebugger");
    EXPECT_EQ(getPropertyFromJson(isolate, message, "id"), "1");
    EXPECT_EQ(getPropertyFromJson(isolate, message, "params"), "undefined");
}

TEST_F(Conversions, InspectorViews)
{
    const std::uint8_t latin1[] = {0xE9};
    const std::uint16_t eAcute[] = {0x00E9}, astral[] = {0xD83D, 0xDE00, 'x', 0xD834, 0xDD1E};
    EXPECT_EQ(qor_string(View(latin1, 1), isolate), "\xC3\xA9");
    EXPECT_EQ(qor_string(View(eAcute, 1), isolate), "\xC3\xA9");
    EXPECT_EQ(qor_string(View(astral, 5), isolate), "\xF0\x9F\x98\x80x\xF0\x9D\x84\x9E");  // U+1F600 x U+1D11E
    EXPECT_EQ(qor_string(View(), isolate), "");

    const std::string text(31, 'x');
    View view = v8_inspectorStringView(text);
    EXPECT_TRUE(view.is8Bit());
    EXPECT_EQ(view.length(), 31u);
    EXPECT_EQ(view.characters8(), reinterpret_cast<const std::uint8_t*>(text.data()));
}

TEST_F(Conversions, TextLongerThanV8CanHoldIsRefusedWithoutAnAbort)  // allocates 512 MiB
{
    const std::string huge(static_cast<std::size_t>(v8::String::kMaxLength) + 1, ' ');
    EXPECT_TRUE(v8_string(huge, isolate).IsEmpty());
    auto result = js::V8Engine::runJavaScriptSource(isolate, js::Source{huge, "/huge.js", false});
    ASSERT_FALSE(result.has_value());
    EXPECT_FALSE(result.error().message.empty());
    EXPECT_EQ(text(run("1 + 1")), "2");
}

}  // namespace
}  // namespace qorjs::test

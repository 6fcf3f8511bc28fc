// Classic scripts and what the host gets back from them: the completion
// value, error records whole (position, source line, stack, each script
// named by its file: URL), nothing left pending after a failure, host text
// kept byte for byte, and input V8 cannot hold refused without an abort.
#include "support/TestSupport.h"

using namespace qorjs::test;
using namespace std::string_literals;
using Type = js::Error::Type;

namespace {
auto members(const js::Error& e)
{
    return std::tuple(e.type, e.message, e.detail, e.lineNumber, e.startColumn, e.endColumn, e.sourceLine,
                      e.stackTrace);
}
}  // namespace

TEST_F(EngineTest, AScriptGivesItsValueOrARecordAndLeavesNothingPending)
{
    v8::TryCatch outer(isolate);
    for (auto [code, expected] : {std::pair{"", "undefined"}, {"1; if (1) { 'last'; }", "last"},
                                  {"typeof gc", "function"}, {"globalThis.kept = 'yes'; throw 1;", "1"},
                                  {"globalThis.notRun = 1; var = ;", "SyntaxError: Unexpected token '='"},
                                  {"throw { toString() { throw 2; } };", ""}, {"kept + typeof notRun", "yesundefined"}})
        EXPECT_EQ(outcome(code), expected) << code;
    EXPECT_FALSE(outer.HasCaught());
    const auto none = std::nullopt;
    const std::pair<const char*, js::Error> rows[] = {
        {"var a = foo bar;", {Type::Compile, "SyntaxError: Unexpected identifier", none, 1, 12, 15,
                              "var a = foo bar;", "SyntaxError: Unexpected identifier"}},
        {"function f() {\n  throw new Error('boom');\n}\nf();",
         {Type::Runtime, "Error: boom", none, 2, 2, 3, "  throw new Error('boom');",
          "Error: boom\n    at f (file:///e/s.js:2:9)\n    at file:///e/s.js:4:1"}},
        {"\nthrow 'pl\\0ain';", {Type::Runtime, "pl\0ain"s, none, 2, 0, 1, "throw 'pl\\0ain';", none}},
    };
    for (const auto& [code, expected] : rows)
        EXPECT_EQ(members(fail(code, "/e/s.js")), members(expected)) << code;
    EXPECT_FALSE(js::V8Engine::runJavaScriptSource(isolate, {"1", "/m.mjs", true})) << "a module runs as a script";
    // Backslashes become slashes and blanks %20, nothing else is escaped.
    for (auto [fileName, url] : {std::pair{R"(C:\My Scripts\main.js)", "file:///C:/My%20Scripts/main.js"},
                                 {"dir/100%#1.js", "file:///dir/100%#1.js"}, {"/tmp/a b.js", "file:///tmp/a%20b.js"}})
        EXPECT_EQ(fail("\n  throw new Error('x');", fileName).stackTrace, "Error: x\n    at "s + url + ":2:9");
}

TEST_F(EngineTest, TextIsKeptWholeAndWhatCannotBeConvertedGivesNothing)
{
    using namespace js::V8Helper;
    const std::string text("a\0b\xC3\xA9", 5), notUtf8("x\0\xFF\xC3", 4);
    const std::uint16_t wide[] = {'a', 0, 'b', 0xE9}, astral[] = {0xD83D, 0xDE00};
    v8::Local<v8::Object> json = parseJson(context(), R"({"k\u0000": "v\u0000", "n": 1.5})");
    v8::Local<v8::Object> object = run("({ sym: Symbol(), get bad() { throw 1; } })").As<v8::Object>();
    v8::TryCatch tryCatch(isolate);
    for (auto [got, expected] : {std::pair{qor_string(v8_string(text, isolate), isolate), text},
                                 {qor_string(v8_inspector::StringView(wide, 4), isolate), text},
                                 {qor_string(v8_inspectorStringView(text), isolate), "a\0b\xC3\x83\xC2\xA9"s},
                                 {qor_string(v8_inspector::StringView(astral, 2), isolate), "\xF0\x9F\x98\x80"s},
                                 {getPropertyFromJson(isolate, json, "k\0"s) + getPropertyFromJson(isolate, json, "n") +
                                      getPropertyFromJson(isolate, json, "k"), "v\0"s + "1.5undefined"},
                                 {getPropertyFromJson(isolate, object, "sym") +
                                      getPropertyFromJson(isolate, object, "bad") +
                                      getPropertyFromJson(isolate, {}, "n") +
                                      qor_string(v8::Local<v8::Value>(), nullptr), ""s},
                                 {js::V8Error::get(Type::Runtime, isolate, notUtf8).message, notUtf8},
                                 {js::V8Error::get(Type::Runtime, nullptr, notUtf8).message, notUtf8}})
        EXPECT_EQ(got, expected);
    for (const std::string& notJson : {""s, "{"s, "{}\0junk"s, "null"s})
        EXPECT_TRUE(parseJson(context(), notJson).IsEmpty()) << notJson;
    const std::string huge(static_cast<std::size_t>(v8::String::kMaxLength) + 1, ' ');  // 512 MiB
    EXPECT_TRUE(v8_string(huge, isolate).IsEmpty());
    EXPECT_FALSE(fail(huge).message.empty());
    EXPECT_EQ(outcome("1 + 1"), "2");
}

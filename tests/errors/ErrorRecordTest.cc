// Error records built by V8Error: from failed scripts (through
// runJavaScriptSource), from a caller's v8::TryCatch, and from host text.
#include "support/TestSupport.h"

#include <v8-exception.h>
#include <v8-script.h>

namespace qorjs::test {
namespace {

using Type = js::Error::Type;
using namespace std::string_literals;

// Every member, so that a record is compared whole.
auto members(const js::Error& e)
{
    return std::tuple(e.type, e.message, e.detail, e.lineNumber, e.startColumn, e.endColumn, e.sourceLine, e.stackTrace);
}

// A record with only its type and message: every optional member absent.
auto onlyTypeAndMessage(Type type, std::string message)
{
    js::Error error;
    error.type = type;
    error.message = std::move(message);
    return members(error);
}

class ErrorRecords : public EngineTest {
protected:
    // Compiles and runs `code` under the caller's v8::TryCatch, without the library.
    void throwInto(const char* code)
    {
        auto script = v8::Script::Compile(context(), js::V8Helper::v8_string(code, isolate)).ToLocalChecked();
        EXPECT_TRUE(script->Run(context()).IsEmpty());
    }
};

TEST_F(ErrorRecords, FromFailedScripts)
{
    const auto none = std::nullopt;
    const std::vector<std::pair<const char*, js::Error>> cases = {
        {"var a = foo bar;",
         {Type::Compile, "SyntaxError: Unexpected identifier", none, 1, 12, 15, "var a = foo bar;",
          "SyntaxError: Unexpected identifier"}},
        {"// one\nvar ok = 1;\nvar = 2;",
         {Type::Compile, "SyntaxError: Unexpected token '='", none, 3, 4, 5, "var = 2;",
          "SyntaxError: Unexpected token '='"}},
        {"function f() {\n  throw new Error('boom');\n}\nf();",
         {Type::Runtime, "Error: boom", none, 2, 2, 3, "  throw new Error('boom');",
          "Error: boom\n    at f (file:///e/s.js:2:9)\n    at file:///e/s.js:4:1"}},
        {"var a = 1;\nvar b = 2;\nthrow new Error('third');\nvar c = 3;",
         {Type::Runtime, "Error: third", none, 3, 0, 1, "throw new Error('third');",
          "Error: third\n    at file:///e/s.js:3:7"}},
        {"\nthrow 'plain';", {Type::Runtime, "plain", none, 2, 0, 1, "throw 'plain';", none}},
        {"const e = new Error('x');\nObject.defineProperty(e, 'stack', { get() { throw 1; } });\nthrow e;",
         {Type::Runtime, "Error: x", none, 3, 0, 1, "throw e;", none}},
        {"throw { toString() { throw new Error('again'); } };",
         {Type::Runtime, "", none, 1, 0, 1, "throw { toString() { throw new Error('again'); } };", none}},
    };
    for (const auto& [code, expected] : cases)
        EXPECT_EQ(members(fail(code, "/e/s.js")), members(expected)) << code;
}

// The record is read while the caller's v8::TryCatch holds the exception; what
// the conversions throw (toString, the stack getter) must not replace it.
TEST_F(ErrorRecords, ReadingLeavesTheCallersTryCatchAsItWas)
{
    v8::TryCatch tryCatch(isolate);
    throwInto("globalThis.bad = { toString() { throw new Error('again'); },\n"
              "                   get stack() { throw new Error('no stack'); } };\nthrow bad;");
    ASSERT_TRUE(tryCatch.HasCaught());
    js::Error error = js::V8Error::get(Type::Runtime, isolate, tryCatch);
    EXPECT_EQ(members(error), members({Type::Runtime, "", std::nullopt, 3, 0, 1, "throw bad;", std::nullopt}));

    ASSERT_TRUE(tryCatch.HasCaught());
    v8::Local<v8::Value> bad = context()->Global()->Get(context(), js::V8Helper::v8_string("bad", isolate)).ToLocalChecked();
    EXPECT_TRUE(tryCatch.Exception()->StrictEquals(bad));
    ASSERT_FALSE(tryCatch.Message().IsEmpty());
    EXPECT_EQ(tryCatch.Message()->GetLineNumber(context()).FromMaybe(0), 3);
}

TEST_F(ErrorRecords, ACaughtExceptionWithoutAMessageGivesTypeAndMessageOnly)
{
    v8::TryCatch tryCatch(isolate);
    tryCatch.SetCaptureMessage(false);
    throwInto("throw new Error('quiet');");  // it has a stack, but there is no message
    ASSERT_TRUE(tryCatch.HasCaught());
    EXPECT_EQ(members(js::V8Error::get(Type::Compile, isolate, tryCatch)), onlyTypeAndMessage(Type::Compile, "Error: quiet"));
}

TEST_F(ErrorRecords, FromText)
{
    EXPECT_EQ(members(js::V8Error::get(Type::Runtime, nullptr, "a\0b"s)), onlyTypeAndMessage(Type::Runtime, "a\0b"s));
    EXPECT_EQ(members(js::V8Error::get(Type::Other, nullptr, "")), onlyTypeAndMessage(Type::Other, ""));

    v8::TryCatch outer(isolate);
    js::Error error = js::V8Error::get(Type::Runtime, isolate, "x\0y\xC3\xA9"s);
    EXPECT_EQ(error.type, Type::Runtime);
    EXPECT_EQ(error.message, "x\0y\xC3\xA9"s);
    EXPECT_FALSE(error.stackTrace);
    EXPECT_FALSE(outer.HasCaught()) << "nothing may stay pending";
}

}  // namespace
}  // namespace qorjs::test

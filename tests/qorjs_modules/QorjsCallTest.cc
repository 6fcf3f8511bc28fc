#include "support/QorjsRun.h"

#include <gtest/gtest.h>

#include <gmock/gmock.h>

namespace qorjs::test {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

class QorjsCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        files.write("lib.js",
                    "var math = {\n"
                    "  add(a, b) { return a + b; },\n"
                    "  fail() { throw new Error('no way'); },\n"
                    "};\n"
                    "function describe(person) { return { name: person.name, tags: person.tags.length }; }\n"
                    "function echo(value) { return value; }\n"
                    "function nothing() {}\n"
                    "async function later(x) { await null; return x * 2; }\n"
                    "async function refuse() { await null; throw new TypeError('refused'); }\n"
                    "function cycle() { const o = {}; o.self = o; return o; }\n");
    }

    QorjsRun run(std::vector<std::string> arguments) { return runQorjs(files.path(), arguments); }

    ScratchDirectory files;
};

TEST_F(QorjsCall, PrintsTheResultAsJsonWhereItHasAJsonForm)
{
    QorjsRun sum = run({"--call", "math.add", "lib.js", "1", "2"});
    EXPECT_EQ(sum.status, 0) << sum.err;
    EXPECT_EQ(sum.out, "3\n");

    QorjsRun object = run({"--call", "describe", "lib.js", R"({"name":"Ada","tags":["x","y"]})"});
    EXPECT_EQ(object.out, "{\"name\":\"Ada\",\"tags\":2}\n");

    EXPECT_EQ(run({"--call", "echo", "lib.js", "\"text\""}).out, "\"text\"\n");
    // The string form of what JSON cannot hold.
    EXPECT_EQ(run({"--call", "nothing", "lib.js"}).out, "undefined\n");
    EXPECT_EQ(run({"--call", "cycle", "lib.js"}).out, "[object Object]\n");
}

TEST_F(QorjsCall, WaitsForAReturnedPromise)
{
    EXPECT_EQ(run({"--call", "later", "lib.js", "21"}).out, "42\n");

    QorjsRun rejected = run({"--call", "refuse", "lib.js"});
    EXPECT_EQ(rejected.status, 1);
    EXPECT_THAT(rejected.err, HasSubstr("TypeError: refused"));
}

TEST_F(QorjsCall, AThrowIsReportedLikeAScriptError)
{
    QorjsRun result = run({"--call", "math.fail", "lib.js"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, HasSubstr("file://" + (files.path() / "lib.js").string() + ":3:"));
    EXPECT_THAT(result.err, HasSubstr("Error: no way"));
}

TEST_F(QorjsCall, AMissingFunctionIsAClearError)
{
    for (const char* path : {"math.subtract", "nowhere.at.all", "math"}) {
        QorjsRun result = run({"--call", path, "lib.js"});
        EXPECT_EQ(result.status, 1) << path;
        EXPECT_THAT(result.err, AllOf(HasSubstr(path), HasSubstr("no function"))) << path;
    }
}

TEST_F(QorjsCall, AnArgumentThatIsNotJsonIsAUsageErrorBeforeTheScriptRuns)
{
    files.write("noisy.js", "print('script ran'); function f() {}\n");
    QorjsRun result = run({"--call", "f", "noisy.js", "1", "Ada"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err, AllOf(HasSubstr("argument 2"), HasSubstr("'Ada'")));
}

TEST_F(QorjsCall, CallsIntoAModuleProgramAndNamesTheFunctionsFileOnAThrow)
{
    files.write("api.mjs",
                "export function twice(x) { return x * 2; }\n"
                "export function broken() {\n"
                "  throw new RangeError('out of range');\n"
                "}\n");
    files.write("main.mjs", "import * as api from './api.mjs';\nglobalThis.api = api;\n");
    QorjsRun twice = run({"--call", "api.twice", "main.mjs", "4"});
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(twice.out, "8\n");

    QorjsRun broken = run({"--call", "api.broken", "main.mjs"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_THAT(broken.err, HasSubstr("file://" + (files.path() / "api.mjs").string() + ":3:"));
}

}  // namespace
}  // namespace qorjs::test

#include "support/QorjsRun.h"

#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <utility>

namespace qorjs::test {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

// Files to write, the command line, and what the run prints; "$DIR" in any
// of them stands for the scratch directory.
struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> arguments;
    std::string out;
};

class QorjsDynamicImport : public ::testing::Test {
protected:
    std::string expand(std::string text) const
    {
        for (auto at = text.find("$DIR"); at != std::string::npos; at = text.find("$DIR", at))
            text.replace(at, 4, files.path().string());
        return text;
    }

    QorjsRun run(const Case& test)
    {
        for (const auto& [file, text] : test.files)
            files.write(file, expand(text));
        std::vector<std::string> arguments;
        for (const auto& argument : test.arguments)
            arguments.push_back(expand(argument));
        return runQorjs(files.path(), arguments);
    }

    std::string url(const std::string& relativePath) const { return files.url(relativePath); }

    void expectRuns(const std::vector<Case>& cases)
    {
        for (const Case& test : cases) {
            SCOPED_TRACE(test.name);
            QorjsRun result = run(test);
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.out, expand(test.out));
        }
    }

    ScratchDirectory files;
};

// A module that counts its evaluations, for "each file once" and "the same
// instance" checks.
const std::pair<std::string, std::string> kCounted{
    "lib/counted.mjs", "globalThis.runs = (globalThis.runs ?? 0) + 1;\nexport const id = {};\n"};

TEST_F(QorjsDynamicImport, ResolvesLikeStaticImportsFromEveryKindOfProgram)
{
    expectRuns({
        {"relative to the importing module, not to the program",
         {{"main.mjs", "const m = await import('./lib/x.mjs');\nconsole.log(await m.y());\n"},
          {"lib/x.mjs", "export const y = async () => (await import('./y.mjs')).name;\n"},
          {"lib/y.mjs", "export const name = 'lib/y';\n"}},
         {"main.mjs"},
         "lib/y\n"},
        {"an absolute path",
         {{"main.mjs", "const m = await import('$DIR/lib/counted.mjs');\nconsole.log(runs);\n"}, kCounted},
         {"main.mjs"},
         "1\n"},
        {"from a classic script",
         {{"lib/main.js", "import('./counted.mjs').then(m => console.log('classic', runs));\n"}, kCounted},
         {"lib/main.js"},
         "classic 1\n"},
        {"from -e code, against the working directory",
         {kCounted},
         {"-e", "import('./lib/counted.mjs').then(() => console.log('eval', runs))"},
         "eval 1\n"},
        {"from eval code, against the module that runs it",
         {{"main.mjs", "import { load } from './lib/x.mjs';\nconsole.log((await load()).id !== undefined, runs);\n"},
          {"lib/x.mjs", "export const load = () => eval(\"import('./counted.mjs')\");\n"},
          kCounted},
         {"main.mjs"},
         "true 1\n"},
        {"into a directory whose name has a blank",
         {{"my dir/main.mjs", "const m = await import('./sub/n.mjs');\nconsole.log(m.n);\n"},
          {"my dir/sub/n.mjs", "export const n = 'nested';\n"}},
         {"my dir/main.mjs"},
         "nested\n"},
    });
}

TEST_F(QorjsDynamicImport, AFileIsOneModuleHoweverAndHowOftenItIsImported)
{
    std::filesystem::create_directories(files.path() / "lib");
    std::filesystem::create_symlink(files.path() / "lib", files.path() / "alias");
    expectRuns({
        {"static, dynamic, through another path and a symbolic link",
         {{"main.mjs",
           "import { id } from './lib/counted.mjs';\n"
           "const a = await import('./lib/counted.mjs');\n"
           "const b = await import('./lib/../alias/counted.mjs');\n"
           "console.log(runs, a.id === id && b.id === id);\n"},
          kCounted},
         {"main.mjs"},
         "1 true\n"},
        {"the program importing itself while it is being evaluated",
         {{"main.mjs",
           "globalThis.runs = (globalThis.runs ?? 0) + 1;\n"
           "import('./main.mjs').then(m => console.log('self', m.x, runs));\n"
           "export const x = 'x';\n"}},
         {"main.mjs"},
         "self x 1\n"},
        {"a cycle closed by import()",
         {{"main.mjs", "const a = await import('./a.mjs');\nconsole.log(await a.viaB());\n"},
          {"a.mjs", "export { viaB } from './b.mjs';\nexport const name = 'a';\n"},
          {"b.mjs",
           "globalThis.bRuns = (globalThis.bRuns ?? 0) + 1;\n"
           "export async function viaB() {\n"
           "  const a = await import('./a.mjs');\n"
           "  return [a.name, a.viaB === viaB, bRuns].join(' ');\n"
           "}\n"}},
         {"main.mjs"},
         "a true 1\n"},
    });
}

TEST_F(QorjsDynamicImport, AFailedImportRejectsWithTheSpecifierTheImporterAndTheReason)
{
    files.write("lib/syntax.mjs", "export const x = ;\n");
    files.write("lib/link.mjs", "import { absent } from './exports.mjs';\n");
    files.write("lib/exports.mjs", "export const present = 1;\n");
    files.write("lib/deep.mjs", "import './missing.mjs';\n");
    const std::string importer = (files.path() / "main.mjs").string();
    const std::string lib = (files.path() / "lib").string();
    const std::string cannot = "Error: cannot import '";
    const struct {
        const char* specifier;
        std::string message;
    } cases[] = {
        {"./none.mjs",
         cannot + "./none.mjs' from " + importer + ": " + files.path().string() + "/none.mjs: No such file or directory"},
        {"./lib", cannot + "./lib' from " + importer + ": cannot read " + lib + ": not a regular file"},
        {"lodash", cannot + "lodash' from " + importer + ": only paths starting with ./, ../ or /"},
        {"./lib/syntax.mjs",
         cannot + "./lib/syntax.mjs' from " + importer + ": it does not compile: SyntaxError: Unexpected token ';' at " +
             url("lib/syntax.mjs") + ":1:18"},
        {"./lib/link.mjs",
         cannot + "./lib/link.mjs' from " + importer +
             ": SyntaxError: The requested module './exports.mjs' does not provide an export named 'absent'"},
        {"./lib/deep.mjs",
         cannot + "./lib/deep.mjs' from " + importer + ": cannot import './missing.mjs' from " + lib +
             "/deep.mjs: " + lib + "/missing.mjs: No such file or directory"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.specifier);
        files.write("main.mjs", std::string("await import('") + test.specifier +
                                    "').then(() => console.log('loaded'), e => console.log(String(e)));\n");
        QorjsRun result = runQorjs(files.path(), {"main.mjs"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_THAT(result.out, HasSubstr(test.message));
        EXPECT_THAT(result.out, Not(HasSubstr("loaded")));
    }
    // Unhandled, the rejection fails the run like any other.
    QorjsRun unhandled = runQorjs(files.path(), {"-e", "import('./none.mjs')"});
    EXPECT_EQ(unhandled.status, 1);
    EXPECT_THAT(unhandled.err, AllOf(HasSubstr("nothing handled it"), HasSubstr("cannot import './none.mjs' from " +
                                                                                   files.path().string() + "/[eval]")));
}

TEST_F(QorjsDynamicImport, AModuleThatThrowsRejectsEveryImportWithWhatItThrew)
{
    files.write("throws.mjs", "globalThis.runs = (globalThis.runs ?? 0) + 1;\nthrow new RangeError('boom');\n");
    files.write("main.mjs",
                "const first = await import('./throws.mjs').catch(e => e);\n"
                "const second = await import('./throws.mjs').catch(e => e);\n"
                "console.log(first instanceof RangeError, first === second, runs);\n");
    QorjsRun caught = runQorjs(files.path(), {"main.mjs"});
    EXPECT_EQ(caught.status, 0) << caught.err;
    EXPECT_EQ(caught.out, "true true 1\n");

    // Nobody catches it: the run fails with the error where it was thrown.
    QorjsRun uncaught = runQorjs(files.path(), {"-e", "import('./throws.mjs')"});
    EXPECT_EQ(uncaught.status, 1);
    EXPECT_THAT(uncaught.err, AllOf(HasSubstr("nothing handled it"), HasSubstr("RangeError: boom"),
                                    HasSubstr(url("throws.mjs") + ":2:7")));
}

TEST_F(QorjsDynamicImport, ImportMetaGivesTheModuleUrlAndResolvesAsAStaticImportWould)
{
    files.write("lib/real.mjs", "export {};\n");
    std::filesystem::create_symlink(files.path() / "lib", files.path() / "alias");
    files.write("my dir/meta.mjs", expand("console.log(import.meta.url);\n"
                                          "console.log(import.meta.resolve('../alias/real.mjs'));\n"
                                          "console.log(import.meta.resolve('./not/yet.mjs'));\n"
                                          "console.log(import.meta.resolve('$DIR/lib/./real.mjs'));\n"
                                          "try { import.meta.resolve('lodash'); } catch (e) { console.log(e.name); }\n"
                                          "throw new Error('where am I');\n"));
    QorjsRun result = runQorjs(files.path(), {"my dir/meta.mjs"});
    const std::string dirUrl = url("my%20dir");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, dirUrl + "/meta.mjs\n" + url("lib/real.mjs") + "\n" + dirUrl + "/not/yet.mjs\n" +
                              url("lib/real.mjs") + "\nTypeError\n");
    // The same text the error report shows.
    EXPECT_THAT(result.err, HasSubstr(dirUrl + "/meta.mjs:6:7: Error: where am I"));
}

TEST_F(QorjsDynamicImport, JsonModulesGiveTheParsedValueAsTheDefaultExport)
{
    files.write("data/config.json", "{\"name\": \"qorjs\", \"list\": [1, 2, {\"deep\": null}]}\n");
    files.write("main.mjs",
                "import config from './data/config.json' assert { type: 'json' };\n"
                "const again = await import('./data/config.json', { assert: { type: 'json' } });\n"
                "console.log(JSON.stringify(config), again.default === config, Object.keys(again).join());\n");
    QorjsRun result = runQorjs(files.path(), {"main.mjs"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "{\"name\":\"qorjs\",\"list\":[1,2,{\"deep\":null}]} true default\n");

    // From a classic script too.
    QorjsRun classic = runQorjs(
        files.path(), {"-e", "import('./data/config.json', { assert: { type: 'json' } }).then(m => "
                             "console.log(m.default.list.length))"});
    EXPECT_EQ(classic.status, 0) << classic.err;
    EXPECT_EQ(classic.out, "3\n");
}

TEST_F(QorjsDynamicImport, AJsonImportFailsWithAnErrorThatNamesTheFile)
{
    const std::string good = (files.path() / "good.json").string();
    files.write("good.json", "{\"a\": 1}\n");
    files.write("bad.json", "{\"a\": 1,}\n");
    files.write("code.mjs", "export default 1;\n");
    const struct {
        const char* name;
        std::string specifier;
        std::string assertion;  // empty for none
        std::string reason;
    } cases[] = {
        {"no assertion", "./good.json", "", good + " is JSON: import it with assert { type: \"json\" }"},
        {"an unknown type", "./good.json", "{ type: 'css' }", good + ": unknown module type \"css\""},
        {"malformed JSON", "./bad.json", "{ type: 'json' }",
         (files.path() / "bad.json").string() + " is not valid JSON: SyntaxError: Unexpected token }"},
        {"JavaScript asserted to be JSON", "./code.mjs", "{ type: 'json' }",
         (files.path() / "code.mjs").string() + " is not valid JSON"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string quoted = "'" + test.specifier + "'";
        files.write("static.mjs", "import x from " + quoted + (test.assertion.empty() ? "" : " assert " + test.assertion) +
                                      ";\nconsole.log('ran');\n");
        QorjsRun staticRun = runQorjs(files.path(), {"static.mjs"});
        EXPECT_EQ(staticRun.status, 1);
        EXPECT_EQ(staticRun.out, "");
        EXPECT_THAT(staticRun.err, AllOf(HasSubstr("cannot import " + quoted), HasSubstr(test.reason)));

        const std::string options = test.assertion.empty() ? "" : ", { assert: " + test.assertion + " }";
        QorjsRun dynamicRun = runQorjs(files.path(), {"-e", "import(" + quoted + options +
                                                                ").then(() => console.log('ran'), e => console.log(String(e)))"});
        EXPECT_EQ(dynamicRun.status, 0) << dynamicRun.err;
        EXPECT_THAT(dynamicRun.out, AllOf(HasSubstr("cannot import " + quoted), HasSubstr(test.reason)));
    }
}

}  // namespace
}  // namespace qorjs::test

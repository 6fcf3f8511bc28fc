#include "support/QorjsRun.h"

#include <gtest/gtest.h>

#include <gmock/gmock.h>

namespace qorjs::test {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

class QorjsModules : public ::testing::Test {
protected:
    QorjsRun run(std::vector<std::string> arguments) { return runQorjs(files.path(), arguments); }
    std::string url(const std::string& relativePath) const { return files.url(relativePath); }

    ScratchDirectory files;
};

TEST_F(QorjsModules, ImportsRunFirstAndEachFileOnceThroughCyclesAndSharedDependencies)
{
    files.write("main.mjs",
                "import { a } from './lib/a.mjs';\n"
                "import { b } from './lib/b.mjs';\n"
                "console.log('main', a(), b(), globalThis.sharedRuns);\n");
    files.write("lib/a.mjs",
                "import { s } from '../shared.mjs';\n"
                "import './b.mjs';\n"
                "console.log('a');\n"
                "export function a() { return 'a' + s; }\n"
                "export function fromA() { return 'A'; }\n");
    files.write("lib/b.mjs",
                "import { s } from '../shared.mjs';\n"
                "import { fromA } from './a.mjs';\n"
                "console.log('b');\n"
                "export function b() { return 'b' + s + fromA(); }\n");
    files.write("shared.mjs", "globalThis.sharedRuns = (globalThis.sharedRuns ?? 0) + 1;\nexport const s = 'S';\n");

    QorjsRun result = run({"main.mjs"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "b\na\nmain aS bSA 1\n");
}

TEST_F(QorjsModules, AFileReachedByTwoPathsIsOneModule)
{
    files.write("lib/counter.mjs", "globalThis.runs = (globalThis.runs ?? 0) + 1;\nexport const id = {};\n");
    std::filesystem::create_symlink(files.path() / "lib", files.path() / "alias");
    files.write("main.mjs",
                "import { id as first } from './lib/counter.mjs';\n"
                "import { id as second } from './alias/../lib/./counter.mjs';\n"
                "import { id as third } from '" +
                    (files.path() / "alias/counter.mjs").string() +
                    "';\n"
                    "console.log(runs, first === second && second === third);\n");
    QorjsRun result = run({"main.mjs"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "1 true\n");
}

TEST_F(QorjsModules, TheModuleOptionTreatsAnyFileAsAModule)
{
    files.write("dep.js", "export const answer = 42;\n");
    files.write("main.js", "import { answer } from './dep.js';\nconsole.log(answer);\n");
    QorjsRun result = run({"--module", "main.js"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "42\n");
}

TEST_F(QorjsModules, AnImportThatCannotBeFoundNamesTheSpecifierTheImporterAndTheReason)
{
    files.write("main.mjs", "import './lib/a.mjs';\nconsole.log('main ran');\n");
    files.write("lib/a.mjs", "import './nope.mjs';\n");
    QorjsRun result = run({"main.mjs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err,
                AllOf(HasSubstr("'./nope.mjs'"),
                      HasSubstr((files.path() / "lib/a.mjs").string()),
                      HasSubstr("No such file or directory")));

    // Bare names would need a package lookup.
    files.write("bare.mjs", "import 'some-package';\n");
    EXPECT_THAT(run({"bare.mjs"}).err, HasSubstr("cannot import 'some-package'"));
}

TEST_F(QorjsModules, ASyntaxErrorInAnImportNamesBothFilesAndThePlace)
{
    files.write("main.mjs", "import { x } from './bad.mjs';\nconsole.log('main ran');\n");
    files.write("bad.mjs", "// fine\nexport const x = ;\n");
    QorjsRun result = run({"main.mjs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_THAT(result.err,
                AllOf(HasSubstr("'./bad.mjs'"),
                      HasSubstr((files.path() / "main.mjs").string()),
                      HasSubstr(url("bad.mjs") + ":2:"),
                      HasSubstr("SyntaxError")));
}

TEST_F(QorjsModules, AThrowInAnImportIsReportedWhereItHappened)
{
    files.write("main.mjs", "import './throws.mjs';\nconsole.log('main ran');\n");
    files.write("throws.mjs", "console.log('dep ran');\nthrow new Error('boom');\n");
    QorjsRun result = run({"main.mjs"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "dep ran\n");
    EXPECT_THAT(result.err, HasSubstr(url("throws.mjs") + ":2:7: Error: boom"));
}

TEST_F(QorjsModules, TopLevelAwaitFinishesBeforeTheImporterRuns)
{
    files.write("main.mjs", "import './slow.mjs';\nconsole.log('main');\n");
    files.write("slow.mjs",
                "await Promise.resolve();\n"
                "await new Promise((resolve) => Promise.resolve().then(resolve));\n"
                "console.log('slow done');\n");
    QorjsRun result = run({"main.mjs"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "slow done\nmain\n");
}

TEST_F(QorjsModules, ARejectedOrNeverSettledTopLevelAwaitFails)
{
    files.write("rejects.mjs", "await null;\nawait Promise.reject(new Error('nope'));\nconsole.log('after');\n");
    QorjsRun rejected = run({"rejects.mjs"});
    EXPECT_EQ(rejected.status, 1);
    EXPECT_EQ(rejected.out, "");
    EXPECT_THAT(rejected.err, HasSubstr(url("rejects.mjs") + ":2:22: Error: nope"));

    files.write("waits.mjs", "await new Promise(() => {});\nconsole.log('after');\n");
    QorjsRun waiting = run({"waits.mjs"});
    EXPECT_EQ(waiting.status, 1);
    EXPECT_EQ(waiting.out, "");
    EXPECT_THAT(waiting.err, HasSubstr("top-level await"));
}

}  // namespace
}  // namespace qorjs::test

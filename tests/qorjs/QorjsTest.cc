// The qorjs runner end to end: the built binary, its standard output,
// standard error and exit status for each way a user calls it: output,
// error rendering, usage errors, and rejections nothing handles.
#include "support/QorjsRun.h"

#include <qor/javascript/Version.h>

#include <v8-initialization.h>

namespace qorjs::test {
namespace {

using namespace ::testing;

TEST(Qorjs, OutputErrorRenderingAndExitStatus)
{
    ScratchDirectory dir;
    dir.write("args.js", "print(JSON.stringify(arguments));");
    dir.write("fail.js", "function f() {\n\tif (f) missing();\n}\nf();\n");
    const std::string url = dir.url("fail.js"), eval = dir.url("[eval]");
    const auto oneLine = MatchesRegex("qorjs: [^\n]+\n");

    expectRuns(dir.path(), {
        {"", {"-e", "print('p', 1); console.log({a: 1}, [2]); console.info('i'); console.warn('w'); "
                "console.debug('d'); console.error('e');"}, "",
         "p 1\n{\"a\":1} [2]\ni\nd\n", "w\ne\n", 0},
        {"", {"args.js", "a", "b c", "-e", "--help"}, "", "[\"a\",\"b c\",\"-e\",\"--help\"]\n", "", 0},
        {"", {"-e", "print(arguments.length)", "x", "y"}, "", "2\n", "", 0},
        {"", {"-p", "-e", "6 * 7"}, "", "42\n", "", 0},
        {"", {"--print", "-e", "({b: [1]})"}, "", "{\"b\":[1]}\n", "", 0},
        {"", {"-e", "6 * 7"}, "", "", "", 0},
        {"", {"--help"}, "", StartsWith("Usage: qorjs"), "", 0},
        {"", {"--version"}, "", AllOf(HasSubstr(QORJAVASCRIPT_VERSION), HasSubstr(std::string("V8 ") + v8::V8::GetVersion())), "", 0},
        // URL:line:column (from 1): message; the line; carets under startColumn..endColumn; the stack's frames.
        {"", {"fail.js"}, "", "",
         url + ":2:9: ReferenceError: missing is not defined\n\tif (f) missing();\n\t       ^\n    at f (" + url +
             ":2:9)\n    at " + url + ":4:1\n",
         1},
        {"", {"-e", "// first\nvar a = foo bar;"}, "", "",
         eval + ":2:13: SyntaxError: Unexpected identifier\nvar a = foo bar;\n            ^^^\n", 1},
        {"", {"-e", "throw 'plain';"}, "", "", eval + ":1:1: plain\nthrow 'plain';\n^\n", 1},
        {"", {"/nonexistent/none.js"}, "", "", AllOf(oneLine, HasSubstr("/nonexistent/none.js")), 2},
        {"", {"."}, "", "", oneLine, 2},
        {"", {"--bogus"}, "", "", oneLine, 2},
        {"", {"-e"}, "", "", oneLine, 2},
        {"", {"--inspect=port", "a.js"}, "", "", oneLine, 2},
        {"", {"--inspect=65536", "a.js"}, "", "", oneLine, 2},
        {"", {"/proc/self/mem"}, "", "", AllOf(oneLine, HasSubstr("cannot read")), 2},  // a read that fails half-way
        {"", {"-e", "print(Symbol('s'), 1n)"}, "", "Symbol(s) 1\n", "", 0},
        // A rejection nothing handles fails the program; one handled late does not.
        {"", {"-e", "Promise.reject(new Error('lost'))"}, "", "",
         AllOf(StartsWith("qorjs: a promise was rejected and nothing handled it:\n"), HasSubstr(":1:16: Error: lost\n")),
         1},
        {"", {"-e", "const p = Promise.reject(1); p.catch(() => print('handled'))"}, "", "handled\n", "", 0},
    });
}

}  // namespace
}  // namespace qorjs::test

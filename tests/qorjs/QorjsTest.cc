// The qorjs runner end to end: the built binary (QORJS_BINARY), its standard
// output, standard error and exit status.
#include <qor/javascript/Version.h>

#include <gmock/gmock.h>
#include <v8-initialization.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace ::testing;

std::string slurp(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string shellQuoted(std::string_view text)
{
    std::string result = "'";
    for (char c : text)
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

struct Case {
    std::vector<std::string> arguments;
    Matcher<std::string> out, err;
    int status;
};

TEST(Qorjs, OutputErrorRenderingAndExitStatus)
{
    const fs::path dir = fs::temp_directory_path() / ("qorjs-test-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "args.js") << "print(JSON.stringify(arguments));";
    std::ofstream(dir / "fail.js") << "function f() {\n\tif (f) missing();\n}\nf();\n";
    auto urlOf = [](std::string path) {
        for (auto at = path.find(' '); at != std::string::npos; at = path.find(' ', at))
            path.replace(at, 1, "%20");
        return "file://" + path;
    };
    const std::string url = urlOf(dir / "fail.js"), eval = urlOf(fs::current_path() / "[eval]");
    const auto oneLine = MatchesRegex("qorjs: [^\n]+\n");

    const std::vector<Case> cases = {
        {{"-e", "print('p', 1); console.log({a: 1}, [2]); console.info('i'); console.warn('w'); "
                "console.debug('d'); console.error('e');"},
         "p 1\n{\"a\":1} [2]\ni\nd\n", "w\ne\n", 0},
        {{(dir / "args.js").string(), "a", "b c", "-e", "--help"}, "[\"a\",\"b c\",\"-e\",\"--help\"]\n", "", 0},
        {{"-e", "print(arguments.length)", "x", "y"}, "2\n", "", 0},
        {{"-p", "-e", "6 * 7"}, "42\n", "", 0},
        {{"--print", "-e", "({b: [1]})"}, "{\"b\":[1]}\n", "", 0},
        {{"-e", "6 * 7"}, "", "", 0},
        {{"--help"}, StartsWith("Usage: qorjs"), "", 0},
        {{"--version"}, AllOf(HasSubstr(QORJAVASCRIPT_VERSION), HasSubstr(std::string("V8 ") + v8::V8::GetVersion())), "", 0},
        // URL:line:column (from 1): message; the line; carets under startColumn..endColumn; the stack's frames.
        {{(dir / "fail.js").string()}, "",
         url + ":2:9: ReferenceError: missing is not defined\n\tif (f) missing();\n\t       ^\n    at f (" + url +
             ":2:9)\n    at " + url + ":4:1\n",
         1},
        {{"-e", "// first\nvar a = foo bar;"}, "",
         eval + ":2:13: SyntaxError: Unexpected identifier\nvar a = foo bar;\n            ^^^\n", 1},
        {{"-e", "throw 'plain';"}, "", eval + ":1:1: plain\nthrow 'plain';\n^\n", 1},
        {{"/nonexistent/none.js"}, "", AllOf(oneLine, HasSubstr("/nonexistent/none.js")), 2},
        {{dir.string()}, "", oneLine, 2},
        {{"--bogus"}, "", oneLine, 2},
        {{"-e"}, "", oneLine, 2},
        {{"--inspect=port", "a.js"}, "", oneLine, 2},
        {{"--inspect=65536", "a.js"}, "", oneLine, 2},
        {{"/proc/self/mem"}, "", AllOf(oneLine, HasSubstr("cannot read")), 2},  // a read that fails half-way
        {{"-e", "print(Symbol('s'), 1n)"}, "Symbol(s) 1\n", "", 0},
        // A rejection nothing handles fails the program; one handled late does not.
        {{"-e", "Promise.reject(new Error('lost'))"}, "",
         AllOf(StartsWith("qorjs: a promise was rejected and nothing handled it:\n"), HasSubstr(":1:16: Error: lost\n")),
         1},
        {{"-e", "const p = Promise.reject(1); p.catch(() => print('handled'))"}, "handled\n", "", 0},
    };
    for (const Case& c : cases) {
        std::string command = shellQuoted(QORJS_BINARY);
        for (const auto& argument : c.arguments)
            command += " " + shellQuoted(argument);
        command += " </dev/null >" + shellQuoted((dir / "out").string()) + " 2>" + shellQuoted((dir / "err").string());
        const int status = std::system(command.c_str());
        SCOPED_TRACE(command);
        EXPECT_THAT(slurp(dir / "out"), c.out);
        EXPECT_THAT(slurp(dir / "err"), c.err);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status);
    }
    fs::remove_all(dir);
}

}  // namespace

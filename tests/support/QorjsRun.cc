#include "QorjsRun.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qorjs::test {

namespace {

std::string quoted(const std::string& argument)
{
    std::string text = "'";
    for (char c : argument)
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

std::string contentOf(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

QorjsRun runQorjs(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                  const std::string& input)
{
    const std::filesystem::path in = directory / ".qorjs-in";
    const std::filesystem::path out = directory / ".qorjs-out";
    const std::filesystem::path err = directory / ".qorjs-err";
    std::ofstream(in, std::ios::binary) << input;
    std::string command = "cd " + quoted(directory.string()) + " && " + quoted(QORJS_BINARY);
    for (const auto& argument : arguments)
        command += " " + quoted(argument);
    command += " >" + quoted(out.string()) + " 2>" + quoted(err.string()) + " <" + quoted(in.string());

    const int raw = std::system(command.c_str());
    QorjsRun run;
    run.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = contentOf(out);
    run.err = contentOf(err);
    return run;
}

void expectRuns(const std::filesystem::path& directory, const std::vector<RunCase>& cases)
{
    for (const RunCase& c : cases) {
        std::string command = c.name.empty() ? "qorjs" : c.name;
        if (c.name.empty())
            for (const auto& argument : c.arguments)
                command += " " + quoted(argument);
        SCOPED_TRACE(command);
        const QorjsRun run = runQorjs(directory, c.arguments, c.input);
        EXPECT_THAT(run.out, c.out);
        EXPECT_THAT(run.err, c.err);
        EXPECT_EQ(run.status, c.status);
    }
}

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qorjs-run-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a scratch directory");
    // Canonical, so paths compare with what qorjs prints.
    root = std::filesystem::canonical(pattern);
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::filesystem::path ScratchDirectory::write(const std::string& relativePath, const std::string& text) const
{
    const std::filesystem::path file = root / relativePath;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

std::string ScratchDirectory::url(const std::string& relativePath) const
{
    std::string path = (root / relativePath).string();
    for (auto at = path.find(' '); at != std::string::npos; at = path.find(' ', at))
        path.replace(at, 1, "%20");
    return "file://" + path;
}

}  // namespace qorjs::test

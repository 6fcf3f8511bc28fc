#pragma once

#include <gmock/gmock.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qorjs::test {

// What one run of the qorjs binary left behind.
struct QorjsRun {
    int status = -1;  // the exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Runs the qorjs binary of this build with `arguments` in `directory`, with
// `input` as its standard input.
QorjsRun runQorjs(const std::filesystem::path& directory, const std::vector<std::string>& arguments,
                  const std::string& input = "");

// One run and what it must print and return.
struct RunCase {
    std::string name;
    std::vector<std::string> arguments;
    std::string input;  // standard input
    ::testing::Matcher<std::string> out, err;
    int status;
};

// Runs every case in `directory` and checks each against its expectations.
void expectRuns(const std::filesystem::path& directory, const std::vector<RunCase>& cases);

// A private directory for one test's files, removed at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // Writes `text` to `relativePath`, creating the directories on the way;
    // returns the file's absolute path.
    std::filesystem::path write(const std::string& relativePath, const std::string& text) const;

    const std::filesystem::path& path() const { return root; }

    // The file:// URL of `relativePath` inside the directory.
    std::string url(const std::string& relativePath) const;

private:
    std::filesystem::path root;
};

}  // namespace qorjs::test

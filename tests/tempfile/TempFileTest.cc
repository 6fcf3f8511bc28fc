// Temporary script files: a hundred numbered names in turn, distinct across
// threads, the script byte for byte in a file for its owner only, and a
// link, a pipe or another user's file planted at the name refused with an
// exception naming the path and without touching what is there.
#include <qor/javascript/V8Engine.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using qor::format::engine::javascript::V8Engine;

namespace {
std::string contentOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test (a fresh process, so the counter starts anew) writes to a
// directory of its own through TMPDIR.
class TempFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::setenv("TMPDIR", ::mkdtemp(directory.data()), 1), 0); }
    void TearDown() override { fs::remove_all(directory); }
    fs::path named(int n) const
    {
        return fs::path(directory) / (std::string("QorScript").append(n < 10, '0') + std::to_string(n) + ".js");
    }

    std::string directory = (fs::temp_directory_path() / "qorjs-tempfile-XXXXXX").string();
};
}  // namespace

TEST_F(TempFile, NamesCountFromOneThroughAHundredAreDistinctAcrossThreadsAndHoldTheScript)
{
    const std::string script("line one\r\n\xC3\xA9\xE2\x82\xAC\0after zero\n", 22);
    const mode_t previous = ::umask(0);
    EXPECT_EQ(V8Engine::writeToTempFile(script), named(1));
    ::umask(previous);
    EXPECT_EQ(contentOf(named(1)), script);
    EXPECT_EQ(fs::status(named(1)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    for (int number = 2; number <= 100; ++number)
        EXPECT_EQ(V8Engine::writeToTempFile(""), named(number % 100));
    EXPECT_EQ(V8Engine::writeToTempFile("again"), named(1));
    EXPECT_EQ(contentOf(named(1)), "again") << "a reused file is rewritten, not appended to";
    std::vector<fs::path> paths[4];
    for (std::vector<std::jthread> threads; auto& mine : paths)
        threads.emplace_back([&mine] {
            for (int i = 0; i < 25; ++i)
                mine.push_back(V8Engine::writeToTempFile("script"));
        });
    std::set<fs::path> distinct;
    for (const auto& mine : paths)
        distinct.insert(mine.begin(), mine.end());
    EXPECT_EQ(distinct.size(), 100u);
}

TEST_F(TempFile, WhatWasPlantedAtTheNameIsRefusedUntouched)
{
    const fs::path victim = fs::path(directory) / "victim.txt";
    std::ofstream(victim) << "precious";
    fs::create_symlink(victim, named(1));
    fs::create_hard_link(victim, named(2));
    ASSERT_EQ(::mkfifo(named(3).c_str(), 0666), 0);  // opening it must not wait for a reader
    std::ofstream(named(4)) << "theirs";
    const bool superuser = ::geteuid() == 0;  // only a superuser can give a file to another user
    ASSERT_EQ(::chown(named(4).c_str(), 65534, 65534) == 0, superuser);
    for (int number = 1; number <= (superuser ? 4 : 3); ++number) {
        try {
            V8Engine::writeToTempFile("overwrite");
            ADD_FAILURE() << named(number) << " was written";
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.path1(), named(number));
        }
    }
    EXPECT_EQ(contentOf(victim) + contentOf(named(4)), "precioustheirs");
}

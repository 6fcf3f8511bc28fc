// Temporary script files: a hundred numbered names in turn, distinct across
// threads, the script byte for byte in a file for its owner only, and a
// failure to write, or what another user planted at the name, refused with
// an exception naming the path and without touching what is there.
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
constexpr uid_t kNobody = 65534;  // a user and group that own nothing here

std::string contentOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test (a fresh process, so the counter starts anew) writes to a
// directory of its own through TMPDIR.
class TempFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        ::setenv("TMPDIR", pattern.c_str(), 1);
    }
    void TearDown() override
    {
        fs::permissions(pattern, fs::perms::owner_all);
        fs::remove_all(pattern);
    }
    fs::path named(int number) const { return fs::path(pattern) / (std::string(number < 10 ? "QorScript0" : "QorScript") + std::to_string(number) + ".js"); }

    std::string pattern = (fs::temp_directory_path() / "qorjs-tempfile-XXXXXX").string();
};
}  // namespace

TEST_F(TempFile, NamesCountFromOneThroughAHundredAndHoldTheScriptByteForByte)
{
    const std::string script("line one\r\n\xC3\xA9\xE2\x82\xAC\0after zero\n", 22);
    const mode_t previous = ::umask(0);
    EXPECT_EQ(V8Engine::writeToTempFile(script), named(1));
    ::umask(previous);
    EXPECT_EQ(contentOf(named(1)), script);
    EXPECT_EQ(fs::status(named(1)).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    for (int number = 2; number <= 99; ++number)
        EXPECT_EQ(V8Engine::writeToTempFile("x"), named(number));
    EXPECT_EQ(V8Engine::writeToTempFile(""), named(0));
    EXPECT_EQ(V8Engine::writeToTempFile("again"), named(1));
    EXPECT_EQ(contentOf(named(1)), "again") << "a reused file is rewritten, not appended to";
}

TEST_F(TempFile, ThreadsCallingAtOnceGetDifferentNames)
{
    std::vector<fs::path> paths[4];
    std::vector<std::thread> threads;
    for (auto& mine : paths)
        threads.emplace_back([&mine] {
            for (int i = 0; i < 25; ++i)
                mine.push_back(V8Engine::writeToTempFile("script"));
        });
    std::set<fs::path> distinct;
    for (int i = 0; i < 4; ++i) {
        threads[i].join();
        distinct.insert(paths[i].begin(), paths[i].end());
    }
    EXPECT_EQ(distinct.size(), 100u);
}

// In a child process, which gives up being a superuser (who writes anywhere) first.
TEST_F(TempFile, AnUnwritableDirectoryThrowsNamingThePath)
{
    fs::permissions(pattern, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
                std::exit(3);
            try {
                V8Engine::writeToTempFile("x");
            } catch (const std::filesystem::filesystem_error& error) {
                std::exit(error.path1() == named(1) && error.code() == std::errc::permission_denied ? 0 : 2);
            }
            std::exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TempFile, WhatIsPlantedAtTheNameIsRefusedUntouched)
{
    const fs::path victim = fs::path(pattern) / "victim.txt";
    std::ofstream(victim) << "precious";
    fs::create_symlink(victim, named(1));
    fs::create_hard_link(victim, named(2));
    ASSERT_EQ(::mkfifo(named(3).c_str(), 0666), 0);  // opening it must not wait for a reader
    std::ofstream(named(4)) << "theirs";
    const bool asSuperuser = ::geteuid() == 0 && ::chown(named(4).c_str(), kNobody, kNobody) == 0;
    for (int number = 1; number <= (asSuperuser ? 4 : 3); ++number) {
        try {
            V8Engine::writeToTempFile("overwrite");
            ADD_FAILURE() << named(number) << " was written";
        } catch (const std::filesystem::filesystem_error& error) {
            EXPECT_EQ(error.path1(), named(number));
        }
    }
    EXPECT_EQ(contentOf(victim), "precious");
    EXPECT_EQ(contentOf(named(4)), "theirs");
}

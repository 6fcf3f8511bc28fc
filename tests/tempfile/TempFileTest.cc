#include <qor/javascript/V8Engine.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qor::format::engine::javascript::V8Engine;

// A user and group that own nothing here.
constexpr uid_t kNobody = 65534;

std::string contentOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, std::string_view content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Each test gets a temporary directory of its own through TMPDIR, so tests
// that run at the same time do not write each other's files. Every test runs
// in a fresh process, so the file counter starts at 0.
class TempFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "qorjs-tempfile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        ::setenv("TMPDIR", directory.c_str(), 1);
    }

    void TearDown() override
    {
        fs::permissions(directory, fs::perms::owner_all);
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }

    fs::path named(int number) const
    {
        return directory / ((number < 10 ? "QorScript0" : "QorScript") + std::to_string(number) + ".js");
    }

    fs::path directory;
};

TEST_F(TempFile, NamesCountFromOneAndCycleThroughAHundred)
{
    EXPECT_EQ(V8Engine::writeToTempFile("first"), named(1));
    for (int number = 2; number <= 99; ++number)
        EXPECT_EQ(V8Engine::writeToTempFile("x"), named(number));
    EXPECT_EQ(V8Engine::writeToTempFile("hundredth"), named(0));
    EXPECT_EQ(V8Engine::writeToTempFile("again"), named(1));
    // The reused file is rewritten, not appended to.
    EXPECT_EQ(contentOf(named(1)), "again");
}

TEST_F(TempFile, ThreadsCallingAtOnceGetDifferentNames)
{
    std::vector<std::vector<fs::path>> pathsByThread(4);
    std::vector<std::thread> threads;
    for (auto& paths : pathsByThread)
        threads.emplace_back([&paths] {
            for (int i = 0; i < 25; ++i)
                paths.push_back(V8Engine::writeToTempFile("script"));
        });
    for (auto& thread : threads)
        thread.join();

    std::set<fs::path> distinct;
    for (const auto& paths : pathsByThread)
        distinct.insert(paths.begin(), paths.end());
    EXPECT_EQ(distinct.size(), 100u);
}

TEST_F(TempFile, StoresTheScriptByteForByte)
{
    const std::string script("line one\r\nline \xC3\xA9\xE2\x82\xAC two\r\n\0after zero\n", 39);
    EXPECT_EQ(contentOf(V8Engine::writeToTempFile(script)), script);

    const fs::path empty = V8Engine::writeToTempFile("");
    ASSERT_TRUE(fs::exists(empty));
    EXPECT_EQ(fs::file_size(empty), 0u);
}

TEST_F(TempFile, ANewFileIsForItsOwnerOnly)
{
    const mode_t previous = ::umask(0);
    const fs::path path = V8Engine::writeToTempFile("secret");
    ::umask(previous);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

// Run in a child process: a superuser writes anywhere, so the child gives
// that up first.
TEST_F(TempFile, AnUnwritableDirectoryThrowsAndLeavesNoFile)
{
    fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
                std::exit(3);
            try {
                V8Engine::writeToTempFile("x");
                std::exit(1);
            } catch (const std::filesystem::filesystem_error& error) {
                std::exit(error.path1() == named(1) && error.code() == std::errc::permission_denied ? 0 : 2);
            }
        },
        ::testing::ExitedWithCode(0),
        "");
    EXPECT_FALSE(fs::exists(named(1)));
}

// What another user could plant at the predictable name in a shared
// directory must not redirect the write or be overwritten.
TEST_F(TempFile, APlantedSymbolicLinkIsNotFollowed)
{
    const fs::path victim = directory / "victim.txt";
    writeFile(victim, "precious");
    fs::create_symlink(victim, named(1));

    try {
        V8Engine::writeToTempFile("overwrite");
        FAIL() << "no exception";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.path1(), named(1));
        EXPECT_NE(std::string(error.what()).find(named(1).string()), std::string::npos);
    }
    EXPECT_EQ(contentOf(victim), "precious");
    EXPECT_TRUE(fs::is_symlink(named(1)));
}

TEST_F(TempFile, AHardLinkAFifoOrAFileOfAnotherUserIsRefusedUntouched)
{
    const fs::path victim = directory / "victim.txt";
    writeFile(victim, "precious");
    fs::create_hard_link(victim, named(1));
    EXPECT_THROW(V8Engine::writeToTempFile("overwrite"), std::system_error);
    EXPECT_EQ(contentOf(victim), "precious");

    // O_NONBLOCK: opening a FIFO must not wait for a reader.
    ASSERT_EQ(::mkfifo(named(2).c_str(), 0666), 0);
    EXPECT_THROW(V8Engine::writeToTempFile("x"), std::system_error);

    if (::geteuid() != 0)
        return;  // only a superuser can give a file to another user
    writeFile(named(3), "theirs");
    ASSERT_EQ(::chown(named(3).c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(named(3).c_str(), 0666), 0);
    EXPECT_THROW(V8Engine::writeToTempFile("ours"), std::system_error);
    EXPECT_EQ(contentOf(named(3)), "theirs");
}

}  // namespace

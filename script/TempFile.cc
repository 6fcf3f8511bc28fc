#include <qor/javascript/V8Engine.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#ifdef _WIN32
#    include "script/TempDirectoryWindows.h"

#    include <windows.h>

#    include <fstream>
#else
#    include <fcntl.h>
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace qor::format::engine::javascript {

namespace {

// The number of the most recently named file, 0 to 99. Atomic, so that
// threads calling at the same moment get different numbers.
std::atomic<int> scriptFileCounter{0};

int nextScriptNumber()
{
    int current = scriptFileCounter.load();
    while (!scriptFileCounter.compare_exchange_weak(current, (current + 1) % 100))
        ;
    return (current + 1) % 100;
}

// "QorScript01.js": the number padded with zeros to two digits.
std::string scriptFileName(int number)
{
    char name[32];
    std::snprintf(name, sizeof name, "QorScript%02d.js", number);
    return name;
}

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error)
{
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

#ifdef _WIN32

// GetTempPath2W where this kernel32 has it, else GetTempPathW. With no
// temporary path the file name stands alone.
std::filesystem::path temporaryDirectory()
{
    return temporaryDirectoryFrom(GetModuleHandleW(L"kernel32.dll"));
}

void writeScriptFile(const std::filesystem::path& path, std::string_view script)
{
    // The conversion to the file-system code page throws std::system_error
    // for a path it cannot represent.
    const std::string narrow = path.string();
    std::ofstream out(narrow, std::ios::out | std::ios::binary);
    if (!out)
        fail("cannot create the temporary script file", path, errno != 0 ? errno : EIO);
    out.write(script.data(), static_cast<std::streamsize>(script.size()));
    out.close();
    if (!out)
        fail("cannot write the temporary script file", path, errno != 0 ? errno : EIO);
}

#else

// The variables std::filesystem::temp_directory_path reads, in its order,
// else /tmp. The directory is not checked here, unlike there: a missing one
// fails the open below, whose error names the whole path.
std::filesystem::path temporaryDirectory()
{
    for (const char* variable : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"})
        if (const char* value = std::getenv(variable); value != nullptr && *value != '\0')
            return value;
    return "/tmp";
}

// Owns a file descriptor; closes it on the ways out that do not close it
// explicitly.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor(descriptor) {}
    ~FileDescriptor()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return descriptor; }

    // Closes now and returns errno of a failed close, or 0. EINTR is not a
    // failure: Linux has released the descriptor by then, and a second close
    // could hit a descriptor another thread has just opened.
    int close()
    {
        const int result = ::close(descriptor);
        descriptor = -1;
        return result == 0 || errno == EINTR ? 0 : errno;
    }

private:
    int descriptor;
};

// The temporary directory is shared by every user and the names are
// predictable, so another user could plant something at the name before us:
// a symbolic link (not followed: O_NOFOLLOW), a FIFO (O_NONBLOCK keeps open
// from waiting for a reader; anything but a regular file is refused), a file
// of their own, or a hard link to a file of ours elsewhere (both refused
// before anything is truncated). New files are readable and writable by
// their owner only.
void writeScriptFile(const std::filesystem::path& path, std::string_view script)
{
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (file.get() < 0)
        fail("cannot open the temporary script file", path, errno);

    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        fail("cannot inspect the temporary script file", path, errno);
    if (!S_ISREG(status.st_mode))
        fail("the temporary script file is not a regular file", path, EINVAL);
    if (status.st_uid != ::geteuid())
        fail("the temporary script file belongs to another user", path, EPERM);
    if (status.st_nlink != 1)
        fail("the temporary script file has other hard links", path, EPERM);
    if (::ftruncate(file.get(), 0) != 0)
        fail("cannot truncate the temporary script file", path, errno);

    const char* next = script.data();
    std::size_t left = script.size();
    while (left > 0) {
        const ssize_t written = ::write(file.get(), next, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write the temporary script file", path, errno);
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }

    if (const int error = file.close(); error != 0)
        fail("cannot close the temporary script file", path, error);
}

#endif

}  // namespace

std::filesystem::path V8Engine::writeToTempFile(std::string_view script)
{
    const int number = nextScriptNumber();
    const std::filesystem::path path = temporaryDirectory() / scriptFileName(number);
    writeScriptFile(path, script);
    return path;
}

}  // namespace qor::format::engine::javascript

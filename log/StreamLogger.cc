#include <qor/log/QorLog.h>

#include <ostream>
#include <string>

namespace qor::log {

namespace {

std::string levelName(int level)
{
    switch (level) {
    case 0: return "event";
    case 1: return "debug";
    case 2: return "info";
    case 3: return "error";
    case 4: return "fatal";
    default: return "level " + std::to_string(level);
    }
}

}  // namespace

StreamLogger::StreamLogger(std::string name, std::ostream& out, int minimumLevel)
    : loggerName(std::move(name)), out(out), minimumLevel(minimumLevel)
{
}

std::string_view StreamLogger::name() const
{
    return loggerName;
}

void StreamLogger::setLevel(int level)
{
    std::lock_guard lock(mutex);
    minimumLevel = level;
}

void StreamLogger::log(int level, std::initializer_list<std::string_view> pieces)
{
    // The line is built before the lock is taken, so writers wait only for
    // one another's single write.
    std::string line = "[" + loggerName + "] " + levelName(level) + ": ";
    for (std::string_view piece : pieces)
        line += piece;
    line += '\n';

    std::lock_guard lock(mutex);
    if (level < minimumLevel)
        return;
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

void StreamLogger::flush()
{
    std::lock_guard lock(mutex);
    out.flush();
}

}  // namespace qor::log

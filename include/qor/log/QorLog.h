#pragma once

// The host's logging service: a process-wide registry of named loggers.
//
// QorJavaScript writes V8's own failures to the logger registered as "V8".
// A record is a level (higher is more severe) and an ordered list of text
// pieces, which carry their own spacing and are joined without separators.

#include <initializer_list>
#include <ostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#if defined(_WIN32)
#    if defined(QorLog_EXPORTS)
#        define QORLOG_API __declspec(dllexport)
#    else
#        define QORLOG_API __declspec(dllimport)
#    endif
// LoggerInterface's destructor, and with it the class's vtable, is defined
// and exported by QorJavaScript, which calls the interface.
#    if defined(QORJS_BUILDING_LIBRARY)
#        define QORLOG_INTERFACE_API __declspec(dllexport)
#    else
#        define QORLOG_INTERFACE_API __declspec(dllimport)
#    endif
#else
#    define QORLOG_API __attribute__((visibility("default")))
#    define QORLOG_INTERFACE_API __attribute__((visibility("default")))
#endif

namespace qor::log {

// Severity levels as QorJavaScript uses them.
inline constexpr int kLevelEvent = 0;  // V8's event log
inline constexpr int kLevelError = 3;  // errors and out-of-memory reports
inline constexpr int kLevelFatal = 4;  // fatal errors, failed checks, uncaught exceptions

// A named logger. Implementations accept concurrent calls of `log` from any
// thread, and copy what they keep: the pieces die when `log` returns.
class QORLOG_INTERFACE_API LoggerInterface {
public:
    // Empty; defined and exported by QorJavaScript.
    virtual ~LoggerInterface();

    // The name the logger is registered under.
    virtual std::string_view name() const = 0;

    // Records below `minimumLevel` are dropped.
    virtual void setLevel(int minimumLevel) = 0;

    // Writes one record: the pieces joined in order with nothing between them.
    virtual void log(int level, std::initializer_list<std::string_view> pieces) = 0;

    // Pushes buffered records to their destination.
    virtual void flush() = 0;
};

// The process-wide registry. Safe to use from several threads.
class QORLOG_API LogManager {
public:
    // The same manager for the whole process.
    static LogManager& instance();

    // The logger registered under `name`, or an empty pointer when there is none.
    std::shared_ptr<LoggerInterface> getLogger(std::string_view name);

    // Registers `logger` under `logger->name()`, replacing one of the same name.
    // A null logger is ignored.
    void addLogger(std::shared_ptr<LoggerInterface> logger);

    // Unregisters the logger of that name; the registry drops its reference.
    void removeLogger(std::string_view name);

private:
    LogManager() = default;

    std::mutex mutex;
    std::map<std::string, std::shared_ptr<LoggerInterface>, std::less<>> loggers;
};

// A ready logger that writes each record as one line to a stream:
// "[NAME] LEVEL: text", where LEVEL is "event", "debug", "info", "error" or
// "fatal" for levels 0 to 4 and "level N" otherwise. Lines from concurrent
// calls never interleave. The stream must outlive the logger.
//
// Defined in this header: the logging service's library then needs nothing
// of QorJavaScript, which owns the interface's destructor.
class StreamLogger final : public LoggerInterface {
public:
    StreamLogger(std::string name, std::ostream& out, int minimumLevel = kLevelEvent)
        : loggerName(std::move(name)), out(out), minimumLevel(minimumLevel)
    {
    }

    std::string_view name() const override { return loggerName; }

    void setLevel(int level) override
    {
        std::lock_guard lock(mutex);
        minimumLevel = level;
    }

    void log(int level, std::initializer_list<std::string_view> pieces) override
    {
        // V8 reports events often (several for each script it runs): one
        // below the level costs a look at it, not a line built for nothing.
        {
            std::lock_guard lock(mutex);
            if (level < minimumLevel)
                return;
        }
        // The line is built before the lock is taken, so writers wait only
        // for one another's single write.
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

    void flush() override
    {
        std::lock_guard lock(mutex);
        out.flush();
    }

private:
    static std::string levelName(int level)
    {
        static constexpr const char* names[] = {"event", "debug", "info", "error", "fatal"};
        return level >= 0 && level < 5 ? names[level] : "level " + std::to_string(level);
    }

    const std::string loggerName;
    std::ostream& out;
    std::mutex mutex;
    int minimumLevel;
};

}  // namespace qor::log

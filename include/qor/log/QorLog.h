#pragma once

// The host's logging service: a process-wide registry of named loggers.
//
// QorJavaScript writes V8's own failures to the logger registered as "V8".
// A record is a level (higher is more severe) and an ordered list of text
// pieces, which carry their own spacing and are joined without separators.

#include <initializer_list>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#if defined(_WIN32)
#    define QORLOG_API
#else
#    define QORLOG_API __attribute__((visibility("default")))
#endif

namespace qor::log {

// Severity levels as QorJavaScript uses them.
inline constexpr int kLevelEvent = 0;  // V8's event log
inline constexpr int kLevelError = 3;  // errors and out-of-memory reports
inline constexpr int kLevelFatal = 4;  // fatal errors, failed checks, uncaught exceptions

// A named logger. Implementations accept concurrent calls of `log` from any
// thread, and copy what they keep: the pieces die when `log` returns.
class QORLOG_API LoggerInterface {
public:
    // Defined (empty) and exported by QorJavaScript, so a QorLog without a
    // QorJavaScript beside it in the process does not link.
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
// "fatal" for levels 0 to 4 and "level N" otherwise. Lines from
// concurrent calls never interleave. The stream must outlive the logger.
class QORLOG_API StreamLogger final : public LoggerInterface {
public:
    StreamLogger(std::string name, std::ostream& out, int minimumLevel = kLevelEvent);

    std::string_view name() const override;
    void setLevel(int minimumLevel) override;
    void log(int level, std::initializer_list<std::string_view> pieces) override;
    void flush() override;

private:
    const std::string loggerName;
    std::ostream& out;
    std::mutex mutex;
    int minimumLevel;
};

}  // namespace qor::log

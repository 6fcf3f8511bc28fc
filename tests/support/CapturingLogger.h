#pragma once

// A logger that keeps every record, piece by piece. Header-only, so that the
// internal tests (linked to the library's objects) can use it too.
#include <qor/log/QorLog.h>

#include <mutex>
#include <string>
#include <vector>

namespace qorjs::test {

struct LogRecord {
    int level = 0;
    std::vector<std::string> pieces;
    bool operator==(const LogRecord&) const = default;
};

class CapturingLogger final : public qor::log::LoggerInterface {
public:
    std::string_view name() const override { return "V8"; }
    void setLevel(int) override {}
    void flush() override {}
    void log(int level, std::initializer_list<std::string_view> pieces) override
    {
        std::lock_guard lock(mutex);
        captured.push_back({level, {pieces.begin(), pieces.end()}});
    }
    std::vector<LogRecord> records() const
    {
        std::lock_guard lock(mutex);
        return captured;
    }

    // Registers a new capturing logger as "V8".
    static std::shared_ptr<CapturingLogger> install()
    {
        auto logger = std::make_shared<CapturingLogger>();
        qor::log::LogManager::instance().addLogger(logger);
        return logger;
    }

private:
    mutable std::mutex mutex;
    std::vector<LogRecord> captured;
};

}  // namespace qorjs::test

#include <qor/log/QorLog.h>

#include <utility>

namespace qor::log {

LogManager& LogManager::instance()
{
    static LogManager manager;
    return manager;
}

std::shared_ptr<LoggerInterface> LogManager::getLogger(std::string_view name)
{
    std::lock_guard lock(mutex);
    auto found = loggers.find(name);
    return found == loggers.end() ? nullptr : found->second;
}

void LogManager::addLogger(std::shared_ptr<LoggerInterface> logger)
{
    if (!logger)
        return;
    std::string name(logger->name());
    std::shared_ptr<LoggerInterface> replaced;  // destroyed after the lock is released
    std::lock_guard lock(mutex);
    auto [entry, inserted] = loggers.try_emplace(std::move(name));
    if (!inserted)
        replaced = std::move(entry->second);
    entry->second = std::move(logger);
}

void LogManager::removeLogger(std::string_view name)
{
    std::shared_ptr<LoggerInterface> removed;  // destroyed after the lock is released
    std::lock_guard lock(mutex);
    if (auto found = loggers.find(name); found != loggers.end()) {
        removed = std::move(found->second);
        loggers.erase(found);
    }
}

}  // namespace qor::log

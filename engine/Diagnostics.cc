#include <qor/javascript/V8Engine.h>

#include "engine/Diagnostics.h"

#include <string>

namespace qor::format::engine::javascript {

namespace {

// V8 documents no null texts, but a handler must not fault on one.
std::string_view text(const char* characters)
{
    return characters ? std::string_view(characters) : std::string_view();
}

}  // namespace

std::shared_ptr<qor::log::LoggerInterface> V8Engine::getLogger()
{
    // Looked up once per process and held weakly: the logging service owns
    // the logger, and a logger registered after this lookup is never used.
    static const std::weak_ptr<qor::log::LoggerInterface> cached =
        qor::log::LogManager::instance().getLogger(std::string_view("V8", 2));
    return cached.lock();
}

void V8Engine::fatalError(const char* location, const char* message)
{
    if (auto logger = getLogger())
        logger->log(qor::log::kLevelFatal, {"Fatal error: Location ", text(location), ", Message ", text(message)});
}

void V8Engine::oomeError(const char* location, bool isHeapOom)
{
    if (auto logger = getLogger())
        logger->log(qor::log::kLevelError, {isHeapOom ? "Heap oome error: " : "Oome error: ", text(location)});
}

void V8Engine::logEvent(const char* name, int status)
{
    if (auto logger = getLogger()) {
        const std::string statusText = std::to_string(status);
        logger->log(qor::log::kLevelEvent, {text(name), " ", statusText});
    }
}

bool V8Engine::abortOnUncaughtException(v8::Isolate*)
{
    if (auto logger = getLogger())
        logger->log(qor::log::kLevelFatal, {"Uncaucht exception"});
    return false;
}

void V8Engine::sendErrorToLog(std::string_view message)
{
    if (auto logger = getLogger())
        logger->log(qor::log::kLevelError, {message});
}

void dcheckError(const char* file, int line, const char* message)
{
    if (auto logger = V8Engine::getLogger()) {
        const std::string lineText = std::to_string(line);
        logger->log(qor::log::kLevelFatal, {"Dcheck error : ", text(message), " file: ", text(file), " (", lineText, ")"});
    }
}

}  // namespace qor::format::engine::javascript

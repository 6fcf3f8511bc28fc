#include <qor/log/QorLog.h>

namespace qor::log {

// Defined here rather than in the logging service, so the library owns the
// key function (and with it the vtable) of the interface it calls.
LoggerInterface::~LoggerInterface() = default;

}  // namespace qor::log

#include <qor/javascript/V8Engine.h>

#include "engine/Limits.h"

namespace qor::format::engine::javascript {

std::expected<void, Error> V8Engine::performMicrotaskCheckpoint(v8::Isolate* isolate)
{
    LimitedRun run(isolate);
    isolate->PerformMicrotaskCheckpoint();
    if (auto stopped = run.end())
        return std::unexpected(V8Error::get(Error::Type::Runtime, nullptr, *stopped));
    return {};
}

}  // namespace qor::format::engine::javascript

#pragma once

namespace qor::format::engine::javascript {

// Whether V8Engine::get() has started V8 and reset() has not shut it down:
// flags that V8 reads as it starts can only be set before.
bool engineIsRunning();

}  // namespace qor::format::engine::javascript

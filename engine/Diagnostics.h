#pragma once

namespace qor::format::engine::javascript {

// V8's check-failure handler, installed process-wide at start-up. Level 4:
// "Dcheck error : <message> file: <file> (<line>)".
void dcheckError(const char* file, int line, const char* message);

}  // namespace qor::format::engine::javascript

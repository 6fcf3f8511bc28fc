// The internal check-failure handler, reached through the library's objects.
#include "engine/Diagnostics.h"
#include "support/CapturingLogger.h"

#include <qor/javascript/V8Engine.h>

#include <gtest/gtest.h>

namespace qorjs::test {
namespace {

namespace js = qor::format::engine::javascript;

TEST(DcheckError, LogsTheMessageBeforeTheFileAndTheLineLastAtLevel4)
{
    auto logger = CapturingLogger::install();
    js::dcheckError("a.cc", 12, "m");
    js::dcheckError("src/b.cc", -3, "");
    const std::vector<LogRecord> expected = {
        {4, {"Dcheck error : ", "m", " file: ", "a.cc", " (", "12", ")"}},
        {4, {"Dcheck error : ", "", " file: ", "src/b.cc", " (", "-3", ")"}},
    };
    EXPECT_EQ(logger->records(), expected);
}

TEST(DcheckError, WritesNothingWithoutALogger)
{
    js::dcheckError("a.cc", 1, "m");
    EXPECT_EQ(js::V8Engine::getLogger(), nullptr);
}

}  // namespace
}  // namespace qorjs::test

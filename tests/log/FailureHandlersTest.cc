// V8's failures go to the host's log instead of ending the process: each
// handler writes one record with its level and pieces to the logger named
// "V8", held weakly and looked up once per process (each test is a process
// of its own); the ready stream logger writes one line per record.
#include "engine/Diagnostics.h"
#include "support/CapturingLogger.h"

#include <qor/javascript/V8Engine.h>

#include <gtest/gtest.h>

#include <climits>
#include <sstream>

using namespace qorjs::test;
using Engine = qor::format::engine::javascript::V8Engine;

namespace {
// Each handler once, with the record it writes.
std::vector<LogRecord> callEveryHandler()
{
    Engine::fatalError("loc", "msg");
    Engine::oomeError("heap", true);
    Engine::oomeError("zone", false);
    Engine::logEvent("gc", INT_MIN);
    EXPECT_FALSE(Engine::abortOnUncaughtException(nullptr));
    Engine::sendErrorToLog(std::string("a\0b", 3));
    qor::format::engine::javascript::dcheckError("src/b.cc", -3, "m");
    return {{4, {"Fatal error: Location ", "loc", ", Message ", "msg"}}, {3, {"Heap oome error: ", "heap"}},
            {3, {"Oome error: ", "zone"}}, {0, {"gc", " ", "-2147483648"}}, {4, {"Uncaucht exception"}},
            {3, {std::string("a\0b", 3)}}, {4, {"Dcheck error : ", "m", " file: ", "src/b.cc", " (", "-3", ")"}}};
}
}  // namespace

TEST(FailureHandlers, EachWritesOneRecordWithItsLevelAndPiecesInOrder)
{
    auto logger = CapturingLogger::install();
    const std::vector<LogRecord> expected = callEveryHandler();
    EXPECT_EQ(logger->records(), expected);
}

TEST(FailureHandlers, ALoggerTheServiceDropsIsNotKeptAliveOrWritten)
{
    std::weak_ptr<CapturingLogger> watch = CapturingLogger::install();
    Engine::sendErrorToLog("first");
    EXPECT_EQ(watch.lock()->records().size(), 1u);
    qor::log::LogManager::instance().removeLogger("V8");
    EXPECT_TRUE(watch.expired()) << "the library must hold the logger only weakly";
    callEveryHandler();  // nothing to write to, and nothing fails
    auto replacement = CapturingLogger::install();  // never looked up: the lookup is once per process
    callEveryHandler();
    EXPECT_TRUE(replacement->records().empty());
}

TEST(StreamLogger, WritesOneLinePerRecordAtOrAboveItsLevel)
{
    std::ostringstream out;
    qor::log::StreamLogger logger("V8", out, 1);
    for (int level : {0, 1, 2, 4, 7})
        logger.log(level, {"a", " ", std::to_string(level)});
    logger.setLevel(0);
    logger.log(0, {"gc"});
    EXPECT_EQ(out.str(), "[V8] debug: a 1\n[V8] info: a 2\n[V8] fatal: a 4\n[V8] level 7: a 7\n[V8] event: gc\n");
}

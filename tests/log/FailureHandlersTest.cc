// The engine's failure handlers against a capturing logger named "V8". The
// logger is looked up once per process: each test (a process of its own under
// ctest) sets the logging service up before its first handler call.
#include "support/TestSupport.h"

#include <climits>
#include <functional>

namespace qorjs::test {
namespace {

using Engine = js::V8Engine;

void callEveryHandler()
{
    Engine::fatalError("loc", "msg");
    Engine::oomeError("heap", true);
    Engine::logEvent("gc", 1);
    EXPECT_FALSE(Engine::abortOnUncaughtException(nullptr));
    Engine::sendErrorToLog("text");
}

TEST(FailureHandlers, EachWritesOneRecordWithItsLevelAndPiecesInOrder)
{
    auto logger = CapturingLogger::install();
    const std::string nul("a\0b", 3);
    const std::vector<std::pair<std::function<void()>, LogRecord>> cases = {
        {[] { Engine::fatalError("loc", "msg"); }, {4, {"Fatal error: Location ", "loc", ", Message ", "msg"}}},
        {[] { Engine::oomeError("heap", true); }, {3, {"Heap oome error: ", "heap"}}},
        {[] { Engine::oomeError("zone", false); }, {3, {"Oome error: ", "zone"}}},
        {[] { Engine::logEvent("gc", 1); }, {0, {"gc", " ", "1"}}},
        {[] { Engine::logEvent("gc", INT_MIN); }, {0, {"gc", " ", "-2147483648"}}},
        {[] { EXPECT_FALSE(Engine::abortOnUncaughtException(nullptr)); }, {4, {"Uncaucht exception"}}},
        {[] { Engine::sendErrorToLog(""); }, {3, {""}}},
        {[&] { Engine::sendErrorToLog(nul); }, {3, {nul}}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].first();
        const auto records = logger->records();
        ASSERT_EQ(records.size(), i + 1);
        EXPECT_EQ(records.back(), cases[i].second) << "case " << i;
    }
}

TEST(FailureHandlers, NoLoggerAtTheFirstLookupMeansNoneEver)
{
    Engine::fatalError("before", "any logger");  // the first lookup finds none
    auto logger = CapturingLogger::install();
    callEveryHandler();
    EXPECT_EQ(Engine::getLogger(), nullptr);
    EXPECT_TRUE(logger->records().empty());
}

TEST(FailureHandlers, ALoggerTheServiceDropsIsNotKeptAliveOrWritten)
{
    auto logger = CapturingLogger::install();
    Engine::sendErrorToLog("first");
    ASSERT_EQ(logger->records().size(), 1u);

    std::weak_ptr<CapturingLogger> watch = logger;
    logger.reset();
    qor::log::LogManager::instance().removeLogger("V8");
    EXPECT_TRUE(watch.expired()) << "the library must hold the logger only weakly";
    callEveryHandler();  // nothing to write to, and nothing fails

    auto replacement = CapturingLogger::install();  // never looked up
    callEveryHandler();
    EXPECT_TRUE(replacement->records().empty());
}

}  // namespace
}  // namespace qorjs::test

// The load client's reading of messages: a response matched to the wrong
// request, or a percentile off by one rank, would corrupt every figure it
// reports without failing anything.

#include "Measurements.h"
#include "Protocol.h"

#include <gtest/gtest.h>

namespace qorjs::bench {
namespace {

TEST(LoadClientProtocol, ResponsesAreMatchedByTheirLeadingId)
{
    EXPECT_EQ(responseId(R"({"id":12,"result":{}})"), 12);
    EXPECT_EQ(responseId(R"({"id":3,"error":{"code":-32000}})"), 3);
    EXPECT_FALSE(responseId(R"({"method":"Debugger.paused","params":{"id":1}})"));
    EXPECT_FALSE(responseId(R"({"id":"x"})"));
    // The echo server returns the request itself, which carries the same id.
    EXPECT_EQ(responseId(evaluate(7, "1+1", 1)), 7);
    EXPECT_FALSE(isErrorResponse(evaluate(7, "1+1", 1)));
    EXPECT_TRUE(isErrorResponse(R"({"id":3,"error":{"code":-32000}})"));
    EXPECT_FALSE(isErrorResponse(R"({"id":3,"result":{"error":1}})"));
}

TEST(LoadClientProtocol, EventsAreMatchedByTheWholeMethodName)
{
    EXPECT_TRUE(isEvent(R"({"method":"Debugger.paused","params":{}})", "Debugger.paused"));
    EXPECT_FALSE(isEvent(R"({"method":"Debugger.pausedLater","params":{}})", "Debugger.paused"));
    EXPECT_FALSE(isEvent(R"({"id":1,"method":"Debugger.paused"})", "Debugger.paused"));
}

TEST(LoadClientProtocol, TheAnnouncedContextIsRead)
{
    EXPECT_EQ(createdContextId(
                  R"({"method":"Runtime.executionContextCreated","params":{"context":{"id":4,"origin":"","name":""}}})"),
              4);
    EXPECT_FALSE(createdContextId(R"({"method":"Runtime.executionContextDestroyed","params":{"executionContextId":4}})"));
}

TEST(LoadClientProtocol, ExpressionsAreEscapedAsJsonStrings)
{
    EXPECT_EQ(evaluate(1, "'a\"b\\c'\n", 2),
              R"({"id":1,"method":"Runtime.evaluate","params":{"expression":"'a\"b\\c'\u000a","contextId":2}})");
}

TEST(LoadClientStatistics, PercentilesTakeTheNearestRank)
{
    std::vector<double> samples;
    for (int i = 1; i <= 100; ++i)
        samples.push_back(i);
    EXPECT_EQ(percentile(samples, 0.50), 50);
    EXPECT_EQ(percentile(samples, 0.99), 99);
    EXPECT_EQ(percentile({5}, 0.99), 5);
    EXPECT_EQ(percentile({}, 0.5), 0);
}

}  // namespace
}  // namespace qorjs::bench

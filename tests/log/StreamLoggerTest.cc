// The ready logger: its line format, its level filter, and whole lines under
// concurrent calls.
#include <qor/log/QorLog.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <sstream>
#include <thread>

namespace {

using qor::log::StreamLogger;

TEST(StreamLogger, WritesEachRecordAsOneLineAndDropsThoseBelowItsLevel)
{
    std::ostringstream out;
    StreamLogger logger("V8", out, 1);
    EXPECT_EQ(logger.name(), "V8");
    logger.log(0, {"dropped"});
    for (int level : {1, 2, 3, 4, 7})
        logger.log(level, {"a", " ", std::to_string(level)});
    logger.setLevel(0);
    logger.log(0, {"gc", " ", "1"});
    EXPECT_EQ(out.str(),
              "[V8] debug: a 1\n[V8] info: a 2\n[V8] error: a 3\n[V8] fatal: a 4\n[V8] level 7: a 7\n"
              "[V8] event: gc 1\n");
}

TEST(StreamLogger, ConcurrentRecordsNeverInterleave)
{
    constexpr int kThreads = 8, kRecords = 2000;
    std::ostringstream out;
    StreamLogger logger("V8", out);
    std::vector<std::string> expected;
    std::vector<std::thread> threads;
    std::latch start(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        const std::string filler(50, static_cast<char>('a' + t));
        for (int r = 0; r < kRecords; ++r)
            expected.push_back("[V8] error: " + std::to_string(t) + " " + std::to_string(r) + " " + filler + filler);
        threads.emplace_back([&logger, &start, t, filler] {
            start.arrive_and_wait();
            for (int r = 0; r < kRecords; ++r)
                logger.log(3, {std::to_string(t), " ", std::to_string(r), " ", filler, filler});
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::ranges::sort(lines);
    std::ranges::sort(expected);
    EXPECT_TRUE(lines == expected) << "lines were lost, split or interleaved";
}

}  // namespace

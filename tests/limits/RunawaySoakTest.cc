// Runaway scripts one after another in one isolate, with a normal script
// between each: every runaway ends with its record within its bound, every
// normal script is right, and resident memory comes back. ctest runs a few;
// scripts/soak runs QORJS_SOAK_RUNAWAYS of them.
#include "support/TestSupport.h"

#include <fstream>

using namespace qorjs::test;
using namespace std::chrono_literals;
using LimitsTest = EngineTest;  // scripts/soak runs the test by this name

namespace {
long residentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return 0;
}
}  // namespace

TEST_F(LimitsTest, RunawayScriptsInTurn)
{
    const char* fromEnvironment = std::getenv("QORJS_SOAK_RUNAWAYS");
    const long count = fromEnvironment && *fromEnvironment ? std::stol(fromEnvironment) : 8;
    // What runs away, its record, its time limit (the heap's never reached)
    // and its bound: twice the time limit, or a second past the heap's.
    const std::tuple<const char*, const char*, std::chrono::milliseconds, std::chrono::milliseconds> kinds[] = {
        {"{ for (;;) {} }", "time limit of 100 ms", 100ms, 200ms},
        {"{ const a = []; for (;;) a.push(new Array(1e4).fill(1.5)); }", "limit of 64 MB", 10s, 1s},
        {"{ let s = 'x'; const k = []; for (;;) { s = [s, s].join(''); k.push(s); } }", "limit of 64 MB", 10s, 1s},
        // Refused by the allocator: JavaScript sees V8's RangeError.
        {"{ const k = []; for (;;) k.push(new ArrayBuffer(1 << 20)); }", "RangeError: Array buffer allocation failed", 10s, 1s},
    };
    long start = 0;
    for (long i = -4; i < count; ++i) {  // one of each first, so that what V8 keeps for good is in the start figure
        const auto& [code, expected, timeLimit, bound] = kinds[(i + 4) % 4];
        setLimits({std::size_t{64} << 20, timeLimit});
        const auto began = std::chrono::steady_clock::now();
        const std::string message = outcome(code);
        EXPECT_LT(std::chrono::steady_clock::now() - began, i < 0 ? 10s : bound) << code;
        ASSERT_NE(message.find(expected), std::string::npos) << code << ": " << message;
        ASSERT_EQ(outcome(std::string("[1, 2].map(x => x * ") + std::to_string(i) + ").join()"), std::to_string(i) + "," + std::to_string(2 * i));
        if (i == -1) {
            isolate->LowMemoryNotification();
            start = residentKiB();
        }
    }
    isolate->LowMemoryNotification();
    std::cout << "soak: " << count << " runaways; resident memory " << start << " KiB -> " << residentKiB() << " KiB\n";
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's shadow memory makes the figure meaningless
    EXPECT_LT(residentKiB() - start, 20 * 1024);
#endif
}

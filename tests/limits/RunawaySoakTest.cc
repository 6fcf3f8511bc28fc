// Runaway scripts one after another in one isolate, with a normal script
// between each: every runaway ends with its record within its bound, every
// normal script is right, and resident memory comes back. ctest runs a few;
// scripts/soak runs QORJS_SOAK_RUNAWAYS of them.
#include "support/TestSupport.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace qorjs::test {
namespace {

using LimitsTest = EngineTest;

using namespace std::chrono_literals;

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    return 0;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryIsMeaningful = false;
#else
constexpr bool kResidentMemoryIsMeaningful = true;
#endif

struct Kind {
    const char* name;
    const char* code;
    const char* expected;
    std::chrono::milliseconds timeLimit;
    std::chrono::milliseconds bound;  // twice the time limit, or a second past the heap's
    std::chrono::duration<double> longest{0};
};

TEST_F(LimitsTest, RunawayScriptsInTurn)
{
    const char* fromEnvironment = std::getenv("QORJS_SOAK_RUNAWAYS");
    const long count = fromEnvironment && *fromEnvironment ? std::stol(fromEnvironment) : 8;

    std::array<Kind, 4> kinds = {{
        {"loop", "{ for (;;) {} }", "time limit of 100 ms", 100ms, 200ms},
        {"array growth", "{ const a = []; for (;;) a.push(new Array(1e4).fill(1.5)); }", "limit of 64 MB", 10s,
         1000ms},
        {"string doubling", "{ let s = 'x'; const k = []; for (;;) { s = [s, s].join(''); k.push(s); } }",
         "limit of 64 MB", 10s, 1000ms},
        {"ArrayBuffers", "{ const k = []; for (;;) k.push(new ArrayBuffer(1 << 20)); }", "RangeError", 10s, 1000ms},
    }};

    // One of each first, so that what V8 keeps for good (code, its caches)
    // is in the starting figure.
    for (const Kind& kind : kinds) {
        setLimits({std::size_t{64} << 20, kind.timeLimit});
        outcome(kind.code);
    }
    isolate->LowMemoryNotification();
    const long start = residentKiB();

    for (long i = 0; i < count; ++i) {
        Kind& kind = kinds[static_cast<std::size_t>(i) % kinds.size()];
        // The heap kinds get a time limit they never reach.
        setLimits({std::size_t{64} << 20, kind.timeLimit});
        const auto began = std::chrono::steady_clock::now();
        const std::string message = outcome(kind.code);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        kind.longest = std::max(kind.longest, took);
        ASSERT_NE(message.find(kind.expected), std::string::npos) << kind.name << ": " << message;
        EXPECT_LT(took, kind.bound) << kind.name;
        ASSERT_EQ(outcome("[1, 2, 3].map(x => x * " + std::to_string(i) + ").join()"),
                  std::to_string(i) + "," + std::to_string(2 * i) + "," + std::to_string(3 * i));
    }

    isolate->LowMemoryNotification();
    const long end = residentKiB();
    std::cout << "soak: " << count << " runaways; longest from start to record:";
    for (const Kind& kind : kinds)
        std::cout << " " << kind.name << " " << static_cast<long>(kind.longest.count() * 1000) << " ms;";
    std::cout << " resident memory after a full collection " << start << " KiB -> " << end << " KiB ("
              << (end - start) << " KiB)" << std::endl;
    if (kResidentMemoryIsMeaningful) {
        EXPECT_LT(end - start, 20 * 1024);
    }
}

}  // namespace
}  // namespace qorjs::test

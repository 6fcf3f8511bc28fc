#pragma once

// The four measurements of a debugger connection. Each is bounded in count
// and in time: a target that stalls ends its measurement early with the
// count it reached, and one that stops answering is cut off by a watchdog.
// And the idle attachment: a client that is there and says nothing, while
// the program it is attached to runs.

#include "LoadClient.h"

#include <chrono>
#include <cstddef>
#include <istream>
#include <string>
#include <vector>

namespace qorjs::bench {

struct Limits {
    int warmUp = 300;
    int sequential = 3000;
    int pipelined = 20000;
    std::vector<std::size_t> bigSizes{1u << 20, 15u << 20};
    int bigRepeats = 5;
    int stepWarmUp = 20;
    int steps = 1000;
    // A stalling target spends at most this long in one measurement.
    std::chrono::seconds budget{200};
};

struct Latency {
    int count = 0;
    double p50Us = 0;
    double p99Us = 0;
    double meanUs = 0;
    double minUs = 0;
};

struct Rate {
    int count = 0;
    double seconds = 0;
    double perSecond = 0;
};

struct BigRoundTrip {
    std::size_t bytes = 0;
    std::size_t responseBytes = 0;
    int count = 0;
    double medianMs = 0;
    double minMs = 0;
};

// What the client knows of the server it measures.
struct Target {
    // An inspector answers Runtime.evaluate; the echo server returns the
    // request itself, which carries the same id.
    bool inspector = true;
    // The execution context announced by Runtime.enable (qorjs reports no
    // default one, so every evaluation names it).
    int contextId = 1;
    int nextId = 1;
};

// What the server did while the client sat attached and silent. The times
// are wall-clock milliseconds since the epoch, so that the runner can set
// them beside those the program under test prints (Date.now()).
struct IdleAttachment {
    double attachedAtMs = 0;
    double leftAtMs = 0;
    // Messages the server sent meanwhile: none is asked for.
    int messages = 0;
    // When the server closed the connection, if it did so before the client
    // left; 0 otherwise.
    double serverClosedAtMs = 0;
};

// Sends nothing and reads whatever arrives until `leave` ends (the runner
// closes the client's standard input once the program has finished), then
// closes the connection in the orderly way. `attachedAt` is when the
// handshake completed.
IdleAttachment stayIdle(LoadClient& client, std::chrono::system_clock::time_point attachedAt, std::istream& leave);

// Enables the Runtime and Debugger domains, starts the run and waits until
// the target pauses on its first statement.
void attachPaused(LoadClient& client, Target& target);

Latency sequentialRoundTrips(LoadClient& client, Target& target, const Limits& limits);
Rate pipelinedThroughput(LoadClient& client, Target& target, const Limits& limits);
BigRoundTrip bigRoundTrip(LoadClient& client, Target& target, std::size_t bytes, const Limits& limits);
Rate stepOverRate(LoadClient& client, Target& target, const Limits& limits);

// The value below which `fraction` of the sorted samples lie (nearest rank).
double percentile(const std::vector<double>& sorted, double fraction);

}  // namespace qorjs::bench

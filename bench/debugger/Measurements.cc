#include "Measurements.h"

#include "Protocol.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <thread>

namespace qorjs::bench {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using Clock = std::chrono::steady_clock;

// Cuts the connection when a measurement runs past its deadline, so that a
// target that stops answering cannot hold the run: the blocked read fails.
class Watchdog {
public:
    Watchdog(LoadClient& client, std::chrono::seconds limit)
        : thread([this, &client, limit] {
              std::unique_lock lock(mutex);
              if (!finished.wait_for(lock, limit, [this] { return done; })) {
                  std::cerr << "load client: no answer within " << limit.count() << " s, giving up" << std::endl;
                  client.abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        finished.notify_one();
        thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread thread;
};

// Room for the slowest round trip after the budget has run out.
std::chrono::seconds watchdogLimit(const Limits& limits)
{
    return limits.budget + std::chrono::seconds(60);
}

double microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

std::string evaluateOnePlusOne(const Target& target, int id)
{
    return evaluate(id, "1+1", target.contextId);
}

// Runtime.evaluate of a single-quoted string literal, padded so that the
// whole request is `bytes` long; the answer carries the string back.
std::string evaluateStringOfSize(const Target& target, int id, std::size_t bytes)
{
    const std::size_t frame = evaluate(id, "''", target.contextId).size();
    if (bytes <= frame)
        throw std::invalid_argument("message size too small: " + std::to_string(bytes));
    return evaluate(id, "'" + std::string(bytes - frame, 'a') + "'", target.contextId);
}

}  // namespace

double percentile(const std::vector<double>& sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void attachPaused(LoadClient& client, Target& target)
{
    Watchdog watchdog(client, std::chrono::seconds(30));
    const int runtimeEnable = target.nextId++;
    client.send(request(runtimeEnable, "Runtime.enable"));
    std::optional<int> context;
    for (;;) {
        const std::string message = client.read();
        if (!context)
            context = createdContextId(message);
        if (responseId(message) == runtimeEnable)
            break;
    }
    if (!context)
        throw std::runtime_error("the target announced no execution context");
    target.contextId = *context;

    const int debuggerEnable = target.nextId++;
    client.send(request(debuggerEnable, "Debugger.enable"));
    client.readResponse(debuggerEnable);
    client.send(request(target.nextId++, "Runtime.runIfWaitingForDebugger"));
    client.readEvent("Debugger.paused");
}

Latency sequentialRoundTrips(LoadClient& client, Target& target, const Limits& limits)
{
    Watchdog watchdog(client, watchdogLimit(limits));
    const auto giveUp = Clock::now() + limits.budget;
    for (int i = 0; i < limits.warmUp && Clock::now() < giveUp; ++i) {
        const int id = target.nextId++;
        client.send(evaluateOnePlusOne(target, id));
        client.readResponse(id);
    }

    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(limits.sequential));
    for (int i = 0; i < limits.sequential && Clock::now() < giveUp; ++i) {
        const int id = target.nextId++;
        const std::string message = evaluateOnePlusOne(target, id);
        const auto start = Clock::now();
        client.send(message);
        client.readResponse(id);
        samples.push_back(microseconds(Clock::now() - start));
    }

    Latency latency;
    latency.count = static_cast<int>(samples.size());
    if (samples.empty())
        return latency;
    latency.meanUs = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    std::sort(samples.begin(), samples.end());
    latency.minUs = samples.front();
    latency.p50Us = percentile(samples, 0.50);
    latency.p99Us = percentile(samples, 0.99);
    return latency;
}

Rate pipelinedThroughput(LoadClient& client, Target& target, const Limits& limits)
{
    const int count = limits.pipelined;
    const int firstId = target.nextId;
    target.nextId += count;
    std::vector<std::string> requests;
    requests.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        requests.push_back(evaluateOnePlusOne(target, firstId + i));

    Watchdog watchdog(client, watchdogLimit(limits));
    LoadClient::Stream& ws = client.stream();
    ws.text(true);
    int written = 0;
    int answered = 0;
    boost::system::error_code failure;
    beast::flat_buffer buffer;
    Clock::time_point last;

    // One write and one read outstanding at a time, as the stream allows:
    // the requests go out back to back while the answers are read.
    std::function<void()> writeNext = [&] {
        ws.async_write(asio::buffer(requests[static_cast<std::size_t>(written)]),
                       [&](boost::system::error_code error, std::size_t) {
                           if (error) {
                               failure = error;
                               return;
                           }
                           if (++written < count)
                               writeNext();
                       });
    };
    std::function<void()> readNext = [&] {
        ws.async_read(buffer, [&](boost::system::error_code error, std::size_t) {
            if (error) {
                failure = error;
                return;
            }
            const std::string_view message(static_cast<const char*>(buffer.data().data()), buffer.size());
            const std::optional<int> id = responseId(message);
            if (id && *id >= firstId && *id < firstId + count)
                ++answered;
            buffer.consume(buffer.size());
            if (answered < count)
                readNext();
            else
                last = Clock::now();
        });
    };

    const auto start = Clock::now();
    writeNext();
    readNext();
    client.context().restart();
    client.context().run();
    if (failure)
        throw boost::system::system_error(failure, "pipelined requests");

    Rate rate;
    rate.count = answered;
    rate.seconds = std::chrono::duration<double>(last - start).count();
    rate.perSecond = rate.seconds > 0 ? answered / rate.seconds : 0;
    return rate;
}

BigRoundTrip bigRoundTrip(LoadClient& client, Target& target, std::size_t bytes, const Limits& limits)
{
    Watchdog watchdog(client, watchdogLimit(limits));
    const auto giveUp = Clock::now() + limits.budget;
    BigRoundTrip result;
    result.bytes = bytes;
    std::vector<double> samples;
    // One unmeasured round first: the first large evaluation of a run grows
    // the heap and the buffers of both sides.
    for (int i = 0; i <= limits.bigRepeats && Clock::now() < giveUp; ++i) {
        const int id = target.nextId++;
        const std::string message = evaluateStringOfSize(target, id, bytes);
        const auto start = Clock::now();
        client.send(message);
        const std::string answer = client.readResponse(id);
        const double elapsed = microseconds(Clock::now() - start) / 1000.0;
        if (answer.size() < bytes - 200)
            throw std::runtime_error("the answer to a " + std::to_string(bytes) + "-byte request has only " +
                                     std::to_string(answer.size()) + " bytes");
        result.responseBytes = answer.size();
        if (i > 0)
            samples.push_back(elapsed);
    }
    result.count = static_cast<int>(samples.size());
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        result.minMs = samples.front();
        result.medianMs = percentile(samples, 0.5);
    }
    return result;
}

IdleAttachment stayIdle(LoadClient& client, std::chrono::system_clock::time_point attachedAt, std::istream& leave)
{
    const auto sinceEpoch = [](std::chrono::system_clock::time_point time) {
        return std::chrono::duration<double, std::milli>(time.time_since_epoch()).count();
    };
    IdleAttachment idle;
    idle.attachedAtMs = sinceEpoch(attachedAt);

    LoadClient::Stream& ws = client.stream();
    asio::io_context& context = client.context();
    beast::flat_buffer buffer;
    bool open = true;
    std::function<void()> readNext = [&] {
        ws.async_read(buffer, [&](boost::system::error_code error, std::size_t) {
            if (error) {
                // Our own close ends the read with `closed` too; only a
                // close before we asked for one is the server's.
                if (open)
                    idle.serverClosedAtMs = sinceEpoch(std::chrono::system_clock::now());
                open = false;
                return;
            }
            ++idle.messages;
            buffer.consume(buffer.size());
            readNext();
        });
    };

    // The run lasts until `leave` ends, whether or not the server is still
    // there: the runner decides when the client goes.
    auto keepRunning = asio::make_work_guard(context);
    std::thread waiter([&] {
        std::string line;
        while (std::getline(leave, line)) {
        }
        asio::post(context, [&] {
            idle.leftAtMs = sinceEpoch(std::chrono::system_clock::now());
            if (open) {
                open = false;
                ws.async_close(beast::websocket::close_code::normal, [](boost::system::error_code) {});
            }
            keepRunning.reset();
        });
    });
    readNext();
    context.restart();
    context.run();
    waiter.join();
    return idle;
}

Rate stepOverRate(LoadClient& client, Target& target, const Limits& limits)
{
    Watchdog watchdog(client, watchdogLimit(limits));
    const auto giveUp = Clock::now() + limits.budget;
    const auto step = [&] {
        const int id = target.nextId++;
        client.send(request(id, "Debugger.stepOver"));
        // The answer, Debugger.resumed and Debugger.paused, in whatever order
        // the server sends them; the step is done when both the answer and
        // the new pause have arrived.
        bool answered = false;
        bool paused = false;
        while (!answered || !paused) {
            const std::string message = client.read();
            if (responseId(message) == id) {
                if (isErrorResponse(message))
                    throw std::runtime_error("Debugger.stepOver failed: " + message.substr(0, 300));
                answered = true;
            } else if (isEvent(message, "Debugger.paused")) {
                paused = true;
            }
        }
    };
    for (int i = 0; i < limits.stepWarmUp && Clock::now() < giveUp; ++i)
        step();

    Rate rate;
    const auto start = Clock::now();
    while (rate.count < limits.steps && Clock::now() < giveUp) {
        step();
        ++rate.count;
    }
    rate.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rate.perSecond = rate.seconds > 0 ? rate.count / rate.seconds : 0;
    return rate;
}

}  // namespace qorjs::bench

// qorjs_debug_load: measures one DevTools-protocol server (or the echo
// server) over one WebSocket connection on the loopback interface, and prints
// the figures as one JSON object on standard output.
//
//   qorjs_debug_load --name qorjs --ws ws://127.0.0.1:9300/
//   qorjs_debug_load --name node --json-list 9301
//   qorjs_debug_load --name echo --echo --ws ws://127.0.0.1:9302/
//   qorjs_debug_load --name qorjs-attached --idle --ws ws://127.0.0.1:9303/
//
// The target must be started with a break on its first statement and the
// stepping fixture (bench/fixtures/step-loop.js); --echo skips the debugger
// steps. Counts: --warm-up, --sequential, --pipelined, --big BYTES (repeat
// the option for several sizes), --big-repeats, --steps, and --budget
// SECONDS for the most one measurement may take.
//
// --idle measures nothing: the client attaches, sends nothing, and stays
// until its standard input ends, then closes the connection and prints when
// it attached and left and what the server sent meanwhile (bench/busy/run
// uses it while a busy program runs).

#include "LoadClient.h"
#include "Measurements.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using namespace qorjs::bench;

struct Options {
    std::string name = "target";
    std::optional<std::string> wsUrl;
    std::optional<unsigned short> jsonListPort;
    bool echo = false;
    bool idle = false;
    Limits limits;
};

long number(std::string_view option, std::string_view text)
{
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        throw std::invalid_argument(std::string(option) + " needs a number, not " + std::string(text));
    return value;
}

Options parse(int argc, char** argv)
{
    Options options;
    bool bigGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--echo" || option == "--idle") {
            (option == "--echo" ? options.echo : options.idle) = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::invalid_argument(std::string(option) + " needs a value");
        const std::string_view value = argv[++i];
        if (option == "--name")
            options.name = value;
        else if (option == "--ws")
            options.wsUrl = std::string(value);
        else if (option == "--json-list")
            options.jsonListPort = static_cast<unsigned short>(number(option, value));
        else if (option == "--warm-up")
            options.limits.warmUp = static_cast<int>(number(option, value));
        else if (option == "--sequential")
            options.limits.sequential = static_cast<int>(number(option, value));
        else if (option == "--pipelined")
            options.limits.pipelined = static_cast<int>(number(option, value));
        else if (option == "--big") {
            if (!bigGiven)
                options.limits.bigSizes.clear();
            bigGiven = true;
            options.limits.bigSizes.push_back(static_cast<std::size_t>(number(option, value)));
        } else if (option == "--big-repeats")
            options.limits.bigRepeats = static_cast<int>(number(option, value));
        else if (option == "--steps")
            options.limits.steps = static_cast<int>(number(option, value));
        else if (option == "--budget")
            options.limits.budget = std::chrono::seconds(number(option, value));
        else
            throw std::invalid_argument("unknown option " + std::string(option));
    }
    if (options.wsUrl.has_value() == options.jsonListPort.has_value())
        throw std::invalid_argument("give either --ws or --json-list");
    if (options.echo && options.idle)
        throw std::invalid_argument("--echo and --idle do not go together");
    return options;
}

std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string fixed(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string toJson(const Latency& latency)
{
    return "{\"count\":" + std::to_string(latency.count) + ",\"p50_us\":" + fixed(latency.p50Us) +
           ",\"p99_us\":" + fixed(latency.p99Us) + ",\"mean_us\":" + fixed(latency.meanUs) +
           ",\"min_us\":" + fixed(latency.minUs) + "}";
}

std::string toJson(const Rate& rate)
{
    return "{\"count\":" + std::to_string(rate.count) + ",\"seconds\":" + fixed(rate.seconds) +
           ",\"per_second\":" + fixed(rate.perSecond) + "}";
}

std::string toJson(const IdleAttachment& idle)
{
    return "{\"attached_at_ms\":" + fixed(idle.attachedAtMs) + ",\"left_at_ms\":" + fixed(idle.leftAtMs) +
           ",\"messages\":" + std::to_string(idle.messages) +
           ",\"server_closed_at_ms\":" + fixed(idle.serverClosedAtMs) + "}";
}

std::string toJson(const BigRoundTrip& big)
{
    return "{\"bytes\":" + std::to_string(big.bytes) + ",\"response_bytes\":" + std::to_string(big.responseBytes) +
           ",\"count\":" + std::to_string(big.count) + ",\"median_ms\":" + fixed(big.medianMs) +
           ",\"min_ms\":" + fixed(big.minMs) + "}";
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "qorjs_debug_load: " << error.what() << std::endl;
        return 2;
    }

    try {
        const WsAddress address =
            options.wsUrl ? parseWsUrl(*options.wsUrl) : discoverFromJsonList(*options.jsonListPort);
        LoadClient client(address);
        const std::string head = "{\"name\":" + quoted(options.name) + ",\"ws\":" +
                                 quoted("ws://" + address.host + ":" + std::to_string(address.port) + address.target);
        if (options.idle) {
            const IdleAttachment idle = stayIdle(client, std::chrono::system_clock::now(), std::cin);
            std::cout << head << ",\"idle\":" << toJson(idle) << "}" << std::endl;
            return 0;
        }
        Target target;
        target.inspector = !options.echo;
        if (target.inspector)
            attachPaused(client, target);

        std::ostringstream json;
        json << head;
        json << ",\"sequential\":" << toJson(sequentialRoundTrips(client, target, options.limits));
        json << ",\"pipelined\":" << toJson(pipelinedThroughput(client, target, options.limits));
        json << ",\"big\":[";
        for (std::size_t i = 0; i < options.limits.bigSizes.size(); ++i)
            json << (i ? "," : "") << toJson(bigRoundTrip(client, target, options.limits.bigSizes[i], options.limits));
        json << "]";
        if (target.inspector)
            json << ",\"steps\":" << toJson(stepOverRate(client, target, options.limits));
        json << "}";
        client.close();
        std::cout << json.str() << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "qorjs_debug_load " << options.name << ": " << error.what() << std::endl;
        return 1;
    }
}

#pragma once

// One WebSocket connection to a DevTools-protocol server (or to the echo
// server) on the loopback interface, through Boost.Beast's client side.
// Reads and writes are the blocking calls, so that a measured round trip is
// the server's time plus two system calls; the pipelined measurement drives
// the same stream asynchronously through context().

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <string>
#include <string_view>

namespace qorjs::bench {

// Where a WebSocket endpoint listens: always a loopback address.
struct WsAddress {
    std::string host;
    unsigned short port = 0;
    std::string target = "/";
};

// ws://HOST:PORT/PATH, where HOST must be 127.0.0.1 or localhost; throws
// std::invalid_argument otherwise.
WsAddress parseWsUrl(std::string_view url);

// The first webSocketDebuggerUrl that http://127.0.0.1:PORT/json/list names,
// retried for up to ten seconds while the inspector starts.
WsAddress discoverFromJsonList(unsigned short port);

class LoadClient {
public:
    using Stream = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;

    // Connects (retrying refused attempts for up to ten seconds while the
    // server starts), switches Nagle's algorithm off on its own side, and
    // makes the WebSocket handshake.
    explicit LoadClient(const WsAddress& address);

    void send(std::string_view text);
    std::string read();

    // Reads past events until the response with this id; throws
    // std::runtime_error when the server answers with an error.
    std::string readResponse(int id);

    // Reads until the event `method` arrives and returns it.
    std::string readEvent(std::string_view method);

    Stream& stream() { return ws; }
    boost::asio::io_context& context() { return ioContext; }

    // The orderly close; errors are ignored (the server may already be gone).
    void close();

    // Shuts the socket from another thread, so that a blocked read or write
    // fails at once: the way out of a measurement that overruns.
    void abort();

private:
    boost::asio::io_context ioContext;
    Stream ws{ioContext};
};

}  // namespace qorjs::bench

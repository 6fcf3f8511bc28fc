#pragma once

// A DevTools client for the debugger's tests: Boost.Beast's client side on
// the test's own thread. Every step is bounded (kStepTimeout) and throws
// std::runtime_error when it fails or times out, so no test can hang on it.

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorjs::test {

inline constexpr std::chrono::seconds kStepTimeout{15};

// {"id":ID,"method":"METHOD"} with `params` (a JSON object's text) if given.
std::string command(int id, std::string_view method, std::string_view params = {});

class DebugClient {
public:
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    struct Message {
        std::string text;
        bool binary = false;
    };

    explicit DebugClient(unsigned short port);

    // A listener still waiting for this client is released by one connect.
    ~DebugClient();

    // Connects to 127.0.0.1 at the port, retrying refused attempts for a few
    // seconds: the debugger asks beforeListen a moment before it listens.
    void connect();

    // The WebSocket handshake with this Host header (and Origin, if given).
    // Returns the server's answer; the error is set when it was not accepted.
    std::pair<boost::system::error_code, Response> tryHandshake(const std::string& host,
                                                                 std::optional<std::string> origin = std::nullopt);

    // connect and a handshake that must succeed.
    void open(const std::string& host = "127.0.0.1");

    // A plain HTTP GET on the connection, in place of the upgrade.
    Response plainGet(std::string_view target);

    void send(std::string_view text, bool binary = false);
    Message read();

    // Reads until a message contains `needle`, and returns that message.
    std::string readUntil(std::string_view needle);

    // Reads until the response to the command with this id, and returns it.
    std::string readResponse(int id);

    // Reads until the server closes the WebSocket; returns its close code.
    unsigned readUntilClosed();

    // The orderly close from the client's side.
    void close();

    // Reads the socket's bytes, below the WebSocket, until the server shuts it.
    std::string readRawUntilEof();

    // Writes bytes to the socket below the WebSocket, whatever they are.
    void writeRaw(std::string_view bytes);

    // Writes bytes below the WebSocket while reading the server's answers to
    // them, so that neither side's buffers fill up; returns the first
    // `answerSize` bytes the server sent.
    std::string writeRawReadingAnswers(std::string_view bytes, std::size_t answerSize);

    // After the server has ended its side: keeps this side open, writing a
    // byte now and then, until the server has closed the socket and a write
    // fails. Throws when that has not happened within a minute.
    void holdUntilShut();

    // Leaves at once: the socket is closed with a reset, no close frame, no
    // orderly end of the stream.
    void reset();

    // Every message read so far, in order.
    const std::vector<std::string>& received() const { return history; }

    // Whether messages read from now on are kept for received(); a long run
    // keeps none, so that its memory is the debugger's alone.
    void keepHistory(bool keep) { keepingHistory = keep; }

private:
    template <class Start>
    boost::system::error_code await(Start start);

    unsigned short port;
    boost::asio::io_context ioContext;
    boost::beast::websocket::stream<boost::beast::tcp_stream> ws{ioContext};
    boost::beast::flat_buffer buffer;
    bool connected = false;
    std::vector<std::string> history;
    bool keepingHistory = true;
};

// Whether `text` is the response to the command with this id.
bool isResponse(std::string_view text, int id);

// The bytes of one frame as a client sends it (masked). `claimedLength`, if
// given, is written into the header in place of the payload's true length.
std::string clientFrame(unsigned opcode,
                        std::string_view payload,
                        bool fin = true,
                        std::optional<std::uint64_t> claimedLength = std::nullopt);

inline constexpr unsigned kContinuationFrame = 0x0;
inline constexpr unsigned kTextFrame = 0x1;
inline constexpr unsigned kCloseFrame = 0x8;
inline constexpr unsigned kPingFrame = 0x9;

}  // namespace qorjs::test

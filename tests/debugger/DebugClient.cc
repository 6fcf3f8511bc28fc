#include "debugger/DebugClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket.hpp>

#include <stdexcept>
#include <thread>

namespace qorjs::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

void check(boost::system::error_code error, std::string_view step)
{
    if (error)
        throw std::runtime_error("client " + std::string(step) + ": " + error.message());
}

tcp::endpoint serverAt(unsigned short port)
{
    return {asio::ip::make_address("127.0.0.1"), port};
}

}  // namespace

std::string command(int id, std::string_view method, std::string_view params)
{
    std::string text = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + std::string(method) + "\"";
    if (!params.empty())
        text += ",\"params\":" + std::string(params);
    return text + "}";
}

bool isResponse(std::string_view text, int id)
{
    return text.starts_with("{\"id\":" + std::to_string(id) + ",");
}

std::string clientFrame(unsigned opcode, std::string_view payload, bool fin, std::optional<std::uint64_t> claimedLength)
{
    const std::uint64_t length = claimedLength.value_or(payload.size());
    std::string frame;
    frame += static_cast<char>((fin ? 0x80 : 0x00) | (opcode & 0x0f));
    constexpr char masked = static_cast<char>(0x80);
    if (length < 126) {
        frame += static_cast<char>(masked | static_cast<char>(length));
    } else if (length <= 0xffff) {
        frame += static_cast<char>(masked | 126);
        for (int shift = 8; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xff);
    } else {
        frame += static_cast<char>(masked | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xff);
    }
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    frame.append(key, 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return frame;
}

DebugClient::DebugClient(unsigned short port) : port(port) {}

DebugClient::~DebugClient()
{
    if (connected)
        return;
    asio::io_context context;
    tcp::socket socket(context);
    boost::system::error_code ignored;
    socket.connect(serverAt(port), ignored);
}

// Runs one asynchronous step to its end or to the time-out, after which the
// stream closes its socket and the step fails with beast::error::timeout.
template <class Start>
boost::system::error_code DebugClient::await(Start start)
{
    beast::get_lowest_layer(ws).expires_after(kStepTimeout);
    std::optional<boost::system::error_code> result;
    start([&result](boost::system::error_code error, auto&&...) { result = error; });
    ioContext.restart();
    ioContext.run();
    return result.value_or(asio::error::timed_out);
}

void DebugClient::connect()
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        const boost::system::error_code error =
            await([&](auto handler) { beast::get_lowest_layer(ws).async_connect(serverAt(port), handler); });
        if (!error) {
            connected = true;
            beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true));
            return;
        }
        if (error != asio::error::connection_refused || std::chrono::steady_clock::now() > giveUp)
            check(error, "connect");
        beast::get_lowest_layer(ws).close();
        // Short: the soak connects a thousand times, each a moment early.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::pair<boost::system::error_code, DebugClient::Response> DebugClient::tryHandshake(const std::string& host,
                                                                                       std::optional<std::string> origin)
{
    if (origin)
        ws.set_option(websocket::stream_base::decorator(
            [origin = *origin](websocket::request_type& request) { request.set(http::field::origin, origin); }));
    Response response;
    const boost::system::error_code error =
        await([&](auto handler) { ws.async_handshake(response, host, "/", handler); });
    return {error, std::move(response)};
}

void DebugClient::open(const std::string& host)
{
    connect();
    check(tryHandshake(host).first, "handshake");
}

DebugClient::Response DebugClient::plainGet(std::string_view target)
{
    http::request<http::empty_body> request{http::verb::get, std::string(target), 11};
    request.set(http::field::host, "127.0.0.1");
    beast::tcp_stream& socket = beast::get_lowest_layer(ws);
    check(await([&](auto handler) { http::async_write(socket, request, handler); }), "write");
    Response response;
    check(await([&](auto handler) { http::async_read(socket, buffer, response, handler); }), "read response");
    return response;
}

void DebugClient::send(std::string_view text, bool binary)
{
    ws.binary(binary);
    check(await([&](auto handler) { ws.async_write(asio::buffer(text.data(), text.size()), handler); }), "write");
}

DebugClient::Message DebugClient::read()
{
    buffer.clear();
    check(await([&](auto handler) { ws.async_read(buffer, handler); }), "read");
    Message message{beast::buffers_to_string(buffer.data()), ws.got_binary()};
    if (keepingHistory)
        history.push_back(message.text);
    return message;
}

std::string DebugClient::readUntil(std::string_view needle)
{
    for (;;) {
        Message message = read();
        if (message.text.find(needle) != std::string::npos)
            return message.text;
    }
}

std::string DebugClient::readResponse(int id)
{
    for (;;) {
        Message message = read();
        if (isResponse(message.text, id))
            return message.text;
    }
}

unsigned DebugClient::readUntilClosed()
{
    for (;;) {
        buffer.clear();
        const boost::system::error_code error = await([&](auto handler) { ws.async_read(buffer, handler); });
        if (error == websocket::error::closed)
            return ws.reason().code;
        check(error, "read until closed");
        if (keepingHistory)
            history.push_back(beast::buffers_to_string(buffer.data()));
    }
}

void DebugClient::close()
{
    check(await([&](auto handler) { ws.async_close(websocket::close_code::normal, handler); }), "close");
}

std::string DebugClient::readRawUntilEof()
{
    std::string bytes;
    for (;;) {
        char chunk[512];
        std::size_t got = 0;
        const boost::system::error_code error = await([&](auto handler) {
            beast::get_lowest_layer(ws).async_read_some(asio::buffer(chunk), [&got, handler](auto e, std::size_t n) {
                got = n;
                handler(e);
            });
        });
        bytes.append(chunk, got);
        if (error == asio::error::eof || error == asio::error::connection_reset)
            return bytes;
        check(error, "raw read");
    }
}

void DebugClient::writeRaw(std::string_view bytes)
{
    beast::tcp_stream& socket = beast::get_lowest_layer(ws);
    check(await([&](auto handler) { asio::async_write(socket, asio::buffer(bytes.data(), bytes.size()), handler); }),
          "raw write");
}

std::string DebugClient::writeRawReadingAnswers(std::string_view bytes, std::size_t answerSize)
{
    beast::tcp_stream& socket = beast::get_lowest_layer(ws);
    std::string answers(answerSize, '\0');
    std::optional<boost::system::error_code> written;
    std::optional<boost::system::error_code> read;
    socket.expires_after(kStepTimeout);
    asio::async_write(socket, asio::buffer(bytes.data(), bytes.size()),
                      [&written](boost::system::error_code error, std::size_t) { written = error; });
    asio::async_read(socket, asio::buffer(answers),
                     [&read](boost::system::error_code error, std::size_t) { read = error; });
    ioContext.restart();
    ioContext.run();
    check(written.value_or(asio::error::timed_out), "raw write");
    check(read.value_or(asio::error::timed_out), "raw read");
    return answers;
}

void DebugClient::holdUntilShut()
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < giveUp) {
        const boost::system::error_code error = await([&](auto handler) {
            asio::async_write(beast::get_lowest_layer(ws), asio::buffer("!", 1), handler);
        });
        if (error)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("client: the server never shut the connection");
}

void DebugClient::reset()
{
    tcp::socket& socket = beast::get_lowest_layer(ws).socket();
    boost::system::error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

}  // namespace qorjs::test

#include "LoadClient.h"

#include "Protocol.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket.hpp>

#include <sys/socket.h>

#include <chrono>
#include <charconv>
#include <regex>
#include <stdexcept>
#include <thread>

namespace qorjs::bench {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kStartupWait = std::chrono::seconds(10);

// Larger than any message measured (15 MiB and its echo).
constexpr std::size_t kLargestMessage = 64u << 20;

// Connects to 127.0.0.1 at `port`, retrying while nothing listens yet.
void connectWithRetry(tcp::socket& socket, unsigned short port)
{
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    const auto giveUp = std::chrono::steady_clock::now() + kStartupWait;
    for (;;) {
        boost::system::error_code error;
        socket.connect(endpoint, error);
        if (!error)
            return;
        socket.close();
        if (std::chrono::steady_clock::now() > giveUp)
            throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + error.message());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

WsAddress parseWsUrl(std::string_view url)
{
    static const std::regex form(R"(ws://(127\.0\.0\.1|localhost):([0-9]{1,5})(/.*)?)");
    std::match_results<std::string_view::const_iterator> match;
    if (!std::regex_match(url.begin(), url.end(), match, form))
        throw std::invalid_argument("not a ws:// address on 127.0.0.1: " + std::string(url));
    WsAddress address;
    address.host = "127.0.0.1";
    const std::string port = match[2].str();
    unsigned value = 0;
    std::from_chars(port.data(), port.data() + port.size(), value);
    if (value == 0 || value > 65535)
        throw std::invalid_argument("bad port in " + std::string(url));
    address.port = static_cast<unsigned short>(value);
    if (match[3].matched && match[3].length() > 0)
        address.target = match[3].str();
    return address;
}

WsAddress discoverFromJsonList(unsigned short port)
{
    static const std::regex field(R"re("webSocketDebuggerUrl"\s*:\s*"([^"]+)")re");
    asio::io_context context;
    const auto giveUp = std::chrono::steady_clock::now() + kStartupWait;
    for (;;) {
        tcp::socket socket(context);
        connectWithRetry(socket, port);
        http::request<http::empty_body> request{http::verb::get, "/json/list", 11};
        request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
        http::write(socket, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        std::smatch match;
        if (std::regex_search(response.body(), match, field))
            return parseWsUrl(match[1].str());
        if (std::chrono::steady_clock::now() > giveUp)
            throw std::runtime_error("no inspector target listed at 127.0.0.1:" + std::to_string(port));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

LoadClient::LoadClient(const WsAddress& address)
{
    connectWithRetry(ws.next_layer(), address.port);
    // The client must not be what delays a round trip: every request goes
    // out whole, at once.
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.read_message_max(kLargestMessage);
    ws.auto_fragment(false);
    ws.write_buffer_bytes(64 * 1024);
    ws.handshake(address.host + ":" + std::to_string(address.port), address.target);
}

void LoadClient::send(std::string_view text)
{
    ws.text(true);
    ws.write(asio::buffer(text.data(), text.size()));
}

std::string LoadClient::read()
{
    beast::flat_buffer buffer;
    ws.read(buffer);
    return beast::buffers_to_string(buffer.data());
}

std::string LoadClient::readResponse(int id)
{
    for (;;) {
        std::string message = read();
        if (responseId(message) != id)
            continue;
        if (isErrorResponse(message))
            throw std::runtime_error("request " + std::to_string(id) + " failed: " + message.substr(0, 300));
        return message;
    }
}

std::string LoadClient::readEvent(std::string_view method)
{
    for (;;) {
        std::string message = read();
        if (isEvent(message, method))
            return message;
    }
}

void LoadClient::close()
{
    boost::system::error_code ignored;
    ws.close(beast::websocket::close_code::normal, ignored);
}

void LoadClient::abort()
{
    ::shutdown(ws.next_layer().native_handle(), SHUT_RDWR);
}

}  // namespace qorjs::bench

// qorjs_echo_server: the floor of a WebSocket round trip. It listens on
// 127.0.0.1 at --port, serves one client with Boost.Beast's blocking calls
// and the library defaults (as the debugger's transport does), sends every
// message straight back, and exits when the client closes.
//
// Nagle's algorithm is off on the accepted socket unless --nagle is given,
// which shows what it costs a server that writes a message in several frames.
// --notify BYTES sends an event of that size before each echo, the way an
// inspector with the Debugger domain enabled announces the script that a
// Runtime.evaluate compiled before it answers: two messages per request.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <charconv>
#include <iostream>
#include <string>
#include <string_view>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

int main(int argc, char** argv)
{
    unsigned port = 0;
    std::size_t notifyBytes = 0;
    bool nagle = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (option == "--nagle") {
            nagle = true;
        } else if (option == "--port" && i + 1 < argc) {
            const std::string_view value = argv[++i];
            std::from_chars(value.data(), value.data() + value.size(), port);
        } else if (option == "--notify" && i + 1 < argc) {
            const std::string_view value = argv[++i];
            std::from_chars(value.data(), value.data() + value.size(), notifyBytes);
        } else {
            std::cerr << "usage: qorjs_echo_server --port PORT [--nagle] [--notify BYTES]" << std::endl;
            return 2;
        }
    }
    if (port == 0 || port > 65535) {
        std::cerr << "qorjs_echo_server: --port needs a port from 1 to 65535" << std::endl;
        return 2;
    }

    try {
        asio::io_context context(1);
        tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
        std::cerr << "echo server listening on ws://127.0.0.1:" << port << std::endl;
        tcp::socket socket(context);
        acceptor.accept(socket);
        acceptor.close();
        if (!nagle)
            socket.set_option(tcp::no_delay(true));

        const std::string prefix = "{\"method\":\"Echo.notified\",\"params\":{\"padding\":\"";
        const std::string suffix = "\"}}";
        const std::string event = notifyBytes > prefix.size() + suffix.size()
                                      ? prefix + std::string(notifyBytes - prefix.size() - suffix.size(), 'x') + suffix
                                      : std::string();

        websocket::stream<tcp::socket> ws(std::move(socket));
        // Beast refuses messages over 16 MiB by default; the load client
        // sends up to 15 MiB and reads answers up to 64 MiB, and so does
        // this server, so that a larger --big is measured rather than
        // refused.
        ws.read_message_max(64u << 20);
        ws.accept();
        for (;;) {
            beast::flat_buffer buffer;
            ws.read(buffer);
            ws.binary(ws.got_binary());
            if (!event.empty())
                ws.write(asio::buffer(event));
            ws.write(buffer.data());
        }
    } catch (const boost::system::system_error& error) {
        if (error.code() == websocket::error::closed)
            return 0;
        std::cerr << "qorjs_echo_server: " << error.code().message() << std::endl;
        return 1;
    }
}

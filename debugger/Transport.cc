// The network side of the debugger: listen on 127.0.0.1 for one client, the
// server side of the WebSocket handshake, whole-message reads and writes, and
// the close. Every step is a blocking Boost.Beast call on the isolate's thread,
// except the waits on a client that DebugSocket bounds.

#include <qor/javascript/V8Debugger.h>

#include "debugger/DebugConnection.h"
#include "debugger/Discovery.h"
#include "debugger/ErrorLine.h"
#include "debugger/HandshakeRules.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/multi_buffer.hpp>
#include <boost/beast/core/ostream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket.hpp>

#include <sstream>

namespace qor::format::engine::javascript {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Answers a refused upgrade request. The client may already be gone; the
// refusal stands either way, so a failed write is not reported separately.
void writeForbidden(DebugSocket& socket, unsigned version, const std::string& reason)
{
    http::response<http::string_body> response{http::status::forbidden, version};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.keep_alive(false);
    response.body() = reason + "\n";
    response.prepare_payload();
    boost::system::error_code ignored;
    http::write(socket, response, ignored);
}

#if defined(_WIN32)
// On Windows, address reuse (SO_REUSEADDR) would let another process bind the
// same port and take connections meant for the debugger; SO_EXCLUSIVEADDRUSE
// makes any later bind to the port fail instead. Open, option, bind and
// listen fail as the acceptor's constructor fails, with a system_error.
tcp::acceptor openExclusiveListener(asio::io_context& ioContext, const tcp::endpoint& endpoint)
{
    using exclusive_address_use = asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    tcp::acceptor acceptor(ioContext, endpoint.protocol());
    acceptor.set_option(exclusive_address_use(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    return acceptor;
}
#endif

// The next client of the listener, with Nagle's algorithm off.
DebugSocket acceptOne(tcp::acceptor& acceptor, asio::io_context& context)
{
    DebugSocket socket(tcp::socket{context});
    // A signal to the host ends a blocked accept with EINTR (see DebugSocket).
    boost::system::error_code acceptError;
    do
        acceptor.accept(socket, acceptError);
    while (acceptError == asio::error::interrupted);
    if (acceptError)
        throw boost::system::system_error(acceptError, "accept");
    // A message goes out as several writes (a notification before an
    // answer, a long message in 4 KiB frames). With Nagle's algorithm each
    // small write after the first waits for the client's acknowledgement,
    // which the client delays by up to 40 ms because it is waiting for more:
    // every such exchange would stall. Turning it off changes no byte on the
    // wire, and a socket that refuses it still works, only slower.
    boost::system::error_code noDelayRefused;
    socket.set_option(tcp::no_delay(true), noDelayRefused);
    return socket;
}

// The client's first request, waited for at most kUpgradeRequestWait: the
// client has not been vetted yet, and the listener serves one at a time.
ReceivedRequest receiveRequest(DebugSocket& socket)
{
    ReceivedRequest received;
    bool finished = false;
    http::async_read(socket, received.ahead, received.request,
                     [&](boost::system::error_code error, std::size_t) {
                         received.error = error;
                         finished = true;
                     });
    received.inTime = socket.runUntil(finished, kUpgradeRequestWait);
    return received;
}

// Answers `received` and closes the connection when it is a discovery request
// that the Host and Origin rules let through. Anything else (an upgrade, a
// refused or incomplete request, any other resource) is left to the
// handshake, which answers it as it would without discovery.
bool answerDiscovery(DebugSocket& socket,
                     const ReceivedRequest& received,
                     const DiscoveryTarget& target,
                     const std::vector<std::string>& allowedOrigins,
                     unsigned short port)
{
    if (!received.inTime || received.error || checkUpgradeRequest(received.request, allowedOrigins))
        return false;
    std::optional<http::response<http::string_body>> response = discoveryResponse(received.request, target, port);
    if (!response)
        return false;
    // A client that is gone already has lost only its own answer.
    boost::system::error_code ignored;
    http::write(socket, *response, ignored);
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
    return true;
}

}  // namespace

std::unique_ptr<DebugConnection> V8Debugger::acceptClient(unsigned short port)
{
    auto accepted = std::make_unique<DebugConnection>();
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);

    // Opens, switches address reuse on (exclusive use on Windows), binds and
    // listens with the system's backlog; leaving this function closes the
    // listener, so one client is served per listener.
#if defined(_WIN32)
    tcp::acceptor acceptor = openExclusiveListener(accepted->ioContext, endpoint);
#else
    tcp::acceptor acceptor(accepted->ioContext, endpoint, true);
#endif
    if (listeningCallback)
        listeningCallback(acceptor.local_endpoint().port());

    while (true) {
        DebugSocket socket = acceptOne(acceptor, accepted->ioContext);
        if (discovery) {
            ReceivedRequest received = receiveRequest(socket);
            if (answerDiscovery(socket, received, *discovery, allowedOrigins, acceptor.local_endpoint().port()))
                continue;
            accepted->firstRequest = std::move(received);
        }
        accepted->stream = std::make_unique<DebugConnection::WebSocket>(std::move(socket));
        break;
    }
    client->connectSession();
    return accepted;
}

void V8Debugger::openWebSocket()
{
    if (!connection)
        throw boost::system::system_error(asio::error::not_connected);
    DebugConnection::WebSocket& stream = *connection->stream;

    // The request is read before the WebSocket accepts it, so that Host and
    // Origin can be checked first. As in the WebSocket's own accept, a client
    // that leaves before sending it has closed in an orderly way.
    ReceivedRequest received =
        connection->firstRequest ? std::move(*connection->firstRequest) : receiveRequest(stream.next_layer());
    connection->firstRequest.reset();
    if (!received.inTime)
        throw RefusedHandshake("closed a DevTools connection that sent no complete upgrade request within " +
                               std::to_string(kUpgradeRequestWait.count()) + " seconds");
    if (received.error == http::error::end_of_stream)
        throw boost::system::system_error(websocket::error::closed);
    if (received.error)
        throw boost::system::system_error(received.error);

    const http::request<http::empty_body>& request = received.request;
    if (std::optional<HandshakeRefusal> refusal = checkUpgradeRequest(request, allowedOrigins)) {
        writeForbidden(stream.next_layer(), request.version(), refusal->response);
        throw RefusedHandshake(std::move(refusal->report));
    }
    if (received.ahead.size() == 0) {
        stream.accept(request);
        return;
    }
    // The client sent more behind its request without waiting for the answer:
    // the start of its WebSocket traffic. The WebSocket keeps bytes read ahead
    // of the handshake only when it reads the request itself, so it is handed
    // the request again, as text, with those bytes behind it.
    std::ostringstream requestText;
    requestText << request;
    const std::string requestAndAhead = requestText.str() + beast::buffers_to_string(received.ahead.data());
    stream.accept(asio::buffer(requestAndAhead));
}

std::string V8Debugger::readMessage()
{
    if (!connection)
        throw boost::system::system_error(asio::error::not_connected);
    beast::flat_buffer buffer;
    connection->stream->read(buffer);
    return beast::buffers_to_string(buffer.data());
}

void V8Debugger::send(const std::string& text)
{
    if (!connection)
        return;
    if (!isWebSocketOpen()) {
        dropConnection();
        return;
    }
    DebugConnection::WebSocket& stream = *connection->stream;
    try {
        beast::multi_buffer buffer;
        beast::ostream(buffer) << text;
        // Answer in the kind the client last used: text until it sends binary.
        stream.binary(stream.got_binary());
        stream.write(buffer.data());
    } catch (const boost::system::system_error& error) {
        if (error.code() != websocket::error::closed)
            printErrorLine(error.code().message());
    } catch (const std::exception& error) {
        printErrorLine(error.what());
    }
}

void V8Debugger::dropConnection()
{
    connection.reset();
}

void V8Debugger::closeConnection() noexcept
{
    if (!isWebSocketOpen())
        return;
    DebugConnection& open = *connection;
    try {
        // A client that never answers is shut out after kCloseHandshakeWait.
        bool finished = false;
        open.stream->async_close(websocket::close_code::normal, [&finished](boost::system::error_code) {
            finished = true;
        });
        open.stream->next_layer().runUntil(finished, kCloseHandshakeWait);
    } catch (...) {
        // Closing is best effort; the connection is destroyed with the debugger.
    }
}

bool V8Debugger::isWebSocketOpen() const
{
    return connection && connection->stream->is_open();
}

}  // namespace qor::format::engine::javascript

#include "debugger/Transport.h"

#include "debugger/HandshakeRules.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
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

// The next client of the listener, with Nagle's algorithm off; nullopt when
// none is waiting on a non-blocking listener.
std::optional<DebugSocket> acceptOne(tcp::acceptor& acceptor, asio::io_context& context)
{
    DebugSocket socket(tcp::socket{context});
    // A signal to the host ends a blocked accept with EINTR (see DebugSocket).
    boost::system::error_code acceptError;
    do
        acceptor.accept(socket, acceptError);
    while (acceptError == asio::error::interrupted);
    if (acceptError == asio::error::would_block || acceptError == asio::error::try_again)
        return std::nullopt;
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
    return std::optional<DebugSocket>(std::move(socket));
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

void closeAnswered(DebugSocket& socket)
{
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

}  // namespace

Transport::Transport(const TransportRules& rules) : rules(rules) {}

Transport::~Transport()
{
    close();
}

void Transport::openListener(Listener& listener, unsigned short port)
{
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    // Opens, switches address reuse on (exclusive use on Windows), binds and
    // listens with the system's backlog.
#if defined(_WIN32)
    listener.acceptor = openExclusiveListener(listener.context, endpoint);
#else
    listener.acceptor = tcp::acceptor(listener.context, endpoint, true);
#endif
    listener.port = listener.acceptor.local_endpoint().port();
}

unsigned short Transport::listen(unsigned short port)
{
    if (lasting)
        return lasting->port;
    Listener& listener = lasting.emplace();
    try {
        openListener(listener, port);
    } catch (...) {
        lasting.reset();
        throw;
    }
    // Never blocks: clients are taken when the watch says one is waiting.
    listener.acceptor.non_blocking(true);
    if (rules.listening)
        rules.listening(listener.port);
    return listener.port;
}

void Transport::openListenerForOneClient(unsigned short port)
{
    if (lasting)
        return;
    forOneClient.emplace();
    try {
        openListener(*forOneClient, port);
    } catch (...) {
        forOneClient.reset();
        throw;
    }
    if (rules.listening)
        rules.listening(forOneClient->port);
}

void Transport::acceptClient()
{
    Listener& listener = lasting ? *lasting : *forOneClient;
    const bool wasNonBlocking = listener.acceptor.non_blocking();
    listener.acceptor.non_blocking(false);
    struct Restore {
        tcp::acceptor& acceptor;
        bool nonBlocking;
        ~Restore()
        {
            boost::system::error_code ignored;
            acceptor.non_blocking(nonBlocking, ignored);
        }
    } restore{listener.acceptor, wasNonBlocking};

    while (!connection) {
        // The socket is declared after its context, so that it goes first.
        auto fresh = std::make_unique<DebugConnection>();
        std::optional<DebugSocket> socket = acceptOne(listener.acceptor, fresh->ioContext);
        if (socket && handshake(*fresh, *socket))
            connection = std::move(fresh);
    }
    // One client per listener opened for it.
    forOneClient.reset();
    startRead();
}

bool Transport::acceptWaitingClient()
{
    if (connection || !lasting)
        return connected();
    auto fresh = std::make_unique<DebugConnection>();
    std::optional<DebugSocket> socket = acceptOne(lasting->acceptor, fresh->ioContext);
    if (!socket || !handshake(*fresh, *socket))
        return false;
    connection = std::move(fresh);
    startRead();
    return true;
}

bool Transport::handshake(DebugConnection& fresh, DebugSocket& socket)
{
    // The request is read before the WebSocket accepts it, so that Host and
    // Origin can be checked first, and discovery requests told apart.
    ReceivedRequest received = receiveRequest(socket);
    if (!received.inTime)
        throw RefusedHandshake("closed a DevTools connection that sent no complete upgrade request within " +
                               std::to_string(kUpgradeRequestWait.count()) + " seconds");
    // As in the WebSocket's own accept, a client that leaves before sending
    // its request has closed in an orderly way.
    if (received.error == http::error::end_of_stream)
        throw boost::system::system_error(websocket::error::closed);
    if (received.error)
        throw boost::system::system_error(received.error);

    const http::request<http::empty_body>& request = received.request;
    std::optional<HandshakeRefusal> refusal = checkUpgradeRequest(request, rules.allowedOrigins);
    if (rules.discovery && !websocket::is_upgrade(request)) {
        // A discovery request, allowed or not, is answered on its own
        // connection like any other, and the listener goes on.
        const unsigned short port = lasting ? lasting->port : forOneClient->port;
        if (refusal) {
            writeForbidden(socket, request.version(), refusal->response);
            closeAnswered(socket);
            return false;
        }
        if (auto response = discoveryResponse(request, *rules.discovery, port)) {
            boost::system::error_code ignored;
            http::write(socket, *response, ignored);
            closeAnswered(socket);
            return false;
        }
    }
    if (refusal) {
        writeForbidden(socket, request.version(), refusal->response);
        throw RefusedHandshake(std::move(refusal->report));
    }

    fresh.stream = std::make_unique<DebugConnection::WebSocket>(std::move(socket));
    DebugConnection::WebSocket& stream = *fresh.stream;
    if (received.ahead.size() == 0) {
        stream.accept(request);
        return true;
    }
    // The client sent more behind its request without waiting for the answer:
    // the start of its WebSocket traffic. The WebSocket keeps bytes read ahead
    // of the handshake only when it reads the request itself, so it is handed
    // the request again, as text, with those bytes behind it.
    std::ostringstream requestText;
    requestText << request;
    const std::string requestAndAhead = requestText.str() + beast::buffers_to_string(received.ahead.data());
    stream.accept(asio::buffer(requestAndAhead));
    return true;
}

bool Transport::connected() const
{
    return connection != nullptr;
}

void Transport::startRead()
{
    DebugConnection& open = *connection;
    if (open.reading || open.failure)
        return;
    open.reading = true;
    // The handler runs only inside nextMessage's or close's run of the
    // context, while the connection exists.
    open.stream->async_read(open.readBuffer, [&open](boost::system::error_code error, std::size_t) {
        open.reading = false;
        if (error) {
            open.failure = error;
            return;
        }
        open.arrived.push_back(beast::buffers_to_string(open.readBuffer.data()));
        open.readBuffer.clear();
    });
}

std::optional<std::string> Transport::nextMessage(Duration wait)
{
    if (!connection)
        throw boost::system::system_error(asio::error::not_connected);
    DebugConnection& open = *connection;
    if (open.arrived.empty() && !open.failure) {
        if (wait != kNoWait)
            flushHeld();
        const auto deadline = wait == kForever ? std::chrono::steady_clock::time_point::max()
                                               : std::chrono::steady_clock::now() + wait;
        open.ioContext.restart();
        while (open.arrived.empty() && !open.failure) {
            startRead();
            const std::size_t ran = wait == kNoWait     ? open.ioContext.poll_one()
                                    : wait == kForever ? open.ioContext.run_one()
                                                       : open.ioContext.run_one_until(deadline);
            if (ran == 0)
                break;
        }
    }
    if (!open.arrived.empty()) {
        std::string message = std::move(open.arrived.front());
        open.arrived.pop_front();
        if (!open.failure)
            startRead();
        return message;
    }
    if (open.failure) {
        // A write that failed has been reported by its writer: the departure
        // it showed is not reported a second time.
        const boost::system::error_code failure =
            open.failedWriting ? boost::system::error_code(websocket::error::closed) : open.failure;
        drop();
        throw boost::system::system_error(failure);
    }
    return std::nullopt;
}

void Transport::failedWriting(const boost::system::error_code& error)
{
    if (!connection->failure) {
        connection->failure = error;
        connection->failedWriting = true;
    }
    throw boost::system::system_error(error);
}

void Transport::write(std::string_view text)
{
    if (!connection)
        throw boost::system::system_error(websocket::error::closed);
    // A connection whose read has failed is reported as such by the next
    // nextMessage; writing on would only add a second report.
    if (connection->failure)
        return;
    DebugConnection::WebSocket& stream = *connection->stream;
    // Answer in the kind the client last used: text until it sends binary.
    stream.binary(stream.got_binary());
    boost::system::error_code failed;
    stream.write(asio::buffer(text.data(), text.size()), failed);
    if (failed)
        failedWriting(failed);
}

void Transport::beginBatch()
{
    if (!connected())
        return;
    boost::system::error_code ignored;
    connection->stream->next_layer().hold(true, ignored);
}

void Transport::endBatch()
{
    if (!connection)
        return;
    boost::system::error_code failed;
    connection->stream->next_layer().hold(false, failed);
    if (failed && !connection->failure)
        failedWriting(failed);
}

void Transport::flushHeld()
{
    boost::system::error_code failed;
    if (connection && connection->stream->next_layer().sendHeld(failed) && !connection->failure)
        failedWriting(failed);
}

void Transport::drop()
{
    connection.reset();
}

void Transport::close() noexcept
{
    if (!connection || !connection->stream->is_open())
        return;
    DebugConnection& open = *connection;
    try {
        boost::system::error_code ignored;
        open.stream->next_layer().hold(false, ignored);
        // A client that never answers is shut out after kCloseHandshakeWait.
        bool finished = false;
        open.stream->async_close(websocket::close_code::normal, [&finished](boost::system::error_code) {
            finished = true;
        });
        open.stream->next_layer().runUntil(finished, kCloseHandshakeWait);
    } catch (...) {
        // Closing is best effort; the connection is destroyed with the transport.
    }
}

SocketWatch::Handle Transport::watchedHandle() const
{
    if (connection)
        return static_cast<SocketWatch::Handle>(connection->stream->next_layer().native_handle());
    if (lasting)
        return static_cast<SocketWatch::Handle>(lasting->acceptor.native_handle());
    return SocketWatch::kNone;
}

}  // namespace qor::format::engine::javascript

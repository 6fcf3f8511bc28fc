#include "debugger/DebugSocket.h"

#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/query.hpp>

#include <array>

namespace qor::format::engine::javascript {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

DebugSocket::DebugSocket(tcp::socket&& accepted) : tcp::socket(std::move(accepted)) {}

bool DebugSocket::sendHeld(boost::system::error_code& error)
{
    error = {};
    std::size_t sent = 0;
    while (sent < held.size() && !error) {
        sent += tcp::socket::write_some(asio::buffer(held.data() + sent, held.size() - sent), error);
        if (error == asio::error::interrupted)
            error = {};
    }
    held.clear();
    return static_cast<bool>(error);
}

bool DebugSocket::runUntil(const bool& finished, std::chrono::steady_clock::duration limit)
{
    auto& context = static_cast<asio::io_context&>(asio::query(get_executor(), asio::execution::context));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    context.restart();
    while (!finished && context.run_one_until(deadline) > 0) {
    }
    if (finished)
        return true;

    boost::system::error_code ignored;
    shutdown(tcp::socket::shutdown_both, ignored);
    close(ignored);
    context.restart();
    context.run();
    return false;
}

namespace {

// Reads and discards until the client ends its side of the connection. The
// caller's buffer and flags outlive it: runUntil runs it to its end.
class DrainUntilEnd {
public:
    DrainUntilEnd(DebugSocket& socket, asio::mutable_buffer discarded, boost::system::error_code& error, bool& ended)
        : socket(socket), discarded(discarded), error(error), ended(ended)
    {
    }

    void start() { socket.async_read_some(discarded, *this); }

    void operator()(boost::system::error_code readError, std::size_t received)
    {
        // No bytes without an error also means the end (Beast's teardown
        // treats it so too).
        if (!readError && received > 0) {
            start();
            return;
        }
        if (readError != asio::error::eof)
            error = readError;
        ended = true;
    }

private:
    DebugSocket& socket;
    asio::mutable_buffer discarded;
    boost::system::error_code& error;
    bool& ended;
};

}  // namespace

void teardown(boost::beast::role_type role, DebugSocket& socket, boost::system::error_code& error)
{
    error = {};
    if (role == boost::beast::role_type::server)
        socket.shutdown(tcp::socket::shutdown_send, error);
    if (error)
        return;

    std::array<char, 2048> discarded;
    bool ended = false;
    DrainUntilEnd(socket, asio::buffer(discarded), error, ended).start();
    if (!socket.runUntil(ended, kCloseHandshakeWait)) {
        // The socket is closed already; what failed before stays the report.
        error = {};
        return;
    }
    if (error)
        return;
    if (role == boost::beast::role_type::client)
        socket.shutdown(tcp::socket::shutdown_send, error);
    if (error)
        return;
    socket.close(error);
}

}  // namespace qor::format::engine::javascript

#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <utility>

namespace qor::format::engine::javascript {

// A TCP socket whose blocking reads and writes carry on when a signal
// interrupts them.
//
// A signal handler that the host installed without SA_RESTART makes the
// kernel end a blocked recv or send with EINTR, and Asio hands that on as an
// error. Nothing was read or written then, so the call is made again;
// otherwise any signal the host receives while the debugger waits for its
// client would end the session. The WebSocket and the HTTP reads reach these
// functions through the socket's own type; asynchronous operations go
// through Asio's reactor, which restarts interrupted waits itself.
class RestartingSocket : public boost::asio::ip::tcp::socket {
public:
    using boost::asio::ip::tcp::socket::socket;

    template <class MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers, boost::system::error_code& error)
    {
        std::size_t read = 0;
        do
            read = boost::asio::ip::tcp::socket::read_some(buffers, error);
        while (error == boost::asio::error::interrupted);
        return read;
    }

    template <class MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers)
    {
        boost::system::error_code error;
        const std::size_t read = read_some(buffers, error);
        boost::asio::detail::throw_error(error, "read_some");
        return read;
    }

    template <class ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers, boost::system::error_code& error)
    {
        std::size_t written = 0;
        do
            written = boost::asio::ip::tcp::socket::write_some(buffers, error);
        while (error == boost::asio::error::interrupted);
        return written;
    }

    template <class ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers)
    {
        boost::system::error_code error;
        const std::size_t written = write_some(buffers, error);
        boost::asio::detail::throw_error(error, "write_some");
        return written;
    }
};

// The WebSocket closes its next layer through these, found by argument-
// dependent lookup; the socket closes as the TCP socket it is.
inline void teardown(boost::beast::role_type role, RestartingSocket& socket, boost::system::error_code& error)
{
    boost::beast::websocket::teardown(role, static_cast<boost::asio::ip::tcp::socket&>(socket), error);
}

template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, RestartingSocket& socket, TeardownHandler&& handler)
{
    boost::beast::websocket::async_teardown(role, static_cast<boost::asio::ip::tcp::socket&>(socket),
                                            std::forward<TeardownHandler>(handler));
}

}  // namespace qor::format::engine::javascript

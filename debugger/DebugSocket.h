#pragma once

// The TCP socket under the debugger's WebSocket. The session's traffic is
// all blocking calls, and a client may rightly stay silent for hours while a
// script is paused. But at three points the host would wait on a client that
// owes it something, for ever if the client never delivers: its upgrade
// request, its answer to a close frame the host sent, and the end of its side
// of the connection after a close (Beast's teardown reads until then). Those
// waits are bounded here.
//
// Blocking calls cannot be bounded (after a receive time-out Asio's
// synchronous read waits for the socket again), so a bounded wait is an
// asynchronous operation run on the socket's own context for a limited time;
// when the time is up the socket is closed.

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

namespace qor::format::engine::javascript {

// How long a new client has to deliver its whole upgrade request: browsers
// and tools send it at once. The client has not been vetted yet (see
// HandshakeRules.h) and the listener serves one client, so a connection that
// never finishes its request would otherwise lock every client out.
inline constexpr std::chrono::seconds kUpgradeRequestWait{5};

// How long the host waits for the client's side of a close: its close frame
// after the host's, and the end of its connection after the close frames.
inline constexpr std::chrono::seconds kCloseHandshakeWait{5};

// Its blocking reads and writes also carry on when a signal interrupts them:
// a signal handler that the host installed without SA_RESTART makes the
// kernel end a blocked recv or send with EINTR, which Asio hands on as an
// error. Nothing was transferred then, so the call is made again; otherwise
// any signal the host receives while the debugger waits would end the
// session. The WebSocket and the HTTP reads reach these through the socket's
// own type; asynchronous operations go through Asio's reactor, which restarts
// interrupted waits itself.
class DebugSocket : public boost::asio::ip::tcp::socket {
public:
    explicit DebugSocket(boost::asio::ip::tcp::socket&& accepted);

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
        if (holding) {
            // Held writes go out together: one system call and one wake-up
            // of the client for a batch of answers. A held piece past
            // kMostHeld is sent at once rather than copied.
            const std::size_t size = boost::asio::buffer_size(buffers);
            if (held.size() + size <= kMostHeld) {
                error = {};
                for (auto piece = boost::asio::buffer_sequence_begin(buffers);
                     piece != boost::asio::buffer_sequence_end(buffers); ++piece)
                    held.append(static_cast<const char*>(boost::asio::const_buffer(*piece).data()),
                                boost::asio::const_buffer(*piece).size());
                return size;
            }
            if (sendHeld(error))
                return 0;
        }
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

    // Whether writes are held (see write_some); turning it off sends what is
    // held.
    void hold(bool on, boost::system::error_code& error)
    {
        holding = on;
        error = {};
        if (!on)
            sendHeld(error);
    }

    // Sends what is held, keeping the holding as it is. Whether it failed.
    bool sendHeld(boost::system::error_code& error);

    // Runs the socket's I/O context until `finished` is true (the handler of
    // the operation the caller started sets it) or `limit` has passed. At
    // the limit the socket is closed, which fails what is pending at once,
    // and that is run to its end. Whether `finished` came true in time.
    bool runUntil(const bool& finished, std::chrono::steady_clock::duration limit);

private:
    static constexpr std::size_t kMostHeld = 256 * 1024;
    bool holding = false;
    std::string held;
};

// Found by Beast through argument-dependent lookup in place of its own
// teardown for TCP sockets, which it runs inside a blocking read or close
// once the close frames are exchanged or the connection has failed. The same
// steps (shut the sending side, read until the client ends its side, close),
// but the reading for at most kCloseHandshakeWait. A client that is too slow
// costs nothing else: the error Beast is about to report stays the one it
// reports.
void teardown(boost::beast::role_type role, DebugSocket& socket, boost::system::error_code& error);

// The asynchronous teardown, run once a read has seen the close frames
// exchanged or the connection fail, and inside the bounded close. Reads are
// asynchronous (see Transport.h), and a wait for the client's end of the
// connection there would hold the connection, and the next client, for as
// long as the client keeps its socket open. The server closes first, as a
// WebSocket server should: the sending side is shut, then the socket closed.
template <class Handler>
void async_teardown(boost::beast::role_type, DebugSocket& socket, Handler&& handler)
{
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
    boost::asio::post(socket.get_executor(),
                      [handler = std::forward<Handler>(handler)]() mutable { handler(boost::system::error_code{}); });
}

}  // namespace qor::format::engine::javascript

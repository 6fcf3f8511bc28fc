#pragma once

// The debugger's network side: a listener on 127.0.0.1, the server side of
// the WebSocket handshake (with discovery requests answered on the way),
// whole-message reads and writes, and the close. Everything runs on the
// isolate's thread. Reads are asynchronous operations on the connection's
// own I/O context, run only when the transport is asked for a message, so
// that "what has arrived" can be taken without blocking; writes are
// blocking calls, held back while a batch is open and sent together.

#include "debugger/DebugConnection.h"
#include "debugger/Discovery.h"
#include "debugger/SocketWatch.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// Who may connect and what discovery says: set by the host, read by the
// transport at each new listener and handshake.
struct TransportRules {
    std::vector<std::string> allowedOrigins;
    std::unique_ptr<DiscoveryTarget> discovery;
    std::function<void(unsigned short)> listening;
};

// A listening socket with the context its accepted sockets start on.
struct TransportListener {
    boost::asio::io_context context{1};
    boost::asio::ip::tcp::acceptor acceptor{context};
    unsigned short port = 0;
};

class Transport {
public:
    using Duration = std::chrono::steady_clock::duration;
    static constexpr Duration kNoWait = Duration::zero();
    static constexpr Duration kForever = Duration::max();

    explicit Transport(const TransportRules& rules);
    // Closes an open connection as close() does.
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Listens on 127.0.0.1:`port` until the transport goes, serving one
    // client at a time; the port bound (the system's choice for 0). Throws
    // boost::system::system_error when the port cannot be had.
    unsigned short listen(unsigned short port);
    bool listening() const { return lasting.has_value(); }

    // Opens a listener for one client, closed once that client is accepted
    // (the lasting listener instead, if there is one). Throws system_error.
    void openListenerForOneClient(unsigned short port);

    // Blocks until a client's WebSocket is open on the listener opened
    // above. Discovery requests, and discovery requests refused by the Host
    // and Origin rules, are answered on the way and the wait goes on.
    // Throws RefusedHandshake for a refused upgrade, system_error when the
    // client fails the handshake (websocket::error::closed when it left
    // without a word).
    void acceptClient();

    // The lasting listener's waiting client, if any, accepted without
    // blocking on the listener (its handshake still waits up to
    // kUpgradeRequestWait). Whether a WebSocket is open now; throws as
    // acceptClient.
    bool acceptWaitingClient();

    bool connected() const;

    // The next whole message, waiting for it at most `wait`; nullopt when
    // none came. Held writes are sent before any wait. Throws system_error
    // once the connection has failed (websocket::error::closed for a close
    // by the client); the connection is gone then.
    std::optional<std::string> nextMessage(Duration wait);

    // Writes one message in the kind the client last used. Throws
    // system_error.
    void write(std::string_view text);

    // While a batch is open, writes are held and go out as one when it ends
    // (or before the transport waits for the client).
    void beginBatch();
    void endBatch();

    // Forgets the connection without a close frame.
    void drop();
    // Sends a close frame (code 1000) and waits at most kCloseHandshakeWait
    // for the client's. Throws nothing.
    void close() noexcept;

    // The socket with something for the isolate's thread to do when it is
    // readable: the connection's, else the lasting listener's.
    SocketWatch::Handle watchedHandle() const;

private:
    using Listener = TransportListener;

    static void openListener(Listener& listener, unsigned short port);
    // Opens the WebSocket of the client on `socket` (a socket on `fresh`'s
    // context) as `fresh`'s stream; false when its request was a discovery
    // request, answered and closed.
    bool handshake(DebugConnection& fresh, DebugSocket& socket);
    void startRead();
    // Marks the connection failed by a write, and throws.
    [[noreturn]] void failedWriting(const boost::system::error_code& error);
    void flushHeld();

    const TransportRules& rules;
    // Mutable for native_handle(), which Asio does not offer on a const one.
    mutable std::optional<Listener> lasting;
    std::optional<Listener> forOneClient;
    std::unique_ptr<DebugConnection> connection;
};

}  // namespace qor::format::engine::javascript

#pragma once

#include "debugger/RestartingSocket.h"

#include <boost/asio/io_context.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <memory>

namespace qor::format::engine::javascript {

// One accepted DevTools client. The context is never run for the session's
// traffic, which is all blocking calls; only the bounded close at destruction
// runs it. `stream` is declared last so that it goes first: the socket closes
// (without a close frame) before its context is destroyed.
struct DebugConnection {
    using WebSocket = boost::beast::websocket::stream<RestartingSocket>;

    boost::asio::io_context ioContext{1};
    std::unique_ptr<WebSocket> stream;
};

// How long the close at destruction waits for the client's close frame
// before it shuts the socket.
inline constexpr std::chrono::seconds kCloseHandshakeWait{5};

}  // namespace qor::format::engine::javascript

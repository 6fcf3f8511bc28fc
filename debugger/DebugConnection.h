#pragma once

#include "debugger/DebugSocket.h"

#include <boost/asio/io_context.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <memory>

namespace qor::format::engine::javascript {

// One accepted DevTools client. The context is never run for the session's
// traffic, which is all blocking calls; only the bounded waits of DebugSocket
// run it. `stream` is declared last so that it goes first: the socket closes
// (without a close frame) before its context is destroyed.
struct DebugConnection {
    using WebSocket = boost::beast::websocket::stream<DebugSocket>;

    boost::asio::io_context ioContext{1};
    std::unique_ptr<WebSocket> stream;
};

}  // namespace qor::format::engine::javascript

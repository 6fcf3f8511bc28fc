#pragma once

#include "debugger/DebugSocket.h"

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace qor::format::engine::javascript {

// A client's first request, read before the WebSocket takes the socket over.
struct ReceivedRequest {
    bool inTime = false;              // complete, or failed, within kUpgradeRequestWait
    boost::system::error_code error;  // why the read failed, if it did
    boost::beast::http::request<boost::beast::http::empty_body> request;
    boost::beast::flat_buffer ahead;  // what the client sent behind the request
};

// One accepted DevTools client. Its context runs only when the transport
// takes messages or bounds a wait. `stream` is declared last so that it goes
// first: the socket closes (without a close frame) before its context is
// destroyed.
struct DebugConnection {
    using WebSocket = boost::beast::websocket::stream<DebugSocket>;

    boost::asio::io_context ioContext{1};
    // The read in progress, and what it and those before it brought.
    bool reading = false;
    boost::beast::flat_buffer readBuffer;
    std::deque<std::string> arrived;
    boost::system::error_code failure;  // set once a read or a write has failed
    bool failedWriting = false;         // a write, whose writer reported it
    std::unique_ptr<WebSocket> stream;
};

}  // namespace qor::format::engine::javascript

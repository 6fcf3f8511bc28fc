#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace qorjs::fuzz {

// A port on 127.0.0.1 below the ephemeral range that was free when chosen;
// the same one until anotherLoopbackPort chooses the next free one.
unsigned short loopbackPort();
unsigned short anotherLoopbackPort();

// A client of the debugger on another thread: once told that the server is
// about to listen, it connects to 127.0.0.1:`port`, sends `bytes`, shuts its
// sending side and reads (and drops) whatever the server sends until the
// server closes. Reading and writing interleave, so neither side can block
// the other with a full socket buffer. The connection is ended with a reset,
// which leaves no TIME_WAIT behind: the fuzzer makes one connection per
// input, more than the ephemeral ports would allow otherwise.
class LoopbackClient {
public:
    LoopbackClient(unsigned short port, std::string bytes);
    ~LoopbackClient();

    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Called from beforeListen: the listener opens right after.
    void serverIsListening();

    // Stops trying to connect: the server will not listen after all.
    void abandon();

    // Waits for the client to finish (the server has closed, or connecting
    // failed). True when it was connected.
    bool finish();

private:
    void run();

    unsigned short port;
    std::string bytes;
    std::atomic<bool> listening{false};
    std::atomic<bool> abandoned{false};
    bool connected = false;
    std::thread thread;
};

}  // namespace qorjs::fuzz

#pragma once

// A DevTools client that writes and reads the WebSocket's bytes itself, so
// that it can break the protocol anywhere, and a fixture with a debugger on
// the test's isolate. Each send and receive of the client ends within 15
// seconds or throws, so a test whose client goes wrong fails, never hangs.

#include "support/TestSupport.h"

#include <qor/javascript/V8Debugger.h>

#include <functional>
#include <optional>
#include <sstream>
#include <thread>

namespace qorjs::test {

// {"id":ID,"method":"METHOD"} with `params` (a JSON object's text) if given.
std::string command(int id, std::string_view method, std::string_view params = {});
// The text an answer to the command with this id starts with.
inline std::string answerTo(int id) { return "{\"id\":" + std::to_string(id) + ","; }
// An upgrade request with these header fields besides the WebSocket's own.
std::string upgradeRequest(std::string_view fields = "Host: 127.0.0.1\r\n");
// One frame as a client sends it (masked); `claimedLength`, if given, is
// written into the header in place of the payload's true length.
std::string clientFrame(unsigned opcode, std::string_view payload, bool fin = true,
                        std::optional<std::uint64_t> claimedLength = std::nullopt);

class DebugClient {
public:
    explicit DebugClient(unsigned short port) : port(port) {}
    // A listener still waiting for this client is released by one connect.
    ~DebugClient();

    // Retries refused attempts for a few seconds: the debugger asks
    // beforeListen a moment before it listens.
    void connect();
    // connect and an upgrade request with these fields that must be
    // accepted; `behind` goes in the same write, before the answer.
    void open(std::string_view fields = "Host: 127.0.0.1\r\n", std::string_view behind = {});
    void send(std::string_view text, bool binary = false) { writeRaw(clientFrame(binary ? 2 : 1, text)); }
    // The next message, its fragments joined, and its opcode.
    std::string read(unsigned* opcode = nullptr);
    // Reads until a message contains `needle`; throws if the server closes.
    std::string readUntil(std::string_view needle);
    // Reads until the server's close frame.
    void readUntilClosed();
    // The orderly close: a close frame, the server's answer, the end.
    void close() { writeRaw(clientFrame(8, "\x03\xe8")), readUntilClosed(); }

    void writeRaw(std::string_view bytes);
    // `size` bytes, or fewer when the server ends the stream first.
    std::string readRaw(std::size_t size = std::string::npos);
    // Leaves at once: a reset, no close frame, no orderly end of the stream.
    void reset();

private:
    unsigned short port;
    int socket = -1;  // -2 once reset
};

// A debugger on the fixture's isolate, a client thread for it, counters for
// the host's callbacks, and the debugger's report lines (std::cerr) captured:
// by the end of the test they must be `report` exactly.
class DebuggerTest : public EngineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `script` with a client for this test's port on another thread; a
    // throw there fails the test.
    void startClient(std::function<void(DebugClient&)> script);
    void joinClient();
    // The host destroys its debugger, and the client is done.
    void endSession() { debugger.reset(), joinClient(); }
    // debugger->execute, not breaking on start, with callbacks that count
    // into the fields below.
    void execute(std::function<void()> work = {}, bool listen = true);

    // What the debugger has reported so far.
    std::string reported() const { return errors.str(); }

    unsigned short port = 0;
    std::optional<js::V8Debugger> debugger;
    int runs = 0, listens = 0, disconnects = 0;
    std::string report;

private:
    std::ostringstream errors;
    std::streambuf* originalCerr = nullptr;
    std::thread clientThread;
};

}  // namespace qorjs::test

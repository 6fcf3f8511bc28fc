// The bytes a DevTools client sends, as they arrive on the debugger's socket:
// the HTTP upgrade request, then WebSocket frames.
//
// Each input gets a fresh V8Debugger (and with it an inspector) and one call
// of the public execute() on a loopback port, with a client thread that
// connects, sends the input and reads what comes back. So the input passes
// through the listener, the handshake and its Host and Origin checks, the
// message reads, the session driver and the inspector session; when it asks
// for the run, the host's work runs a script that can pause, and the rest of
// the input is read by the pause loop. Destroying the debugger closes what is
// still open.
//
// Inputs of odd length take the other way in: listen(), with the host's
// script already running when the bytes arrive, so that they are read and
// dispatched from V8's interrupts, then serveUntilDisconnected() for the rest.
//
// The library's promises checked here: execute returns (no throw, no crash),
// and no exception is left pending in the host's isolate.

#include "support/Check.h"
#include "support/FuzzIsolate.h"

#include <qor/javascript/V8Debugger.h>
#include <qor/javascript/V8Engine.h>

#include <v8-exception.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace js = qor::format::engine::javascript;

// The host's work: a few calls, console output, and a statement that pauses
// when the client has enabled the debugger.
constexpr std::string_view kDebuggee =
    "function add(a, b) { return a + b; }\n"
    "let total = 0;\n"
    "for (let i = 0; i < 3; ++i) total = add(total, i);\n"
    "console.log('total', total);\n"
    "debugger;\n"
    "total;\n";

// A client on its own thread: connects to 127.0.0.1:`port`, sends `bytes`
// and shuts its sending side, then reads (and drops) what the server sends
// until the server closes. An input (libFuzzer's at most 4 KB unless told
// otherwise) fits in the loopback socket buffers whether or not the server
// reads, so one send puts it all out at once and cannot block against a
// server that is writing. The connection ends with a reset, which leaves no TIME_WAIT
// behind: the fuzzer makes one connection per input, more than the ephemeral
// ports would allow otherwise.
std::jthread startClient(unsigned short port, std::string bytes)
{
    return std::jthread([port, bytes = std::move(bytes)] {
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            ::shutdown(socket, SHUT_WR);
            char discard[16384];
            for (ssize_t read = 1; read > 0 || (read < 0 && errno == EINTR);)
                read = ::recv(socket, discard, sizeof discard, 0);
        }
        const linger abort{1, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(socket);
    });
}

// One execute() with a fresh debugger on a port the system chooses, and a
// client that sends `bytes` as soon as it listens. False when it never did.
bool serve(v8::Isolate* isolate, const std::string& bytes)
{
    std::jthread client;
    js::V8Debugger debugger(isolate, js::V8Engine::get().getPlatform());
    debugger.setListeningCallback([&client, &bytes](unsigned short port) { client = startClient(port, bytes); });
    const js::Source debuggee{kDebuggee, "/fuzz/debuggee.js", false};
    debugger.execute(true, [&] { js::V8Engine::runJavaScriptSource(isolate, debuggee); }, {}, {}, 0);
    // The debugger is destroyed before the client is joined: that closes
    // whatever the client still waits on.
    return client.joinable();
}

// The same client, served while the host works: its bytes reach the
// debugger while a script spins, and what is left after it.
bool serveWhileRunning(v8::Isolate* isolate, const std::string& bytes)
{
    std::jthread client;
    js::V8Debugger debugger(isolate, js::V8Engine::get().getPlatform());
    debugger.setListeningCallback([&client, &bytes](unsigned short port) { client = startClient(port, bytes); });
    if (!debugger.listen(0))
        return false;
    const js::Source spin{"const t0 = Date.now(); while (Date.now() - t0 < 20);", "/fuzz/spin.js", false};
    js::V8Engine::runJavaScriptSource(isolate, spin);
    js::V8Engine::runJavaScriptSource(isolate, {kDebuggee, "/fuzz/debuggee.js", false});
    debugger.serveWaitingMessages();
    debugger.serveUntilDisconnected();
    return client.joinable();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    qorjs::fuzz::runInput([&](v8::Isolate* isolate, v8::Local<v8::Context>) {
        // The debugger's report lines go to std::cerr; a fuzzing run would
        // drown in them, so they are kept from the terminal unless
        // QORJS_FUZZ_REPORTS is set (to see them while replaying one input).
        // Sanitizer reports and failed checks are written to the file
        // descriptor directly and appear either way.
        std::ostringstream reports;
        std::streambuf* terminal = std::getenv("QORJS_FUZZ_REPORTS") ? nullptr : std::cerr.rdbuf(reports.rdbuf());
        v8::TryCatch hostState(isolate);
        const std::string bytes(reinterpret_cast<const char*>(data), size);
        const bool listened = size % 2 == 0 ? serve(isolate, bytes) : serveWhileRunning(isolate, bytes);
        if (terminal != nullptr)
            std::cerr.rdbuf(terminal);
        FUZZ_CHECK(listened, "the debugger did not listen: " + reports.str());
        FUZZ_CHECK(!hostState.HasCaught(), "an exception was left pending in the host's isolate");
    });
    // V8 turns its compilation cache off while a debugger is active, so each
    // run leaves a script behind until the next full collection, and the
    // next session's Debugger.enable announces every one still alive:
    // without this the time per input grows with the number of inputs.
    static unsigned inputs = 0;
    if (++inputs % 16 == 0)
        qorjs::fuzz::fuzzIsolate()->LowMemoryNotification();
    return 0;
}

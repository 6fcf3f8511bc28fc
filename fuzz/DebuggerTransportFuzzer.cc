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
// The library's promises checked here: execute returns (no throw, no crash),
// and no exception is left pending in the host's isolate.

#include "support/Check.h"
#include "support/FuzzIsolate.h"
#include "support/LoopbackClient.h"

#include <qor/javascript/V8Debugger.h>
#include <qor/javascript/V8Engine.h>

#include <v8-exception.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace {

namespace js = qor::format::engine::javascript;
using qorjs::fuzz::FuzzIsolate;

// The host's work: a few calls, console output, and a statement that pauses
// when the client has enabled the debugger.
constexpr std::string_view kDebuggee =
    "function add(a, b) { return a + b; }\n"
    "let total = 0;\n"
    "for (let i = 0; i < 3; ++i) total = add(total, i);\n"
    "console.log('total', total);\n"
    "debugger;\n"
    "total;\n";

// The debugger's report lines go to std::cerr; a fuzzing run would drown in
// them, so they are kept from the terminal unless QORJS_FUZZ_REPORTS is set
// (to see them while replaying one input). Sanitizer reports are written to
// the file descriptor directly and appear either way.
class QuietReports {
public:
    QuietReports()
        : original(std::getenv("QORJS_FUZZ_REPORTS") ? std::cerr.rdbuf() : std::cerr.rdbuf(sink.rdbuf()))
    {
    }
    ~QuietReports() { std::cerr.rdbuf(original); }

    std::string text() const { return sink.str(); }

private:
    std::ostringstream sink;
    std::streambuf* original;
};

// One execute() with a fresh debugger and a client that sends `bytes`. False
// when no client was served: the listener could not be opened.
bool serve(FuzzIsolate& fuzz, const std::string& bytes, unsigned short port)
{
    v8::Isolate* isolate = fuzz.isolate();
    qorjs::fuzz::LoopbackClient client(port, bytes);
    bool served = false;
    std::optional<js::V8Debugger> debugger(std::in_place, isolate, fuzz.platform());
    debugger->execute(
        true,
        [isolate, &served] {
            served = true;
            js::V8Engine::runJavaScriptSource(isolate, js::Source{kDebuggee, "/fuzz/debuggee.js", false});
        },
        [&client](unsigned short) {
            client.serverIsListening();
            return true;
        },
        [&served] { served = true; },
        port);
    debugger.reset();
    if (!served)
        client.abandon();
    client.finish();
    return served;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzIsolate& fuzz = FuzzIsolate::get();
    v8::Isolate* isolate = fuzz.isolate();
    {
        v8::HandleScope scope(isolate);
        QuietReports quiet;
        v8::TryCatch hostState(isolate);
        const std::string bytes(reinterpret_cast<const char*>(data), size);

        // Another program on the machine may take the port between two
        // inputs; the input then runs again on another one.
        bool served = serve(fuzz, bytes, qorjs::fuzz::loopbackPort());
        for (int attempt = 0; !served && attempt < 5; ++attempt) {
            FUZZ_CHECK(quiet.text().find("Address already in use") != std::string::npos,
                       "the debugger served no client: " + quiet.text());
            served = serve(fuzz, bytes, qorjs::fuzz::anotherLoopbackPort());
        }
        FUZZ_CHECK(served, "no free port for the debugger: " + quiet.text());
        FUZZ_CHECK(!hostState.HasCaught(), "an exception was left pending in the host's isolate");
    }
    fuzz.runPendingTasks();
    // V8 turns its compilation cache off while a debugger is active, so each
    // run leaves a script behind until the next full collection, and the
    // next session's Debugger.enable announces every one still alive:
    // without this the time per input grows with the number of inputs.
    static unsigned inputs = 0;
    if (++inputs % 16 == 0)
        isolate->LowMemoryNotification();
    return 0;
}

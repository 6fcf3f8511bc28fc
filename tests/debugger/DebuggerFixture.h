#pragma once

#include "debugger/DebugClient.h"
#include "support/TestSupport.h"

#include <qor/javascript/V8Debugger.h>

#include <functional>
#include <optional>
#include <sstream>
#include <streambuf>
#include <thread>

namespace qorjs::test {

// A port on 127.0.0.1 that nothing listens on, derived from the process id
// so that tests running side by side look in different places.
unsigned short freeTestPort();

// A debugger on the fixture's isolate, a client thread for it, counters for
// the host's callbacks, and the debugger's report lines (std::cerr) captured.
class DebuggerTest : public EngineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs `script` with a DebugClient for this test's port on another thread.
    // A failure there (a throw) fails the test.
    void startClient(std::function<void(DebugClient&)> script);

    // Waits for the client thread to end.
    void joinClient();

    // debugger->execute with callbacks that count into the fields below;
    // `work` runs as the host's work, `listen` answers beforeListen.
    void execute(bool breakOnStart, std::function<void()> work = {}, bool listen = true);

    // What the debugger wrote to std::cerr so far.
    std::string reported() const { return errors.str(); }

    // The current context's global `name` as text.
    std::string global(const char* name);

    unsigned short port = 0;
    std::optional<qor::format::engine::javascript::V8Debugger> debugger;
    int runs = 0;
    int listens = 0;
    int disconnects = 0;

private:
    std::ostringstream errors;
    std::streambuf* originalCerr = nullptr;
    std::thread clientThread;
};

}  // namespace qorjs::test

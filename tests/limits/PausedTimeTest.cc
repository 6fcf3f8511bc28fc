#include "debugger/DebuggerFixture.h"

#include <chrono>
#include <thread>

namespace qorjs::test {
namespace {

using namespace std::chrono_literals;

// A user stepping through a script with a time limit of 300 ms is paused for
// a second at a `debugger` statement: the script runs on to its end, and the
// limit still ends a runaway afterwards.
TEST_F(DebuggerTest, TimePausedInTheDebuggerIsNotCounted)
{
    js::V8Limits limits(isolate, js::V8Engine::get().getPlatform(), {0, 300ms});

    startClient([](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        std::this_thread::sleep_for(1s);
        client.send(command(3, "Debugger.resume"));
        client.readUntilClosed();
    });

    std::string completion;
    std::string runaway;
    execute(false, [&] {
        auto result = js::V8Engine::runJavaScriptSource(
            isolate, js::Source{"let steps = 1;\ndebugger;\nsteps += 1;\n'finished ' + steps", "/test/paused.js", false});
        completion = result ? text(*result) : result.error().message;
        auto loop = js::V8Engine::runJavaScriptSource(isolate, js::Source{"for (;;) {}", "/test/loop.js", false});
        runaway = loop ? "no stop" : loop.error().message;
    });
    debugger.reset();
    joinClient();

    EXPECT_EQ(completion, "finished 2");
    EXPECT_EQ(runaway, "The script ran longer than its time limit of 300 ms");
}

}  // namespace
}  // namespace qorjs::test

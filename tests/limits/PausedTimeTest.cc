// The time limit counts the script's own running time: a user paused at a
// `debugger` statement is not racing it, and it still stops a runaway later.

#include "debugger/DebugClient.h"

namespace qorjs::test {
namespace {

TEST_F(DebuggerTest, TimePausedInTheDebuggerIsNotCountedAgainstTheTimeLimit)
{
    setLimits({0, std::chrono::milliseconds(300)});
    startClient([](DebugClient& client) {
        client.open();
        client.send(command(1, "Debugger.enable"));
        client.send(command(2, "Runtime.runIfWaitingForDebugger"));
        client.readUntil("\"method\":\"Debugger.paused\"");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        client.send(command(3, "Debugger.resume"));
        client.readUntilClosed();
    });

    std::string completion, runaway;
    execute([&] {
        completion = outcome("let steps = 1;\ndebugger;\n'finished ' + ++steps");
        runaway = outcome("for (;;) {}");
    });
    endSession();

    EXPECT_EQ(completion, "finished 2");
    EXPECT_EQ(runaway, "The script ran longer than its time limit of 300 ms");
}

}  // namespace
}  // namespace qorjs::test

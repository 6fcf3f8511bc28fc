// What a well-behaved client meets: the exact message that starts the host's
// work, a connection kept from one execute to the next, a declined or
// occupied port, answers in the kind of their request up to 16 MiB, the
// close that destruction sends, and a time limit that a pause does not use
// up. Discovery on a port the system chooses is left to the end-to-end
// clients, which find qorjs through it.

#include "debugger/DebugClient.h"

#include <boost/asio/ip/tcp.hpp>

#include <algorithm>

namespace qorjs::test {
namespace {

// An allowed origin is let in; each message is answered in order; only the
// exact method starts the run, after its own answer, even with no context
// entered by the host. The next execute neither asks beforeListen nor
// handshakes, and its run starts on the first JSON message of any method.
TEST_F(DebuggerTest, OnlyTheExactRunIfWaitingForDebuggerStartsTheRunAndTheConnectionStays)
{
    debugger->setAllowedOrigins({"http://127.0.0.1:8000"});
    std::string received;
    startClient([&](DebugClient& client) {
        client.open("Host: 127.0.0.1\r\nOrigin: http://127.0.0.1:8000\r\n");
        int id = 0;
        for (const char* method : {"runtime.runIfWaitingForDebugger", "Runtime.runIfWaitingForDebuggerX", "",
                                   "Runtime.enable", "Runtime.runIfWaitingForDebugger", "", "Profiler.enable"})
            client.send(*method ? command(id++, method) : "this is not JSON");
        while (received.find("second run") == std::string::npos)
            received += client.read();
        client.readUntilClosed();
    });

    context()->Exit();
    for (const char* log : {"console.log('first run')", "console.log('second run')"})
        execute([this, log] {
            v8::Context::Scope entered(context());
            run(log);
        });
    context()->Enter();
    endSession();

    EXPECT_EQ(runs, 2);
    EXPECT_EQ(listens, 1);
    const auto at = [&](std::string_view text) { return received.find(text); };
    EXPECT_LT(at(answerTo(0)), at(answerTo(3)));
    EXPECT_LT(at(answerTo(3)), at("first run"));
    EXPECT_LT(at(answerTo(4)), at("second run"));
}

TEST_F(DebuggerTest, ADeclinedListenRunsTheWorkAndAPortInUseRunsNothing)
{
    execute([this] { run("var ran = true;"); }, false);
    EXPECT_EQ(text(run("ran")), "true");

    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor occupant(context, {boost::asio::ip::make_address("127.0.0.1"), port});
    execute();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(listens, 2) << "each execute asks again";
    EXPECT_EQ(disconnects, 0);
    report = "Error: bind: Address already in use\n";
}

// A message right behind the upgrade request is kept, the largest message
// allowed is read whole, answers come in the kind (text or binary) of the
// request before them, and destruction's close frame (1000) comes even when
// the client never answers it.
TEST_F(DebuggerTest, EveryMessageAllowedIsReadWholeAndAnsweredInItsKind)
{
    const std::string evaluate = R"({"contextId":1,"expression":"6 * 7"})";
    const std::string head = R"({"id":2,"method":"Runtime.evaluate","params":{"contextId":1,"expression":"')";
    const std::string largest = head + std::string((1 << 24) - head.size() - 11, 'z') + R"('.length"}})";
    std::vector<std::pair<std::string, unsigned>> answers;
    std::string end;
    startClient([&](DebugClient& client) {
        client.open("Host: 127.0.0.1\r\n", clientFrame(1, command(1, "Runtime.evaluate", evaluate)));
        for (const auto& [message, binary] :
             {std::pair{largest, false}, {command(3, "Runtime.evaluate", evaluate), true},
              {command(4, "Runtime.runIfWaitingForDebugger"), false}}) {
            unsigned opcode = 0;
            answers.emplace_back(client.read(&opcode), opcode);
            client.send(message, binary);
        }
        end = client.readRaw();
    });

    execute();
    endSession();

    EXPECT_EQ(runs, 1);
    const std::string letters = std::to_string(std::ranges::count(largest, 'z'));
    const std::string result = R"("result":{"result":{"type":"number","value":)";
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], std::pair(answerTo(1) + result + "42,\"description\":\"42\"}}}", 1u));
    EXPECT_TRUE(answers[1].first.starts_with(answerTo(2) + result + letters)) << answers[1].first.substr(0, 200);
    EXPECT_EQ(answers[2], std::pair(answerTo(3) + result + "42,\"description\":\"42\"}}}", 2u));
    EXPECT_TRUE(end.find(answerTo(4)) == 2 && end.ends_with("\x88\x02\x03\xe8")) << end;
}

// The time limit counts the script's own running time: a user paused at a
// `debugger` statement is not racing it, and it still stops a runaway later.
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

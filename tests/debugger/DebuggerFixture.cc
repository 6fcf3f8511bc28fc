#include "debugger/DebuggerFixture.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <iostream>
#include <stdexcept>

#if defined(_WIN32)
#    include <process.h>
#    define getpid _getpid
#else
#    include <unistd.h>
#endif

namespace qorjs::test {

unsigned short freeTestPort()
{
    namespace asio = boost::asio;
    asio::io_context context;
    const unsigned start = 20000 + static_cast<unsigned>(getpid()) % 10000;
    for (unsigned offset = 0; offset < 1000; ++offset) {
        const auto port = static_cast<unsigned short>(start + offset * 7 % 2000);
        asio::ip::tcp::acceptor probe(context);
        boost::system::error_code error;
        probe.open(asio::ip::tcp::v4(), error);
        if (!error)
            probe.bind({asio::ip::make_address("127.0.0.1"), port}, error);
        if (!error)
            return port;
    }
    throw std::runtime_error("no free port found for the test");
}

void DebuggerTest::SetUp()
{
    EngineTest::SetUp();
    port = freeTestPort();
    debugger.emplace(isolate, js::V8Engine::get().getPlatform());
    originalCerr = std::cerr.rdbuf(errors.rdbuf());
}

void DebuggerTest::TearDown()
{
    // The client may be reading until the close that destruction sends.
    debugger.reset();
    joinClient();
    std::cerr.rdbuf(originalCerr);
    EngineTest::TearDown();
}

void DebuggerTest::startClient(std::function<void(DebugClient&)> script)
{
    clientThread = std::thread([port = port, script = std::move(script)] {
        DebugClient client(port);
        try {
            script(client);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    });
}

void DebuggerTest::joinClient()
{
    if (clientThread.joinable())
        clientThread.join();
}

void DebuggerTest::execute(bool breakOnStart, std::function<void()> work, bool listen)
{
    debugger->execute(
        breakOnStart,
        [this, work] {
            ++runs;
            if (work)
                work();
        },
        [this, listen](unsigned short asked) {
            EXPECT_EQ(asked, port);
            ++listens;
            return listen;
        },
        [this] { ++disconnects; },
        port);
}

std::string DebuggerTest::global(const char* name)
{
    return text(context()->Global()->Get(context(), js::V8Helper::v8_string(name, isolate)).ToLocalChecked());
}

}  // namespace qorjs::test

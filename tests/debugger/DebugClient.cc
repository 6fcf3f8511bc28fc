// The debugger tests' client, on blocking sockets whose sends and receives
// time out, and the fixture whose debugger's reports are captured.

#include "debugger/DebugClient.h"

#include <boost/asio/ip/tcp.hpp>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace qorjs::test {

namespace {

namespace ip = boost::asio::ip;

sockaddr_in loopback(unsigned short port)
{
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

[[noreturn]] void fail(const char* step)
{
    throw std::runtime_error(std::string("client ") + step + ": " + std::strerror(errno));
}

}  // namespace

std::string command(int id, std::string_view method, std::string_view params)
{
    std::string text = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + std::string(method) + "\"";
    return (params.empty() ? text : text.append(",\"params\":").append(params)) + "}";
}

std::string upgradeRequest(std::string_view fields)
{
    return std::string("GET / HTTP/1.1\r\n").append(fields).append(
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n");
}

std::string clientFrame(unsigned opcode, std::string_view payload, bool fin, std::optional<std::uint64_t> claimedLength)
{
    const std::uint64_t length = claimedLength.value_or(payload.size());
    const int lengthBytes = length < 126 ? 0 : length <= 0xffff ? 2 : 8;
    std::string frame{static_cast<char>((fin ? 0x80 : 0) | opcode),
                      static_cast<char>(0x80 | (lengthBytes == 0 ? length : lengthBytes == 2 ? 126 : 127))};
    for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8)
        frame += static_cast<char>((length >> shift) & 0xff);
    constexpr char key[] = "\x12\x34\x56\x78";
    frame += key;
    for (std::size_t i = 0; i < payload.size(); ++i)
        frame += static_cast<char>(payload[i] ^ key[i % 4]);
    return frame;
}

DebugClient::~DebugClient()
{
    if (socket == -1) {
        const sockaddr_in address = loopback(port);
        socket = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ::close(socket);
}

void DebugClient::connect()
{
    const sockaddr_in address = loopback(port);
    for (int attempt = 0;; ++attempt) {
        socket = ::socket(AF_INET, SOCK_STREAM, 0);
        const timeval timeout{15, 0};
        setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return;
        if (errno != ECONNREFUSED || attempt == 2500)
            fail("connect");
        ::close(socket);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void DebugClient::open(std::string_view fields, std::string_view behind)
{
    connect();
    writeRaw(upgradeRequest(fields).append(behind));
    std::string head, byte = " ";
    while (!head.ends_with("\r\n\r\n") && !byte.empty())
        head += byte = readRaw(1);
    if (!head.starts_with("HTTP/1.1 101 "))
        throw std::runtime_error("client handshake refused: " + head);
}

std::string DebugClient::read(unsigned* opcode)
{
    std::string text;
    for (bool fin = false; !fin;) {
        const std::string head = readRaw(2);
        if (head.size() < 2)
            throw std::runtime_error("client read: the server ended the stream");
        fin = head[0] & 0x80;
        if (opcode && (head[0] & 0x0f))
            *opcode = head[0] & 0x0f;
        std::uint64_t length = head[1] & 0x7f;
        if (length >= 126)
            for (const char byte : std::exchange(length, 0) == 126 ? readRaw(2) : readRaw(8))
                length = length << 8 | static_cast<unsigned char>(byte);
        text += readRaw(length);
    }
    return text;
}

std::string DebugClient::readUntil(std::string_view needle)
{
    for (unsigned opcode = 0;;)
        if (std::string text = read(&opcode); opcode == 8)
            throw std::runtime_error("client read: the server closed the WebSocket");
        else if (text.find(needle) != std::string::npos)
            return text;
}

void DebugClient::readUntilClosed()
{
    for (unsigned opcode = 0; opcode != 8;)
        read(&opcode);
}

void DebugClient::writeRaw(std::string_view bytes)
{
    for (ssize_t sent = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(sent)))
        if (sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL); sent < 0)
            fail("write");
}

std::string DebugClient::readRaw(std::size_t size)
{
    std::string bytes;
    for (char chunk[4096]; bytes.size() < size;) {
        const ssize_t got = ::recv(socket, chunk, std::min(sizeof chunk, size - bytes.size()), 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            break;
        if (got < 0)
            fail("read");
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
}

void DebugClient::reset()
{
    const linger abort{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(std::exchange(socket, -2));
}

void DebuggerTest::SetUp()
{
    EngineTest::SetUp();
    // A port the system has just handed out and taken back.
    boost::asio::io_context context;
    port = ip::tcp::acceptor(context, {ip::address_v4::loopback(), 0}).local_endpoint().port();
    debugger.emplace(isolate, js::V8Engine::get().getPlatform());
    originalCerr = std::cerr.rdbuf(errors.rdbuf());
}

void DebuggerTest::TearDown()
{
    // The client may be reading until the close that destruction sends.
    endSession();
    std::cerr.rdbuf(originalCerr);
    EXPECT_EQ(errors.str(), report);
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

void DebuggerTest::execute(std::function<void()> work, bool listen)
{
    const auto beforeListen = [this, listen](unsigned short asked) { return ++listens, asked == port && listen; };
    debugger->execute(false, [this, work] { ++runs, work ? work() : void(); }, beforeListen,
                      [this] { ++disconnects; }, port);
}

}  // namespace qorjs::test

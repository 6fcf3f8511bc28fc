#include "support/LoopbackClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace qorjs::fuzz {

namespace {

using Clock = std::chrono::steady_clock;

// How long the client tries to connect before it gives up.
constexpr auto kConnectPatience = std::chrono::seconds(5);

sockaddr_in loopbackAddress(unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connected socket, or -1 once the patience is used up.
int connectWithRetries(unsigned short port, const std::atomic<bool>& abandoned)
{
    const sockaddr_in address = loopbackAddress(port);
    const auto giveUp = Clock::now() + kConnectPatience;
    while (!abandoned && Clock::now() < giveUp) {
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket < 0)
            return -1;
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return socket;
        ::close(socket);
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return -1;
}

// Closes with a reset instead of a FIN.
void resetAndClose(int socket)
{
    const linger abort{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(socket);
}

}  // namespace

namespace {

// Ports below the range the system hands out for outgoing connections: a
// port from there can be taken at any moment as the local end of some other
// connection (the fuzzer's own clients included), and the next listen on it
// would fail.
unsigned short nextFreePort(unsigned& offset)
{
    unsigned lowestEphemeral = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> lowestEphemeral;
    const unsigned first = lowestEphemeral > 11024 ? lowestEphemeral - 10000 : 1024;
    for (const unsigned end = offset + 10000; offset < end; ++offset) {
        const unsigned spread = (static_cast<unsigned>(::getpid()) + offset * 7) % 10000;
        const auto candidate = static_cast<unsigned short>(first + spread);
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopbackAddress(candidate);
        const bool free =
            socket >= 0 && ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(socket);
        if (free) {
            ++offset;
            return candidate;
        }
    }
    std::fputs("loopbackPort: no free port below the ephemeral range\n", stderr);
    std::abort();
}

unsigned portOffset = 0;
unsigned short chosenPort = 0;

}  // namespace

unsigned short loopbackPort()
{
    if (chosenPort == 0)
        chosenPort = nextFreePort(portOffset);
    return chosenPort;
}

unsigned short anotherLoopbackPort()
{
    chosenPort = nextFreePort(portOffset);
    return chosenPort;
}

LoopbackClient::LoopbackClient(unsigned short port, std::string bytes)
    : port(port), bytes(std::move(bytes)), thread([this] { run(); })
{
}

LoopbackClient::~LoopbackClient()
{
    abandon();
    finish();
}

void LoopbackClient::abandon()
{
    abandoned = true;
    listening = true;
    listening.notify_one();
}

void LoopbackClient::serverIsListening()
{
    listening = true;
    listening.notify_one();
}

bool LoopbackClient::finish()
{
    if (thread.joinable())
        thread.join();
    return connected;
}

void LoopbackClient::run()
{
    listening.wait(false);
    const int socket = connectWithRetries(port, abandoned);
    if (socket < 0)
        return;
    connected = true;
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);

    std::size_t sent = 0;
    bool sendingOpen = true;
    if (bytes.empty()) {
        ::shutdown(socket, SHUT_WR);
        sendingOpen = false;
    }
    char discard[16384];
    while (true) {
        pollfd watched{socket, static_cast<short>(POLLIN | (sendingOpen ? POLLOUT : 0)), 0};
        if (::poll(&watched, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (sendingOpen && (watched.revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t written = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (written > 0)
                sent += static_cast<std::size_t>(written);
            if ((written < 0 && errno != EAGAIN && errno != EINTR) || sent == bytes.size()) {
                ::shutdown(socket, SHUT_WR);
                sendingOpen = false;
            }
        }
        if (watched.revents & (POLLIN | POLLERR | POLLHUP)) {
            const ssize_t read = ::recv(socket, discard, sizeof discard, 0);
            if (read == 0 || (read < 0 && errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    resetAndClose(socket);
}

}  // namespace qorjs::fuzz

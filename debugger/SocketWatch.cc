#include "debugger/SocketWatch.h"

#include <condition_variable>
#include <mutex>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace qor::format::engine::javascript {

struct SocketWatch::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> onWaiting;
    Handle handle = kNone;
    bool armed = true;     // looking for data; off from a call of onWaiting until served()
    bool stopping = false;
    bool inTask = false;   // the task runs its loop now
#ifndef _WIN32
    // Written to end a poll early: a new handle, or the end.
    int wakeRead = -1;
    int wakeWrite = -1;
#endif

    ~State()
    {
#ifndef _WIN32
        if (wakeRead >= 0)
            ::close(wakeRead);
        if (wakeWrite >= 0)
            ::close(wakeWrite);
#endif
    }

    void wakePoll()
    {
#ifndef _WIN32
        const char byte = 1;
        // A full pipe already wakes the poll.
        [[maybe_unused]] const auto written = ::write(wakeWrite, &byte, 1);
#endif
    }

    // Whether `socket` has data (or an end) to read; false as well when the
    // wait was cut short. Waits without a lock held.
    bool waitReadable(Handle socket)
    {
#ifdef _WIN32
        // Windows has no pipe to poll alongside a socket; a short time-out
        // lets a new handle or the end be seen soon enough.
        WSAPOLLFD watched{static_cast<SOCKET>(socket), POLLRDNORM, 0};
        const int ready = ::WSAPoll(&watched, 1, 50);
        return ready > 0 && (watched.revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
#else
        pollfd watched[2] = {{socket, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        const int ready = ::poll(watched, 2, -1);
        if (ready > 0 && (watched[1].revents & POLLIN) != 0) {
            char drained[64];
            while (::read(wakeRead, drained, sizeof drained) > 0) {
            }
        }
        return ready > 0 && (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
#endif
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        inTask = true;
        while (!stopping) {
            if (handle == kNone || !armed) {
                changed.wait(lock);
                continue;
            }
            const Handle socket = handle;
            lock.unlock();
            const bool readable = waitReadable(socket);
            lock.lock();
            // A handle changed meanwhile may have been closed: what poll saw
            // on it means nothing now.
            if (readable && !stopping && armed && socket == handle) {
                armed = false;
                onWaiting();
            }
        }
        inTask = false;
        changed.notify_all();
    }
};

namespace {

class WatchTask final : public v8::Task {
public:
    explicit WatchTask(std::shared_ptr<SocketWatch::State> state) : state(std::move(state)) {}
    void Run() override { state->run(); }

private:
    std::shared_ptr<SocketWatch::State> state;
};

}  // namespace

SocketWatch::SocketWatch(v8::Platform* platform, std::function<void()> onWaiting)
    : state(std::make_shared<State>())
{
    state->onWaiting = std::move(onWaiting);
#ifndef _WIN32
    int ends[2];
    if (::pipe(ends) == 0) {
        state->wakeRead = ends[0];
        state->wakeWrite = ends[1];
        for (int end : ends) {
            ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
            ::fcntl(end, F_SETFD, FD_CLOEXEC);
        }
    } else {
        // Without a pipe there is no way to end a poll early, so nothing is
        // watched: messages are then served when the host looks.
        state->stopping = true;
        return;
    }
#endif
    platform->CallOnWorkerThread(std::make_unique<WatchTask>(state));
}

SocketWatch::~SocketWatch()
{
    std::unique_lock<std::mutex> lock(state->mutex);
    state->stopping = true;
    state->changed.notify_all();
    state->wakePoll();
    // A task not started yet finds `stopping` when it starts, and holds the
    // state itself: only a running one is waited for.
    state->changed.wait(lock, [&] { return !state->inTask; });
}

void SocketWatch::watch(Handle handle)
{
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->handle == handle)
        return;
    state->handle = handle;
    state->armed = true;
    state->changed.notify_all();
    state->wakePoll();
}

void SocketWatch::served()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->armed)
        return;
    state->armed = true;
    state->changed.notify_all();
}

}  // namespace qor::format::engine::javascript

#include <qor/javascript/V8Engine.h>

#include "engine/Diagnostics.h"
#include "engine/Running.h"

#include <libplatform/libplatform.h>
#include <v8-initialization.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qor::format::engine::javascript {

namespace {

// Set once V8 has been disposed of: V8 aborts the process on a second
// initialisation, so get() must refuse instead.
bool v8WasShutDown = false;

std::filesystem::path& snapshotBlobPath()
{
    static std::filesystem::path path;
    return path;
}

// The singleton holder. Its destructor shuts a still running engine down when
// the library is unloaded.
std::unique_ptr<V8Engine>& holder()
{
    static std::unique_ptr<V8Engine> engine;
    return engine;
}

// The processors the system runs us on, as V8 counts them for its own pool.
int processorCount()
{
#ifdef _WIN32
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
#else
    return static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
#endif
}

}  // namespace

V8Engine::V8Engine()
{
    v8::V8::SetFlagsFromString("--expose-gc");
    // V8 10.2 leaves its fast calls off: optimised code then calls a host
    // function that offers a fast path through its ordinary callback anyway.
    // Only functions made with a fast path are affected.
    v8::V8::SetFlagsFromString("--turbo-fast-api-calls");

    if (snapshotBlobPath().empty())
        v8::V8::InitializeExternalStartupDataFromFile("snapshot_blob.bin");
    else
        v8::V8::InitializeExternalStartupDataFromFile(snapshotBlobPath().string().c_str());

    // One worker more than V8 would choose: a debugger's socket watch holds
    // one while a client may send (see debugger/SocketWatch.h), and V8's own
    // background work (concurrent compilation, marking) must not wait on it.
    const int processors = std::max(2, processorCount());
    platform = v8::platform::NewDefaultPlatform(std::min(processors - 1, 8) + 1,
                                                v8::platform::IdleTaskSupport::kDisabled,
                                                v8::platform::InProcessStackDumping::kDisabled,
                                                std::unique_ptr<v8::TracingController>());
    v8::V8::InitializePlatform(platform.get());
    v8::V8::Initialize();
    v8::V8::SetDcheckErrorHandler(&dcheckError);
}

V8Engine::~V8Engine()
{
    v8::V8::Dispose();
    // DisposePlatform is the newer name of the same call.
#if defined(_MSC_VER)
#    pragma warning(push)
#    pragma warning(disable : 4996)
#else
#    pragma GCC diagnostic push
#    pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    v8::V8::ShutdownPlatform();
#if defined(_MSC_VER)
#    pragma warning(pop)
#else
#    pragma GCC diagnostic pop
#endif
    v8WasShutDown = true;
    // `platform` is destroyed after both calls: V8 uses it until then.
}

bool engineIsRunning()
{
    return holder() != nullptr;
}

V8Engine& V8Engine::get()
{
    auto& engine = holder();
    if (!engine) {
        if (v8WasShutDown)
            throw std::logic_error("V8 cannot be started again in this process: it was shut down by V8Engine::reset()");
        engine.reset(new V8Engine());
    }
    return *engine;
}

void V8Engine::reset()
{
    // Taken out first, so the holder is already empty while V8 shuts down.
    std::unique_ptr<V8Engine> engine = std::move(holder());
    engine.reset();
}

v8::Platform* V8Engine::getPlatform()
{
    return platform.get();
}

void V8Engine::setSnapshotBlobPath(std::filesystem::path path)
{
    snapshotBlobPath() = std::move(path);
}

void V8Engine::setWebSocketPort(unsigned short port)
{
    webSocketPort = port;
}

unsigned short V8Engine::getWebSocketPort() const
{
    return webSocketPort;
}

}  // namespace qor::format::engine::javascript

// Engine start-up and shut-down, each test a process of its own: one engine
// per process, and a reset that shut V8 down refuses every later start.
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace qorjs::test;
using Engine = js::V8Engine;
using ::testing::HasSubstr, ::testing::ThrowsMessage;

TEST(EngineLifecycle, GetAfterAResetThatShutV8DownThrowsEveryTime)
{
    EXPECT_EQ(&Engine::get(), &Engine::get());
    Engine::reset();  // with an engine: shuts V8 down, for good
    for (int attempt = 1; attempt <= 2; ++attempt)
        EXPECT_THAT([] { Engine::get(); }, ThrowsMessage<std::logic_error>(HasSubstr("V8 cannot be started again")));
    Engine::reset();  // the holder stayed empty: still a no-op
}

TEST(EngineLifecycle, ResetWithoutAnEngineIsANoOp)
{
    Engine::reset();
    EXPECT_NE(Engine::get().getPlatform(), nullptr);  // V8 was never shut down
}

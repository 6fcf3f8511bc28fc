// Engine start-up and shut-down. ctest runs every test in a process of its
// own (gtest_discover_tests), which these tests rely on: V8 starts once.
#include "support/TestSupport.h"

#include <gmock/gmock.h>

namespace qorjs::test {
namespace {

using Engine = js::V8Engine;

TEST(EngineLifecycle, GetTwiceGivesTheSameEngineOnPort9005)
{
    Engine& first = Engine::get();
    EXPECT_EQ(&first, &Engine::get());
    EXPECT_NE(first.getPlatform(), nullptr);
    EXPECT_EQ(first.getWebSocketPort(), 9005);
    for (unsigned short port : {9229, 0, 65535}) {
        first.setWebSocketPort(port);
        EXPECT_EQ(Engine::get().getWebSocketPort(), port);
    }
}

TEST(EngineLifecycle, ResetWithoutAnEngineIsANoOp)
{
    Engine::reset();
    Engine::reset();
    EXPECT_NE(Engine::get().getPlatform(), nullptr);  // V8 was never shut down
}

TEST(EngineLifecycle, GetAfterAResetThatShutV8DownThrowsEveryTime)
{
    Engine::get();
    Engine::reset();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        try {
            Engine::get();
            ADD_FAILURE() << "get() after reset() returned an engine";
        } catch (const std::exception& failure) {
            EXPECT_THAT(failure.what(), ::testing::HasSubstr("V8 cannot be started again in this process"));
        }
    }
    Engine::reset();  // the holder stayed empty: still a no-op
}

// The path changes after get() and before the fixture makes its isolate.
class SnapshotPathAfterStart : public EngineTest {
protected:
    void SetUp() override
    {
        platform = Engine::get().getPlatform();
        Engine::setSnapshotBlobPath("/nonexistent/snapshot_blob.bin");
        EngineTest::SetUp();
    }
    v8::Platform* platform = nullptr;
};

TEST_F(SnapshotPathAfterStart, HasNoEffectOnTheRunningEngine)
{
    EXPECT_EQ(Engine::get().getPlatform(), platform);
    EXPECT_EQ(text(run("6 * 7")), "42");
}

}  // namespace
}  // namespace qorjs::test

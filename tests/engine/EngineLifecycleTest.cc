#include "support/TestSupport.h"

namespace qorjs::test {
namespace {

TEST(EngineLifecycle, GetReturnsTheSameEngine)
{
    js::V8Engine& first = js::V8Engine::get();
    EXPECT_EQ(&first, &js::V8Engine::get());
    EXPECT_NE(first.getPlatform(), nullptr);
    EXPECT_EQ(first.getWebSocketPort(), 9005);
}

}  // namespace
}  // namespace qorjs::test

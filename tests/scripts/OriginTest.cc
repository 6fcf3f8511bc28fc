// Source::getV8Origin: the resource-name rules, seen in the origin, in stack
// traces and in error records; the origin's other options.
#include "support/TestSupport.h"

namespace qorjs::test {
namespace {

class Origins : public EngineTest, public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(Origins, NameTheScriptByItsFileUrl)
{
    const auto& [fileName, url] = GetParam();
    EXPECT_EQ(text(js::Source{"", fileName, false}.getV8Origin(isolate).ResourceName()), url);
    EXPECT_EQ(text(run("new Error('here').stack", fileName)), "Error: here\n    at " + url + ":1:1");
    EXPECT_EQ(fail("\n  throw new Error('there');", fileName).stackTrace, "Error: there\n    at " + url + ":2:9");
}

INSTANTIATE_TEST_SUITE_P(ResourceNames,
                         Origins,
                         ::testing::Values(std::pair{R"(C:\My Scripts\main.js)", "file:///C:/My%20Scripts/main.js"},
                                           std::pair{"", "file:///"},
                                           std::pair{"C:/Scripts/a.js", "file:///C:/Scripts/a.js"},
                                           std::pair{R"(\\server\share\a.js)", "file://///server/share/a.js"},
                                           std::pair{"dir/100%#1.js", "file:///dir/100%#1.js"},
                                           std::pair{"a  \\   b.js", "file:///a%20%20/%20%20%20b.js"},
                                           std::pair{"scripts/main.js", "file:///scripts/main.js"},
                                           std::pair{"/tmp/a b.js", "file:///tmp/a%20b.js"}));

class OriginOptions : public EngineTest {};

TEST_F(OriginOptions, FollowIsModuleAndAreOtherwiseOff)
{
    for (bool isModule : {false, true}) {
        v8::ScriptOrigin origin = js::Source{"", "m.js", isModule}.getV8Origin(isolate);
        EXPECT_EQ(origin.Options().Flags(), isModule ? v8::ScriptOriginOptions(false, false, false, true).Flags() : 0);
        EXPECT_EQ(origin.LineOffset(), 0);
        EXPECT_EQ(origin.ColumnOffset(), 0);
        EXPECT_EQ(origin.ScriptId(), -1);
        EXPECT_TRUE(origin.SourceMapUrl().IsEmpty());
    }
}

}  // namespace
}  // namespace qorjs::test

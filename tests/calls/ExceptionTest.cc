#include <qor/javascript/Exception.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using qor::format::engine::javascript::V8Microsoft;

TEST(V8Microsoft, MessageIsThePrefixAndTheCodeInUnsignedDecimal)
{
    const std::string prefix = "Microsoft Structured Exception Handling: ";
    ASSERT_EQ(prefix.size(), 41u);
    EXPECT_EQ(V8Microsoft(0).what(), prefix + "0");
    EXPECT_EQ(V8Microsoft(0xC0000005u).what(), prefix + "3221225477");
    EXPECT_EQ(V8Microsoft(0xE06D7363u).what(), prefix + "3765269347");
}

TEST(V8Microsoft, IsCaughtAsEachOfItsBasesAndCopiesKeepTheMessage)
{
    EXPECT_THROW(throw V8Microsoft(5), qor::exception);
    try {
        throw V8Microsoft(5);
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), "Microsoft Structured Exception Handling: 5");
    }
    qor::exception original("first");
    qor::exception copy = original;
    original.message = "changed";
    EXPECT_STREQ(copy.what(), "first");
}

}  // namespace

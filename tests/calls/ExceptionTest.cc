#include <qor/javascript/Exception.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using qor::format::engine::javascript::V8Microsoft;

const std::string kPrefix = "Microsoft Structured Exception Handling: ";

TEST(V8Microsoft, MessageIsThePrefixAndTheCodeInUnsignedDecimal)
{
    ASSERT_EQ(kPrefix.size(), 41u);
    EXPECT_EQ(std::string(V8Microsoft(0).what()), kPrefix + "0");
    EXPECT_EQ(std::string(V8Microsoft(0xC0000005u).what()), kPrefix + "3221225477");
    EXPECT_EQ(std::string(V8Microsoft(0xE06D7363u).what()), kPrefix + "3765269347");
    // The high bit set must not turn into a minus sign.
    EXPECT_EQ(std::string(V8Microsoft(0xFFFFFFFFu).what()), kPrefix + "4294967295");
}

TEST(V8Microsoft, IsCaughtAsEachOfItsBases)
{
    EXPECT_THROW(throw V8Microsoft(5), V8Microsoft);
    EXPECT_THROW(throw V8Microsoft(5), qor::exception);
    try {
        throw V8Microsoft(5);
    } catch (const std::exception& caught) {
        EXPECT_EQ(std::string(caught.what()), kPrefix + "5");
    }
}

TEST(QorException, CopiesCarryTheirOwnMessage)
{
    qor::exception original("first");
    try {
        throw original;
    } catch (const qor::exception& caught) {
        qor::exception copy = caught;
        EXPECT_STREQ(copy.what(), "first");
    }
    qor::exception assigned("second");
    assigned = original;
    original.message = "changed";
    EXPECT_STREQ(assigned.what(), "first");
}

}  // namespace

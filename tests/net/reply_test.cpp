// TReply: the code read off a reply line, continuation, and the verdict the session steps go by.
#include "net/reply.h"

#include <gtest/gtest.h>

#include <string>

using namespace kelvo;

namespace {

struct CodeRow {
    const char* line;
    int16_t code;
    bool continues;
    bool positive;
};

const CodeRow kCodeRows[] = {
    {"250 OK\r\n", 250, false, true},
    {"250-PIPELINING\r\n", 250, true, true},
    {" folded text\r\n", 0, true, true},
    {"354 Go ahead\r\n", 354, false, true},
    {"399 edge\r\n", 399, false, true},
    {"400 edge\r\n", 400, false, false},
    {"421 closing\r\n", 421, false, false},
    {"550-no\r\n", 550, true, false},
    {"25\r\n", 25, false, true},
    {"32767 fits\r\n", 32767, false, false},
    {"32768 does not fit\r\n", 0, false, true},
    {"12345678901234 eleven and more digits\r\n", 0, false, true},
    {"abc\r\n", 0, false, true},
    {"", 0, false, true},
    {"250", 250, false, true},
};

} // namespace

TEST(Reply, CodeContinuationAndVerdictFollowTheLine) {
    for (const CodeRow& row : kCodeRows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(TReply::CodeOf(row.line), row.code);
        EXPECT_EQ(TReply::Continues(row.line), row.continues);
        TReply reply;
        reply.Start(row.line);
        EXPECT_EQ(reply.code(), row.code);
        EXPECT_TRUE(reply.isCode(row.code));
        EXPECT_EQ(reply.isPositive(), row.positive);
    }
}

TEST(Reply, StartingAgainForgetsTheLinesOfTheReplyBefore) {
    TReply reply;
    reply.Start("250-first\r\n");
    reply.Add("250 second\r\n");
    ASSERT_EQ(reply.lines().size(), 2u);
    reply.Start("550 refused\r\n");
    ASSERT_EQ(reply.lines().size(), 1u);
    EXPECT_EQ(reply.lines()[0], "550 refused\r\n");
    EXPECT_EQ(reply.code(), 550);
    EXPECT_FALSE(reply.isPositive());
}

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
    bool completion;
};

const CodeRow kCodeRows[] = {
    {"250 OK\r\n", 250, false, true, true},
    {"250-PIPELINING\r\n", 250, true, true, true},
    {" folded text\r\n", 0, true, true, false},
    {"199 edge\r\n", 199, false, true, false},
    {"200 edge\r\n", 200, false, true, true},
    {"299 edge\r\n", 299, false, true, true},
    {"300 edge\r\n", 300, false, true, false},
    {"354 Go ahead\r\n", 354, false, true, false},
    {"399 edge\r\n", 399, false, true, false},
    {"400 edge\r\n", 400, false, false, false},
    {"421 closing\r\n", 421, false, false, false},
    {"550-no\r\n", 550, true, false, false},
    {"25\r\n", 25, false, true, false},
    {"32767 fits\r\n", 32767, false, false, false},
    {"32768 does not fit\r\n", 0, false, true, false},
    {"12345678901234 eleven and more digits\r\n", 0, false, true, false},
    {"abc\r\n", 0, false, true, false},
    {"", 0, false, true, false},
    {"250", 250, false, true, true},
};

// The thresholds of the steps that do not go by the first digit alone.
struct ThresholdRow {
    int16_t code;
    bool recipientAccepted;
    bool quitAccepted;
};

const ThresholdRow kThresholdRows[] = {
    {0, true, true},    {250, true, true},  {299, true, true},   {300, true, true},
    {301, false, true}, {339, false, true}, {340, false, false}, {550, false, false},
};

} // namespace

TEST(Reply, CodeContinuationAndVerdictFollowTheLine) {
    for (const CodeRow& row : kCodeRows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(TReply::CodeOf(row.line), row.code);
        EXPECT_EQ(TReply::Continues(row.line), row.continues);
        TReply reply;
        reply.Start(row.line);
        reply.TakeCode();
        EXPECT_EQ(reply.code(), row.code);
        EXPECT_TRUE(reply.isCode(row.code));
        EXPECT_EQ(reply.isPositive(), row.positive);
        EXPECT_EQ(reply.isCompletion(), row.completion);
        EXPECT_EQ(reply.isBelow(reply_code::kFirstIntermediate), row.code < 300);
        EXPECT_EQ(reply.last(), row.line);
    }
}

TEST(Reply, RecipientAndQuitThresholdsLetTheirOwnCodesPass) {
    for (const ThresholdRow& row : kThresholdRows) {
        SCOPED_TRACE(row.code);
        TReply reply;
        reply.Start(std::to_string(row.code) + " text\r\n");
        reply.TakeCode();
        EXPECT_EQ(reply.isAtMost(reply_code::kLastRecipientAccepted), row.recipientAccepted);
        EXPECT_EQ(reply.isAtMost(reply_code::kLastQuitAccepted), row.quitAccepted);
    }
}

TEST(Reply, AwaitingTheNextReplyDropsTheCodeButKeepsTheLastLine) {
    TReply reply;
    EXPECT_EQ(reply.last(), "");
    reply.Start("250-first\r\n");
    reply.TakeCode();
    EXPECT_EQ(reply.code(), 250);
    reply.Add("250 second\r\n");
    reply.Await();
    EXPECT_EQ(reply.code(), 0);
    EXPECT_TRUE(reply.isPositive());
    EXPECT_EQ(reply.last(), "250 second\r\n");
}

TEST(Reply, StartingAgainForgetsTheLinesOfTheReplyBefore) {
    TReply reply;
    reply.Start("250-first\r\n");
    reply.Add("250 second\r\n");
    ASSERT_EQ(reply.lines().size(), 2u);
    reply.Start("550 refused\r\n");
    EXPECT_EQ(reply.code(), 0);
    reply.TakeCode();
    ASSERT_EQ(reply.lines().size(), 1u);
    EXPECT_EQ(reply.lines()[0], "550 refused\r\n");
    EXPECT_EQ(reply.code(), 550);
    EXPECT_FALSE(reply.isPositive());
}

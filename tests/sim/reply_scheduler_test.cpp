#include "core/reply_scheduler.h"

#include <gtest/gtest.h>

using velmaro::sim::ReplyScheduler;

TEST(ReplyScheduling, UnpacedRepliesGoWholeWhenDueInDueOrder) {
    ReplyScheduler s;
    EXPECT_FALSE(s.nextWake());
    s.schedule("LATE#", 10.8);
    s.schedule("", 10.0);  // nothing to send is not a wake-up
    s.schedule("A#", 10.0);
    s.schedule("B#", 10.0);
    EXPECT_DOUBLE_EQ(*s.nextWake(), 10.0);
    EXPECT_EQ(s.release(9.99), "");
    EXPECT_EQ(s.release(10.0), "A#B#");
    EXPECT_DOUBLE_EQ(*s.nextWake(), 10.8);
    EXPECT_EQ(s.release(10.5), "");
    EXPECT_EQ(s.release(11.0), "LATE#");
    EXPECT_TRUE(s.idle());
}

TEST(ReplyScheduling, PacedBytesLeaveAtNineSixHundredBaud) {
    const double perByte = ReplyScheduler::kSecondsPerByteAt9600;
    EXPECT_NEAR(perByte, 1.0416e-3, 1e-6);
    ReplyScheduler s(perByte);
    s.schedule("12:34:56.7#", 5.0);
    EXPECT_EQ(s.release(5.0), "1");
    EXPECT_NEAR(*s.nextWake(), 5.0 + perByte, 1e-12);
    EXPECT_EQ(s.release(5.0 + 3.5 * perByte), "2:3");
    // Waking up late catches up rather than stretching the reply.
    EXPECT_EQ(s.release(5.0 + 10 * perByte), "4:56.7#");
    EXPECT_TRUE(s.idle());
}

TEST(ReplyScheduling, PacedRepliesNeverInterleave) {
    const double perByte = ReplyScheduler::kSecondsPerByteAt9600;
    ReplyScheduler s(perByte);
    s.schedule("AAAA", 1.0);
    EXPECT_EQ(s.release(1.0 + perByte), "AA");
    s.schedule("BB", 1.0 + perByte);  // arrives while AAAA is on the line
    EXPECT_EQ(s.release(1.0 + 10 * perByte), "AABB");
    // A new reply after the line went quiet starts at its own due time.
    s.schedule("C", 2.0);
    EXPECT_DOUBLE_EQ(*s.nextWake(), 2.0);
    EXPECT_EQ(s.release(2.0), "C");
}

TEST(ReplyScheduling, AFloodOfUnreadRepliesKeepsOnlyTheNewest) {
    ReplyScheduler s(ReplyScheduler::kSecondsPerByteAt9600);
    const std::string reply(33, 'x');
    for (int i = 0; i < 1000; ++i) s.schedule(reply, 1.0 + i * 1e-4);
    s.schedule("V1.00#", 2.0);
    const std::string out = s.release(1e6);
    EXPECT_LE(out.size(), ReplyScheduler::kMaxPendingBytes);
    EXPECT_GE(out.size(), ReplyScheduler::kMaxPendingBytes - reply.size());
    EXPECT_EQ(out.substr(out.size() - 6), "V1.00#");
    EXPECT_TRUE(s.idle());
}

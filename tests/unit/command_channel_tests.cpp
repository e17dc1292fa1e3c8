// The three exchanges with the mount, timed and counted on the null modem.
#include "CommandChannel.h"
#include "ScriptedMount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

class CommandChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(mount.isOpen());
        ASSERT_TRUE(channel.openPort(1));
        // Start from a quiet line whatever an earlier test left on it.
        channel.port->purge();
    }

    void exchange(const char* text, std::uint32_t count)
    {
        channel.command = text;
        channel.sendCommand();
        channel.readReply(count);
    }

    ScriptedMount mount;
    CommandChannel channel;
};

TEST_F(CommandChannelTest, AnsweredExchangeTakesThePauseAndTheTransfer)
{
    mount.answer(":V#", "V1.00#");
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
        times.push_back(elapsedMs([&] { exchange(":V#", 6); }));
        ASSERT_STREQ(channel.reply, "V1.00#");
    }
    std::sort(times.begin(), times.end());
    double median = (times[9] + times[10]) / 2;
    EXPECT_GE(median, 49.0);
    EXPECT_LE(median, 60.0);
    EXPECT_EQ(mount.commands().size(), 20u);
}

TEST_F(CommandChannelTest, UnansweredReadEndsAfterPauseAndTimeOut)
{
    double ms = elapsedMs([&] { exchange(":GR#", 11); });
    EXPECT_EQ(channel.replyLength(), 0u);
    EXPECT_GE(ms, 50.0 + 500.0 + 11.0 - 15.0);
    EXPECT_LE(ms, 50.0 + 500.0 + 11.0 + 150.0);
}

TEST_F(CommandChannelTest, AcknowledgedCommandTriesAtMostTwice)
{
    mount.answer(":ST1#", "1");
    double ms = elapsedMs([&] { channel.command = ":ST1#"; channel.exchangeAck(); });
    EXPECT_STREQ(channel.reply, "1");
    EXPECT_LT(ms, 300.0);
    mount.answer(":ST0#", "0");
    channel.command = ":ST0#";
    channel.exchangeAck();
    EXPECT_STREQ(channel.reply, "0");
    EXPECT_EQ(mount.commands(), (std::vector<std::string>{":ST1#", ":ST0#"}));

    mount.forget();
    mount.answer(":AT#", "x");
    channel.command = ":AT#";
    channel.exchangeAck();
    EXPECT_STREQ(channel.reply, "x");
    EXPECT_EQ(mount.commands(), (std::vector<std::string>{":AT#", ":AT#"}));

    mount.forget();
    ms = elapsedMs([&] { channel.command = ":AH#"; channel.exchangeAck(); });
    EXPECT_EQ(channel.replyFirst(), '\0');
    EXPECT_EQ(mount.commands(), (std::vector<std::string>{":AH#", ":AH#"}));
    // Two tries of 50 ms pause, 501 ms time-out and 200 ms rest.
    EXPECT_GE(ms, 1480.0);
    EXPECT_LE(ms, 1750.0);
}

TEST_F(CommandChannelTest, ExtraBytesOfALongReplyNeverReachTheNextRead)
{
    mount.answer(":GA#", "+12*30:00#EXTRA");
    exchange(":GA#", 10);
    EXPECT_STREQ(channel.reply, "+12*30:00#");
    Sleep(100);
    mount.answer(":V#", "V1.00#");
    exchange(":V#", 6);
    EXPECT_STREQ(channel.reply, "V1.00#");

    // The extra bytes really were waiting: read them without a purge.
    exchange(":GA#", 10);
    Sleep(100);
    char rest[8] = {};
    EXPECT_EQ(channel.port->read(rest, 5), 5u);
    EXPECT_EQ(std::string(rest, 5), "EXTRA");
}

TEST_F(CommandChannelTest, ACommandWithoutReplyIsNeverCutByTheNextOnesPurge)
{
    // Tracking on, then a pulse at once: both must reach the mount.
    for (int i = 0; i < 200; ++i) {
        channel.command = ":RT2#";
        channel.sendCommand();
        channel.command = ":Mn100#";
        channel.sendCommand();
    }
    ASSERT_TRUE(mount.waitForCommands(400, 5000));
    std::string expected;
    for (int i = 0; i < 200; ++i)
        expected += ":RT2#:Mn100#";
    EXPECT_EQ(mount.received(), expected);
}

TEST_F(CommandChannelTest, ShortReplyShowsAsAShorterString)
{
    mount.answer(":MountInfo#", "6150");
    double ms = elapsedMs([&] { exchange(":MountInfo#", 6); });
    EXPECT_STREQ(channel.reply, "6150");
    EXPECT_EQ(channel.replyLength(), 4u);
    EXPECT_GE(ms, 50.0 + 506.0 - 15.0);
}

TEST_F(CommandChannelTest, ReplyIsClearedBeforeEveryReadAndStaysTerminated)
{
    mount.answer(":GR#", "12:34:56.7#");
    exchange(":GR#", 11);
    EXPECT_STREQ(channel.reply, "12:34:56.7#");
    mount.answer(":GD#", "+1#");
    exchange(":GD#", 10);
    EXPECT_STREQ(channel.reply, "+1#");

    // However much the mount pours out, the reply ends in a zero.
    mount.answer(":GZ#", std::string(150, 'Z'));
    exchange(":GZ#", 150);
    EXPECT_EQ(channel.replyLength(), 98u);
    EXPECT_EQ(channel.reply[98], '\0');
    EXPECT_EQ(channel.reply[99], '\0');
}

TEST(CommandChannelWithoutPort, ExchangesReturnAtOnceWithAnEmptyReply)
{
    CommandChannel channel;
    auto checkIdle = [&] {
        std::memset(channel.reply, 'J', sizeof channel.reply);
        channel.command = ":GR#";
        double ms = elapsedMs([&] {
            channel.sendCommand();
            channel.readReply(11);
        });
        EXPECT_EQ(channel.replyLength(), 0u);
        std::memset(channel.reply, 'J', sizeof channel.reply);
        ms += elapsedMs([&] { channel.exchangeAck(); });
        EXPECT_EQ(channel.replyFirst(), '\0');
        EXPECT_LT(ms, 20.0);
    };
    checkIdle();

    EXPECT_FALSE(channel.openPort(9));
    EXPECT_EQ(channel.port, nullptr);
    checkIdle();

    ASSERT_TRUE(channel.openPort(1));
    channel.closePort();
    channel.closePort();
    EXPECT_EQ(channel.port, nullptr);
    checkIdle();
}

TEST(CommandChannelFormat, FormatsCommandsFromNumbers)
{
    CommandChannel channel;
    channel.formatCommand(":Sd %c%02d*%02d:%02d#", '-', 10, 15, 0);
    EXPECT_EQ(channel.command, ":Sd -10*15:00#");
    channel.formatCommand(":RG%03ld#", 50L);
    EXPECT_EQ(channel.command, ":RG050#");
}

} // namespace

#include "Protocol.h"

namespace {

TEST(MountModel, ToldApartByTheExactMountInfoReply)
{
    EXPECT_EQ(modelFromMountInfo(":KV72#"), 2);
    EXPECT_EQ(modelFromMountInfo("6150"), 3);
    // A six-byte read of "6150" and more matches neither.
    EXPECT_EQ(modelFromMountInfo("6150xx"), 1);
    EXPECT_EQ(modelFromMountInfo("6150#"), 1);
    EXPECT_EQ(modelFromMountInfo(":KV72"), 1);
    EXPECT_EQ(modelFromMountInfo(""), 1);
    EXPECT_EQ(modelFromMountInfo("LT1000"), 1);
    EXPECT_EQ(timeReplyLength(3), 9u);
    EXPECT_EQ(timeReplyLength(2), 11u);
    EXPECT_EQ(timeReplyLength(0), 11u);
}

} // namespace

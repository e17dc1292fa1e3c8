// The command channel on the POSIX port over a pseudo-terminal: the
// acknowledged exchange and its retry, timed on the system clock, and the
// same silence on a clock of the test's own, where only the port's read
// time-outs take real time.
#include "CommandChannel.h"
#include "PseudoTerminal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// Moves only when slept on, and writes down every pause.
class PauseCountingClock final : public Clock {
public:
    std::uint64_t steadyMs() override { return slept; }
    std::int64_t wallMs() override { return 1767225600000LL + std::int64_t(slept); }
    void sleepMs(std::uint32_t milliseconds) override
    {
        slept += milliseconds;
        pauses.push_back(milliseconds);
    }

    std::uint64_t slept = 0;
    std::vector<std::uint32_t> pauses;
};

// The mount's end: for each answer in turn, waits for one command and
// answers it (an empty answer is silence); what it read is kept.
class ScriptedFarEnd {
public:
    ScriptedFarEnd(PseudoTerminal& line, std::size_t commandSize, std::vector<std::string> answers)
        : worker([this, &line, commandSize, answers] {
              for (const std::string& answer : answers) {
                  std::string command = line.receive(commandSize, 3000);
                  if (command.empty())
                      return;
                  commands.push_back(command);
                  if (!answer.empty())
                      line.send(answer);
              }
          })
    {
    }
    ~ScriptedFarEnd() { finish(); }
    void finish()
    {
        if (worker.joinable())
            worker.join();
    }

    std::vector<std::string> commands;

private:
    std::thread worker;
};

TEST(CommandChannelOnPty, AcknowledgementIsTriedAtMostTwice)
{
    struct Case {
        const char* what;
        std::vector<std::string> answers;
        std::size_t tries;
        int failed;
        const char* reply;
    };
    const Case cases[] = {
        {"accepted", {"1"}, 1, 0, "1"},
        {"refused", {"0"}, 1, 0, "0"},
        {"garbage, then accepted", {"x", "1"}, 2, 1, "1"},
        {"garbage twice", {"?", "?"}, 2, 2, "?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PseudoTerminal line;
        ASSERT_TRUE(line.ready());
        CommandChannel channel;
        ASSERT_TRUE(channel.openDevice(line.path()));
        ASSERT_TRUE(channel.hasOpenPort());
        channel.command = ":AP#";
        ScriptedFarEnd mount(line, channel.command.size(), c.answers);
        double ms = elapsedMs([&] { channel.exchangeAck(); });
        mount.finish();
        EXPECT_EQ(mount.commands, std::vector<std::string>(c.tries, ":AP#"));
        EXPECT_TRUE(channel.replyEquals(c.reply)) << channel.reply;
        // Each try: the 50 ms pause, then a read that ends with the byte;
        // a failed one adds the 200 ms pause, the last one too.
        const double least = 50.0 * double(c.tries) + 200.0 * c.failed;
        EXPECT_GE(ms, least - 1.0);
        EXPECT_LT(ms, least + 150.0);
    }
}

TEST(CommandChannelOnPty, SilenceTakesTwoTriesOfPauseAndTimeOut)
{
    // On the system clock every pause is real: 2 x (50 + 501 + 200) ms. On a
    // clock that only counts, the same exchange takes only the reads'
    // 2 x 501 ms, and the pauses it asked for are exactly 50, 200, 50, 200.
    struct Case {
        const char* what;
        bool ownClock;
        double expectedMs;
    };
    const Case cases[] = {{"system clock", false, 2 * (50.0 + 501.0 + 200.0)},
                          {"pause-counting clock", true, 2 * 501.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PseudoTerminal line;
        ASSERT_TRUE(line.ready());
        PauseCountingClock counting;
        CommandChannel channel;
        if (c.ownClock)
            channel.clock = &counting;
        ASSERT_TRUE(channel.openDevice(line.path()));
        channel.command = ":AT#";
        double ms = elapsedMs([&] { channel.exchangeAck(); });
        EXPECT_EQ(line.receive(9, 200), ":AT#:AT#") << "the command went out twice";
        EXPECT_EQ(channel.replyLength(), 0u);
        EXPECT_GE(ms, c.expectedMs - 2.0);
        EXPECT_LT(ms, c.expectedMs + 200.0);
        std::printf("[ figures  ] unanswered acknowledgement, %s: %.1f ms (expected %.0f)\n", c.what, ms,
                    c.expectedMs);
        if (c.ownClock) {
            EXPECT_EQ(counting.pauses, (std::vector<std::uint32_t>{50, 200, 50, 200}));
            EXPECT_EQ(counting.slept, 500u);
        }
    }
}

TEST(CommandChannelOnPty, TheTallyCountsEachExchangeOnceAndTheSilenceSinceTheLastAnswer)
{
    // Each step after the one before, on one line: an acknowledged
    // command's two tries are one exchange, answered when either try got a
    // byte back, whatever it was.
    struct Step {
        const char* what;
        bool acknowledged;
        std::vector<std::string> answers;
        std::uint64_t exchanges;
        std::uint64_t unanswered;
        std::uint32_t inARow;
    };
    const Step steps[] = {
        {"a read answered", false, {"V1.00#"}, 1, 0, 0},
        {"a read unanswered", false, {""}, 2, 1, 1},
        {"both tries unanswered", true, {"", ""}, 3, 2, 2},
        {"a read unanswered again", false, {""}, 4, 3, 3},
        {"garbage twice: answered", true, {"?", "?"}, 5, 3, 0},
        {"silent, then accepted", true, {"", "1"}, 6, 3, 0},
        {"a read unanswered once more", false, {""}, 7, 4, 1},
    };
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    PauseCountingClock counting;
    CommandChannel channel;
    channel.clock = &counting;
    ASSERT_TRUE(channel.openDevice(line.path()));
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        channel.command = ":V#";
        ScriptedFarEnd mount(line, channel.command.size(), step.answers);
        if (step.acknowledged) {
            channel.exchangeAck();
        } else {
            channel.sendCommand();
            channel.readReply(6);
        }
        mount.finish();
        EXPECT_EQ(channel.tally().exchanges, step.exchanges);
        EXPECT_EQ(channel.tally().unanswered, step.unanswered);
        EXPECT_EQ(channel.tally().unansweredInARow, step.inARow);
    }
    EXPECT_EQ(channel.tally().unusable, 0u);
    channel.noteUnusableReply();
    EXPECT_EQ(channel.tally().unusable, 1u);
    EXPECT_EQ(channel.tally().unusableCommand, ":V#");
}

TEST(CommandChannelOnPty, ReplyIsReadAfterThePauseAndStaysTerminated)
{
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    CommandChannel channel;
    ASSERT_TRUE(channel.openDevice(line.path()));
    // A reply longer than the buffer: 98 bytes are read, the rest waits.
    const std::string longReply(120, '7');
    channel.command = ":GR#";
    ScriptedFarEnd mount(line, 4, {longReply});
    channel.sendCommand();
    double ms = elapsedMs([&] { channel.readReply(200); });
    mount.finish();
    EXPECT_EQ(mount.commands, std::vector<std::string>{":GR#"});
    EXPECT_EQ(channel.replyLength(), 98u);
    EXPECT_EQ(channel.reply[98], '\0');
    EXPECT_GE(ms, 49.0);
    EXPECT_LT(ms, 250.0);

    // The channel's next command purges the rest before it goes out.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    channel.command = ":GD#";
    ScriptedFarEnd second(line, 4, {"+22*00#"});
    channel.sendCommand();
    channel.readReply(7);
    second.finish();
    EXPECT_TRUE(channel.replyEquals("+22*00#")) << channel.reply;

    channel.closePort();
    EXPECT_FALSE(channel.hasOpenPort());
    EXPECT_FALSE(channel.openDevice(line.path() + "-missing"));
    EXPECT_FALSE(channel.hasOpenPort());
}

} // namespace

#include "core/command_framer.h"

#include <gtest/gtest.h>

using velmaro::sim::CommandFramer;
using Commands = std::vector<std::string>;

TEST(CommandFraming, SplitsCommandsWhereverTheChunksBreak) {
    const std::string stream = ":GR#:GD#:Sr 12:34:56#";
    CommandFramer whole;
    EXPECT_EQ(whole.feed(stream), (Commands{":GR#", ":GD#", ":Sr 12:34:56#"}));

    CommandFramer byteWise;
    Commands got;
    for (char c : stream) {
        for (auto& cmd : byteWise.feed(std::string(1, c))) got.push_back(cmd);
    }
    EXPECT_EQ(got, (Commands{":GR#", ":GD#", ":Sr 12:34:56#"}));
}

TEST(CommandFraming, IgnoresBytesOutsideCommands) {
    CommandFramer f;
    EXPECT_EQ(f.feed(std::string("\x06junk##\r\n:GR#tail", 16)), Commands{":GR#"});
    EXPECT_FALSE(f.midCommand());
}

TEST(CommandFraming, BareParkCommandEndsAfterThreeBytes) {
    CommandFramer f;
    EXPECT_EQ(f.feed(":KA"), Commands{":KA"});
    // A stray '#' after it is outside any command; the next one still frames.
    EXPECT_EQ(f.feed("#:GR#"), Commands{":GR#"});
    EXPECT_EQ(f.feed(":KA:GD#"), (Commands{":KA", ":GD#"}));
    // Longer commands that merely start with K are not cut short.
    EXPECT_EQ(f.feed(":KB#"), Commands{":KB#"});
}

TEST(CommandFraming, DropsRunawayCommandAndRecovers) {
    CommandFramer f;
    const std::string runaway = ":" + std::string(CommandFramer::kMaxCommandLength, 'x');
    EXPECT_TRUE(f.feed(runaway).empty());
    EXPECT_FALSE(f.midCommand());
    EXPECT_TRUE(f.feed("yyy#").empty());  // the tail of the runaway
    EXPECT_EQ(f.feed(":V#"), Commands{":V#"});

    // Right at the limit is still a command.
    const std::string longest = ":" + std::string(CommandFramer::kMaxCommandLength - 2, 'z') + "#";
    EXPECT_EQ(f.feed(longest), Commands{longest});
}

#include "core/options.h"

#include <gtest/gtest.h>

using namespace velmaro::sim;
using Status = ParsedCommandLine::Status;

TEST(CommandLine, ReadsEveryOptionInEitherSpelling) {
    const auto p = parseCommandLine({"--model", "2", "--link=/tmp/port", "--transcript", "/tmp/t.log", "--pace",
                                     "--fault", ":GR#=late", "--fault=:Sr=garbage", "--fault", ":KA=silence",
                                     "--slew-rate", "2.5", "--latitude=-33.9", "--longitude", "151.2",
                                     "--utc-offset", "10"});
    ASSERT_EQ(p.status, Status::Run) << p.error;
    const FrontEndOptions& o = p.options;
    EXPECT_EQ(o.sim.model, 2);
    EXPECT_EQ(o.linkPath, "/tmp/port");
    EXPECT_EQ(o.transcriptPath, "/tmp/t.log");
    EXPECT_TRUE(o.pace);
    EXPECT_EQ(o.sim.faults.size(), 3u);
    EXPECT_EQ(o.sim.faults.at(":GR#"), FaultKind::Late);
    EXPECT_EQ(o.sim.faults.at(":Sr"), FaultKind::Garbage);
    EXPECT_EQ(o.sim.faults.at(":KA"), FaultKind::Silence);
    EXPECT_DOUBLE_EQ(o.sim.slewRateDegPerSec, 2.5);
    EXPECT_DOUBLE_EQ(o.sim.latitudeDeg, -33.9);
    EXPECT_DOUBLE_EQ(o.sim.longitudeDeg, 151.2);
    EXPECT_DOUBLE_EQ(o.sim.utcOffsetHours, 10);
}

TEST(CommandLine, RejectsBadInputWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--link", "/tmp/p"},
        {"--model", "2"},
        {"--model", "4", "--link", "/tmp/p"},
        {"--model", "", "--link", "/tmp/p"},
        {"--model", "1", "--link"},
        {"--model", "1", "--link", "/tmp/p", "--latitude", "91"},
        {"--model", "1", "--link", "/tmp/p", "--longitude", "-180.5"},
        {"--model", "1", "--link", "/tmp/p", "--slew-rate", "0"},
        {"--model", "1", "--link", "/tmp/p", "--slew-rate", "fast"},
        {"--model", "1", "--link", "/tmp/p", "--slew-rate", "nan"},
        {"--model", "1", "--link", "/tmp/p", "--utc-offset", "3h"},
        {"--model", "1", "--link", "/tmp/p", "--fault", ":GR#=slow"},
        {"--model", "1", "--link", "/tmp/p", "--fault", "GR#=late"},
        {"--model", "1", "--link", "/tmp/p", "--fault", ":GR#"},
        {"--model", "1", "--link", "/tmp/p", "--pace=yes"},
        {"--model", "1", "--link", "/tmp/p", "--verbose"},
        {"--model", "1", "--link", "/tmp/p", "extra"},
    };
    for (const auto& args : bad) {
        const auto p = parseCommandLine(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(p.status, Status::Error) << joined;
        EXPECT_FALSE(p.error.empty()) << joined;
    }
    EXPECT_EQ(parseCommandLine({"--help"}).status, Status::Help);
    EXPECT_EQ(usageLine().find('\n'), std::string::npos);
}

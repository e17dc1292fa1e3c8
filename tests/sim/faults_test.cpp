// Injected faults change what goes on the line, never what the mount does.
#include <gtest/gtest.h>

#include <string>

#include "sim_bench.h"

using namespace velmaro::sim;
using namespace velmaro::sim::testing;

namespace {

SimConfig withFault(int model, const std::string& command, FaultKind kind) {
    SimConfig c = modelConfig(model);
    c.faults[command] = kind;
    return c;
}

Reply only(std::vector<Reply> replies) {
    EXPECT_EQ(replies.size(), 1u);
    return replies.empty() ? Reply{} : replies.front();
}

}  // namespace

TEST(Faults, EachKindSpoilsTheReplyItsOwnWay) {
    for (int model : {1, 2, 3}) {
        Bench clean(modelConfig(model));
        const std::string good = clean.ask(":GR#");
        ASSERT_FALSE(good.empty());

        Bench silent(withFault(model, ":GR#", FaultKind::Silence));
        const Reply s = only(silent.sim.receive(":GR#", 1000, kTestUtc));
        EXPECT_EQ(s.bytes, "");
        EXPECT_EQ(s.command, ":GR#");  // still reported for the transcript

        Bench garbled(withFault(model, ":GR#", FaultKind::Garbage));
        const std::string g = garbled.ask(":GR#");
        EXPECT_EQ(g.size(), good.size());
        EXPECT_EQ(g.find_first_of("0123456789#:*+-.ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz "),
                  std::string::npos)
            << g;

        Bench truncated(withFault(model, ":GR#", FaultKind::Truncated));
        const std::string t = truncated.ask(":GR#");
        EXPECT_LT(t.size(), good.size());
        EXPECT_GE(t.size(), good.size() / 2);
        EXPECT_EQ(good.compare(0, t.size(), t), 0) << t;

        Bench late(withFault(model, ":GR#", FaultKind::Late));
        const Reply l = only(late.sim.receive(":GR#", 1000, kTestUtc));
        EXPECT_EQ(l.bytes, good);
        EXPECT_DOUBLE_EQ(l.delaySeconds, MountSim::kLateReplyDelay);
        EXPECT_GE(l.delaySeconds, 0.6);  // past a client's 500 ms + per-byte read window
    }
}

TEST(Faults, TouchOnlyTheNamedCommand) {
    SimConfig c = modelConfig(3);
    c.faults[":GR#"] = FaultKind::Silence;
    c.faults[":MS#"] = FaultKind::Truncated;
    Bench b(c);
    EXPECT_EQ(b.ask(":V#"), "V1.00#");
    EXPECT_EQ(b.ask(":GD#").size(), 10u);
    const std::vector<Reply> mixed = b.sim.receive(":GR#:V#", 1000, kTestUtc);
    ASSERT_EQ(mixed.size(), 2u);
    EXPECT_EQ(mixed[0].bytes, "");
    EXPECT_EQ(mixed[1].bytes, "V1.00#");
    // One-byte reply cut in half is nothing at all, but the slew still starts.
    b.ask(":Sd +60*00:00#");
    EXPECT_EQ(b.ask(":MS#"), "");
    EXPECT_TRUE(b.state().slewing);
}

TEST(Faults, KeyWithoutTerminatorCoversEveryCommandItStarts) {
    SimConfig c = modelConfig(1);
    c.faults[":Sr"] = FaultKind::Garbage;
    c.faults[":G"] = FaultKind::Silence;
    c.faults[":GD#"] = FaultKind::Late;  // exact beats prefix
    Bench b(c);
    EXPECT_EQ(b.ask(":Sr 01:00:00#"), "~");
    EXPECT_NEAR(b.state().targetRaHours, 1.0, 1e-12);  // the command still took effect
    EXPECT_EQ(b.ask(":GR#"), "");
    EXPECT_EQ(b.ask(":GS#"), "");
    const Reply d = only(b.sim.receive(":GD#", 1000, kTestUtc));
    EXPECT_EQ(d.bytes.size(), 10u);
    EXPECT_GT(d.delaySeconds, 0);
    EXPECT_EQ(b.ask(":V#"), "V1.00#");
}

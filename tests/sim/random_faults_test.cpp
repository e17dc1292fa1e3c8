// The faults a misbehaving mount shows, drawn at random from a seed, and the
// simulator's judgement of which commands belong to the protocol.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/options.h"
#include "sim_bench.h"

using namespace velmaro::sim;
using namespace velmaro::sim::testing;

namespace {

SimConfig withFault(int model, const std::string& command, FaultKind kind) {
    SimConfig c = modelConfig(model);
    c.faults[command] = kind;
    return c;
}

Reply first(MountSim& sim, const std::string& command) {
    const auto replies = sim.receive(command, 1000, kTestUtc);
    EXPECT_EQ(replies.size(), 1u) << command;
    return replies.empty() ? Reply{} : replies.front();
}

SimConfig randomFaults(int model, int percent, std::uint64_t seed) {
    SimConfig c = modelConfig(model);
    c.randomFaultPercent = percent;
    c.faultSeed = seed;
    return c;
}

// What a run of commands gets: the fault kind (or "-") and the bytes.
std::vector<std::string> run(SimConfig config, int commands) {
    MountSim sim(std::move(config));
    sim.update(1000, kTestUtc);
    std::vector<std::string> out;
    for (int i = 0; i < commands; ++i) {
        const Reply r = first(sim, i % 2 ? ":GD#" : ":GR#");
        out.push_back(std::string(r.fault ? faultKindName(*r.fault) : "-") + "|" + r.bytes);
    }
    return out;
}

}  // namespace

TEST(RandomFaults, NewKindsSpoilTheReplyTheirOwnWay) {
    for (int model : {1, 2, 3}) {
        Bench clean(modelConfig(model));
        const std::string good = clean.ask(":GD#");
        ASSERT_EQ(good.size(), 10u);

        Bench noise(withFault(model, ":GD#", FaultKind::Noise));
        const Reply n = first(noise.sim, ":GD#");
        EXPECT_EQ(n.fault, FaultKind::Noise);
        EXPECT_GE(n.bytes.size(), 1u);
        EXPECT_LE(n.bytes.size(), 40u);
        EXPECT_NE(n.bytes, good);

        Bench overlong(withFault(model, ":GD#", FaultKind::Overlong));
        const Reply o = first(overlong.sim, ":GD#");
        EXPECT_GE(o.bytes.size(), good.size() + 100);  // past the driver's 100-byte reply buffer
        EXPECT_EQ(o.bytes.compare(0, good.size(), good), 0) << o.bytes;

        Bench range(withFault(model, ":GD#", FaultKind::OutOfRange));
        const Reply r = first(range.sim, ":GD#");
        ASSERT_EQ(r.bytes.size(), good.size());
        EXPECT_EQ(r.bytes.substr(1), "99*99:99#");
        EXPECT_EQ(r.bytes[0], good[0]);

        Bench vanish(withFault(model, ":GD#", FaultKind::Vanish));
        const Reply v = first(vanish.sim, ":GD#");
        EXPECT_TRUE(v.vanish);
        EXPECT_EQ(v.bytes, "");
        EXPECT_EQ(v.fault, FaultKind::Vanish);
        // The mount itself carries on: the next command is answered.
        EXPECT_EQ(vanish.ask(":GR#").size(), clean.ask(":GR#").size());
    }
}

TEST(RandomFaults, SameSeedSameFaultsOtherSeedOthers) {
    const auto a = run(randomFaults(3, 50, 1234), 300);
    EXPECT_EQ(a, run(randomFaults(3, 50, 1234), 300));
    EXPECT_NE(a, run(randomFaults(3, 50, 1235), 300));
}

TEST(RandomFaults, DrawEveryKindAtTheRateAsked) {
    std::map<std::string, int> kinds;
    int spoiled = 0;
    const auto all = run(randomFaults(2, 100, 7), 700);
    for (const std::string& r : all) {
        const std::string kind = r.substr(0, r.find('|'));
        ASSERT_NE(kind, "-");
        ++kinds[kind];
    }
    EXPECT_EQ(kinds.size(), sizeof kRandomFaultKinds / sizeof kRandomFaultKinds[0]);
    for (const auto& [kind, count] : kinds) EXPECT_GT(count, 50) << kind;

    for (const std::string& r : run(randomFaults(2, 20, 7), 2000)) spoiled += r[0] != '-';
    EXPECT_GT(spoiled, 300);
    EXPECT_LT(spoiled, 500);
    for (const std::string& r : run(randomFaults(2, 0, 7), 200)) EXPECT_EQ(r[0], '-');
}

TEST(RandomFaults, NamedFaultsComeBeforeRandomOnes) {
    SimConfig c = randomFaults(3, 100, 99);
    c.faults[":GR#"] = FaultKind::Late;
    MountSim sim(c);
    sim.update(1000, kTestUtc);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(first(sim, ":GR#").fault, FaultKind::Late);
}

TEST(ProtocolTable, KnowsTheCommandsOfEachModelAndNothingElse) {
    const std::map<int, std::vector<std::string>> known = {
        {1, {":V#", ":MountInfo#", ":GR#", ":GD#", ":GA#", ":GZ#", ":GS#", ":GL#", ":GC#", ":GG#", ":Gt#", ":Gg#",
             ":GAM#", ":SE?#", ":Q#", ":PK#", ":MS#", ":CMR#", ":RG#", ":GGS#", ":GTR#", ":STR1#", ":STR5#",
             ":Sr 05:30:00#", ":Sd -10*15:00#", ":Sz 180:00:00#", ":Sz 05:15:00#", ":Sa +45*30:00#",
             ":St -33*52:04#", ":Sg -071*15:00#"}},
        {2, {":V#", ":pS#", ":KA", ":PO#", ":Q#", ":MS#", ":CMR#", ":RT0#", ":RT1#", ":RT2#", ":RT9#", ":Mn999#",
             ":Me050#", ":Sg 288*45:00#"}},
        {3, {":V#", ":pS#", ":AH#", ":AP#", ":SE?#", ":Q#", ":MH#", ":MP1#", ":MP0#", ":MS#", ":CM#", ":AG#",
             ":RG050#", ":RG999#", ":AT#", ":ST1#", ":ST0#", ":RT1#", ":RT7#", ":QT#", ":Ms32700#", ":Sg +151*12:30#"}},
    };
    const std::map<int, std::vector<std::string>> unknown = {
        {1, {":XYZ#", ":AT#", ":KA", ":Mn100#", ":STR12#", ":STR-1#", ":Sz 5:15:00#", ":Sr 5:30:00#", ":Sr ab:cd:ef#",
             ":Sd 10*15:00#", ":Sg 288*45:00#"}},
        {2, {":GAM#", ":AT#", ":RT5#", ":RT12#", ":Mn1000#", ":Mx100#", ":Sg -071*15:00#"}},
        {3, {":GAM#", ":PK#", ":RT12345#", ":RT-1#", ":RG1000#", ":Mn999#", ":St 33*52:04#", ":Sg 151*12:30#"}},
    };
    for (const auto& [model, commands] : known) {
        for (const std::string& cmd : commands) {
            MountSim sim(modelConfig(model));
            EXPECT_TRUE(first(sim, cmd).recognized) << "model " << model << " " << cmd;
        }
    }
    for (const auto& [model, commands] : unknown) {
        for (const std::string& cmd : commands) {
            MountSim sim(modelConfig(model));
            EXPECT_FALSE(first(sim, cmd).recognized) << "model " << model << " " << cmd;
        }
    }
}

TEST(ProtocolTable, TakesAnAzimuthOfTwoDigits) {
    // The degrees are at least two wide: 5.25 degrees go out as 05:15:00.
    Bench b(modelConfig(1));
    EXPECT_EQ(b.ask(":Sz 05:15:00#"), "1");
    EXPECT_EQ(b.ask(":Sz 180:00:00#"), "1");
    EXPECT_EQ(b.ask(":Sz 360:00:00#"), "0");
}

TEST(RandomFaults, CommandLineOptions) {
    const auto p = parseCommandLine({"--model", "3", "--link", "/tmp/p", "--random-faults", "25", "--seed=42",
                                     "--fault-log", "/tmp/f.log", "--vanish-ms", "150", "--fault", ":GR#=noise",
                                     "--fault", ":GD#=overlong", "--fault", ":GA#=out-of-range", "--fault",
                                     ":GZ#=vanish"});
    ASSERT_EQ(p.status, ParsedCommandLine::Status::Run) << p.error;
    EXPECT_EQ(p.options.sim.randomFaultPercent, 25);
    EXPECT_EQ(p.options.sim.faultSeed, 42u);
    EXPECT_EQ(p.options.faultLogPath, "/tmp/f.log");
    EXPECT_DOUBLE_EQ(p.options.vanishSeconds, 0.15);
    EXPECT_EQ(p.options.sim.faults.at(":GR#"), FaultKind::Noise);
    EXPECT_EQ(p.options.sim.faults.at(":GD#"), FaultKind::Overlong);
    EXPECT_EQ(p.options.sim.faults.at(":GA#"), FaultKind::OutOfRange);
    EXPECT_EQ(p.options.sim.faults.at(":GZ#"), FaultKind::Vanish);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--random-faults", "101"}, {"--random-faults", "-1"}, {"--random-faults", "x"}, {"--seed", "1.5"},
             {"--seed", ""}, {"--vanish-ms", "60001"}, {"--fault-log", ""}, {"--fault", ":GR#=explode"}}) {
        std::vector<std::string> args = {"--model", "3", "--link", "/tmp/p"};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(parseCommandLine(args).status, ParsedCommandLine::Status::Error) << bad[0] << " " << bad[1];
    }
}

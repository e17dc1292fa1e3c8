// What the core says it can do, per model, and the members whose answer
// never changes: none of them talks to the mount.
#include "CoreTest.h"

#include <string>
#include <utility>

namespace {

using Getter = Outcome (Mount::*)(bool&) const;

struct Capability {
    const char* name;
    Getter get;
    // The answer on models 0 (never connected), 1, 2 and 3.
    bool answer[4];
};

// Written out per member, as a client reads it, not per rule.
const Capability kCapabilities[] = {
    {"CanFindHome", &Mount::canFindHome, {false, false, false, true}},
    {"CanPark", &Mount::canPark, {true, true, true, true}},
    {"CanPulseGuide", &Mount::canPulseGuide, {true, false, true, true}},
    {"CanSetDeclinationRate", &Mount::canSetDeclinationRate, {false, false, false, false}},
    {"CanSetGuideRates", &Mount::canSetGuideRates, {false, false, false, true}},
    {"CanSetPark", &Mount::canSetPark, {false, false, false, false}},
    {"CanSetPierSide", &Mount::canSetPierSide, {false, false, false, false}},
    {"CanSetRightAscensionRate", &Mount::canSetRightAscensionRate, {false, false, false, false}},
    {"CanSetTracking", &Mount::canSetTracking, {true, true, true, true}},
    {"CanSlew", &Mount::canSlew, {true, true, true, true}},
    {"CanSlewAltAz", &Mount::canSlewAltAz, {false, true, false, false}},
    {"CanSlewAltAzAsync", &Mount::canSlewAltAzAsync, {false, true, false, false}},
    {"CanSlewAsync", &Mount::canSlewAsync, {true, true, true, true}},
    {"CanSync", &Mount::canSync, {true, true, true, true}},
    {"CanSyncAltAz", &Mount::canSyncAltAz, {false, true, false, false}},
    {"CanUnpark", &Mount::canUnpark, {true, true, true, true}},
    {"DoesRefraction", &Mount::doesRefraction, {true, true, true, true}},
};

using OpticGetter = Outcome (Mount::*)(double&) const;
const std::pair<const char*, OpticGetter> kOptics[] = {
    {"ApertureArea", &Mount::apertureArea},
    {"ApertureDiameter", &Mount::apertureDiameter},
    {"FocalLength", &Mount::focalLength},
};

class Capabilities : public ModelTest {
protected:
    // Every capability against the table for `row`, on `object`; and not
    // one byte to the mount, nor a moment of waiting.
    void expectCapabilities(const Mount& object, int row)
    {
        forgetTraffic();
        for (const Capability& capability : kCapabilities) {
            SCOPED_TRACE(capability.name);
            for (bool start : {false, true}) {
                bool value = start;
                EXPECT_EQ((object.*capability.get)(value), succeeded());
                EXPECT_EQ(value, capability.answer[row]);
            }
        }
        for (const auto& optic : kOptics) {
            SCOPED_TRACE(optic.first);
            double value = -5.0;
            EXPECT_EQ((object.*optic.second)(value), succeeded());
            EXPECT_EQ(value, 1.0);
        }
        EXPECT_EQ(script.received(), "");
        EXPECT_EQ(clock.pausedMs(), 0u);
    }
};

TEST_P(Capabilities, FollowTheModelConnectedOrNot)
{
    connectAsModel();
    expectCapabilities(*mount, model());
    // Disconnected, the model found last still counts.
    ASSERT_EQ(mount->setConnected(false), succeeded());
    expectCapabilities(*mount, model());
    // And on every object that shares the state.
    std::unique_ptr<Mount> other = newMount();
    expectCapabilities(*other, model());
}

TEST_P(Capabilities, FollowTheModelThatTheLatestConnectionFound)
{
    connectAsModel();
    ASSERT_EQ(mount->setConnected(false), succeeded());
    // The mount now answers as the next model up.
    int next = model() % 3 + 1;
    script.answer(":MountInfo#", mountInfoAnswer(next));
    script.answer(":V#", "V1.00#");
    ASSERT_EQ(mount->setConnected(true), succeeded());
    expectCapabilities(*mount, next);
}

TEST_P(Capabilities, RefractionCannotBeSwitchedOffAndRawCommandsAreRefused)
{
    connectAsModel();
    forgetTraffic();
    EXPECT_EQ(mount->setDoesRefraction(true), succeeded());
    EXPECT_EQ(mount->setDoesRefraction(false), failed(OutcomeKind::NotImplemented, "Cannot set DoesRefraction to FALSE"));
    // Refused or not, it is still on.
    bool on = false;
    ASSERT_EQ(mount->doesRefraction(on), succeeded());
    EXPECT_TRUE(on);

    for (const char* text : {":GR#", "", ":Q#"}) {
        for (bool raw : {false, true}) {
            SCOPED_TRACE(std::string(text) + (raw ? " raw" : ""));
            EXPECT_EQ(mount->commandBlind(text, raw),
                      failed(OutcomeKind::NotImplemented, "Do not support CommandBlind"));
            bool answer = true;
            EXPECT_EQ(mount->commandBool(text, raw, answer),
                      failed(OutcomeKind::NotImplemented, "Do not support CommandBool"));
            EXPECT_TRUE(answer) << "a refusal leaves the value alone";
            std::string reply = "untouched";
            EXPECT_EQ(mount->commandString(text, raw, reply),
                      failed(OutcomeKind::NotImplemented, "Do not support CommandString"));
            EXPECT_EQ(reply, "untouched");
        }
    }
    EXPECT_EQ(script.received(), "");
}

INSTANTIATE_TEST_SUITE_P(Models, Capabilities, ::testing::Values(0, 1, 2, 3), modelName);

} // namespace

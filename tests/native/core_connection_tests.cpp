// Connecting the core to a scripted mount: the probe that reads the stored
// port before every connect, the handshake and the model detection, the
// refusals, and driver objects that share one mount.
#include "CoreTest.h"
#include "MountProbe.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The setup probe asks all of this on its own port, which it closes again;
// then the connection shakes hands on its own port and asks for the model.
const Commands kProbe = {":V#", ":MountInfo#", ":GR#", ":GD#", ":GA#", ":GZ#", ":GL#", ":GG#", ":Gt#", ":Gg#"};
const Commands kConnect = {":V#", ":MountInfo#"};

Commands probeThenConnect()
{
    Commands sequence = kProbe;
    sequence.insert(sequence.end(), kConnect.begin(), kConnect.end());
    return sequence;
}

using ConnectionByModel = ModelTest;


TEST_P(ConnectionByModel, ProbesThenShakesHandsAndTakesTheModel)
{
    script.answerAsModel(model());
    bool connected = true;
    ASSERT_EQ(mount->connected(connected), succeeded());
    EXPECT_FALSE(connected);

    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(script.commands(), probeThenConnect());
    EXPECT_EQ(script.received(), ":V#:MountInfo#:GR#:GD#:GA#:GZ#:GL#:GG#:Gt#:Gg#:V#:MountInfo#");
    // The probe's port and the connection's: the stored port both times.
    EXPECT_EQ(script.openAttempts(), Commands(2, "scripted/COM1"));
    EXPECT_EQ(script.baudRates(), std::vector<std::uint32_t>(2, 9600u));
    // One 50 ms pause before each reply; nothing else waits.
    EXPECT_EQ(clock.pauses(), std::vector<std::uint32_t>(12, 50u));
    ASSERT_EQ(mount->connected(connected), succeeded());
    EXPECT_TRUE(connected);
    EXPECT_EQ(int(mount->sharedState().model), model());
    EXPECT_TRUE(mount->holdsPort());
    // The probe closed its port again.
    EXPECT_EQ(script.openPorts(), 1);

    // The same state again changes nothing and sends nothing.
    forgetTraffic();
    EXPECT_EQ(mount->setConnected(true), succeeded());
    EXPECT_TRUE(script.commands().empty());
    EXPECT_EQ(mount->setConnected(false), succeeded());
    EXPECT_EQ(mount->setConnected(false), succeeded());
    EXPECT_TRUE(script.commands().empty());
    EXPECT_TRUE(script.openAttempts().empty());
    ASSERT_EQ(mount->connected(connected), succeeded());
    EXPECT_FALSE(connected);
    EXPECT_FALSE(mount->holdsPort());
    EXPECT_EQ(script.openPorts(), 0);
    // Disconnecting forgets nothing of the model.
    EXPECT_EQ(int(state->model), model());
}

INSTANTIATE_TEST_SUITE_P(Models, ConnectionByModel, ::testing::Values(1, 2, 3), modelName);

// The ":MountInfo#" answer and the model it makes; six bytes are read.
struct Detection {
    const char* answer;  // nullptr: no answer
    int model;
};

class ModelDetection : public CoreTest, public ::testing::WithParamInterface<Detection> {};

TEST_P(ModelDetection, TheWholeAnswerNamesTheModelAndAnyOtherMeansModel1)
{
    const Detection& detection = GetParam();
    script.answer(":V#", "V1.00#");
    if (detection.answer)
        script.answer(":MountInfo#", detection.answer);
    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(int(state->model), detection.model);
    EXPECT_TRUE(state->connected);
    EXPECT_EQ(script.commands(), probeThenConnect());
}

const Detection kDetections[] = {
    {"LT1000", 1}, {"000000", 1}, {":KV72#", 2}, {"6150", 3},   {nullptr, 1},  {"6150xx", 1},
    {":KV72", 1},  {"6150#", 1},  {"61", 1},     {":KV72#xyz", 2}, {"", 1},
};

INSTANTIATE_TEST_SUITE_P(Answers, ModelDetection, ::testing::ValuesIn(kDetections));

using Connection = CoreTest;

TEST_F(Connection, TheConnectionsOwnAnswerDecidesTheModelNotTheProbes)
{
    script.answer(":V#", "V1.00#");
    script.answerOnce(":MountInfo#", ":KV72#");
    script.answerOnce(":MountInfo#", "6150");
    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(int(state->model), 3);
}

// A handshake that is not exactly "V1.00#", and the model stays unknown.
class FailedHandshake : public CoreTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedHandshake, FailsWithThePortNumberAndAsksNothingMore)
{
    const char* handshake = GetParam();
    if (handshake)
        script.answer(":V#", handshake);
    script.answer(":MountInfo#", ":KV72#");
    EXPECT_EQ(mount->setConnected(true), failed(OutcomeKind::Failure, "Cannot open port COM1!"));
    // The probe's handshake, then the connection's: neither goes further.
    EXPECT_EQ(script.commands(), (Commands{":V#", ":V#"}));
    bool connected = true;
    ASSERT_EQ(mount->connected(connected), succeeded());
    EXPECT_FALSE(connected);
    EXPECT_EQ(int(state->model), 0);
    EXPECT_FALSE(mount->holdsPort());
    EXPECT_EQ(script.openPorts(), 0);
}

INSTANTIATE_TEST_SUITE_P(Handshakes, FailedHandshake,
                         ::testing::Values("V1.00", "V1.01#", "v1.00#", "x", "V1.00 ", "", nullptr));

TEST_F(Connection, AFailedConnectKeepsTheModelTheLastConnectionFound)
{
    connectAs(2);
    ASSERT_EQ(mount->setConnected(false), succeeded());
    script.silence(":V#");
    EXPECT_EQ(mount->setConnected(true), failed(OutcomeKind::Failure, "Cannot open port COM1!"));
    EXPECT_FALSE(state->connected);
    EXPECT_EQ(int(state->model), 2);
}

// A port that cannot be opened: nothing is sent at all.
struct Unopenable {
    const char* name;
    int storedPort;
    bool present;
    bool busy;
    const char* message;
};

class UnopenablePort : public CoreTest, public ::testing::WithParamInterface<Unopenable> {};

TEST_P(UnopenablePort, FailsWithTheStoredPortsNumber)
{
    const Unopenable& port = GetParam();
    script.answerAsModel(2);
    settings.storedPort = port.storedPort;
    const std::string path = scriptedDevicePath(port.storedPort);
    if (port.present)
        script.addDevice(path);
    script.setBusy(path, port.busy);
    EXPECT_EQ(mount->setConnected(true), failed(OutcomeKind::Failure, port.message));
    EXPECT_EQ(script.openAttempts(), Commands(2, path));
    EXPECT_EQ(script.received(), "");
    EXPECT_FALSE(state->connected);
    EXPECT_EQ(int(state->model), 0);
    EXPECT_FALSE(mount->holdsPort());
}

const Unopenable kUnopenable[] = {
    {"Missing", 7, false, false, "Cannot open port COM7!"},
    {"Busy", 7, true, true, "Cannot open port COM7!"},
    {"BusyFirstPort", 1, true, true, "Cannot open port COM1!"},
    {"MissingSixteen", 16, false, false, "Cannot open port COM16!"},
};

INSTANTIATE_TEST_SUITE_P(Ports, UnopenablePort, ::testing::ValuesIn(kUnopenable),
                         [](const ::testing::TestParamInfo<Unopenable>& info) { return std::string(info.param.name); });

TEST_F(Connection, TheStoredPortIsUsedAndAnUnreadableStoreMeansTheFirstWithoutAProbe)
{
    script.answerAsModel(3);
    script.addDevice(scriptedDevicePath(5));
    settings.storedPort = 5;
    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(script.openAttempts(), Commands(2, "scripted/COM5"));
    ASSERT_EQ(mount->setConnected(false), succeeded());

    // The store cannot be read: no probe, and the default port.
    forgetTraffic();
    settings.readable = false;
    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(script.openAttempts(), Commands{"scripted/COM1"});
    EXPECT_EQ(script.commands(), kConnect);
    ASSERT_EQ(mount->setConnected(false), succeeded());

    // Nothing stored: the default port too, with the probe.
    forgetTraffic();
    settings.readable = true;
    settings.portStored = false;
    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(script.openAttempts(), Commands(2, "scripted/COM1"));
    EXPECT_EQ(script.commands(), probeThenConnect());
}

TEST_F(Connection, AStaleReplyOnTheLineIsDroppedBeforeEachCommand)
{
    connectAs(2);
    script.sendUnasked("+45*00:00#");
    script.answer(":GA#", "+12*30:00#");
    double altitude = 0;
    ASSERT_EQ(mount->altitude(altitude), succeeded());
    EXPECT_DOUBLE_EQ(altitude, 12.5);
}

TEST_F(Connection, ObjectsSharingAStateSeeOneConnectionAndOneModel)
{
    std::unique_ptr<Mount> second = newMount();
    connectAs(3);
    bool connected = false;
    ASSERT_EQ(second->connected(connected), succeeded());
    EXPECT_TRUE(connected);
    EXPECT_FALSE(second->holdsPort());
    // Already connected: the second object sends nothing and opens nothing.
    EXPECT_EQ(second->setConnected(true), succeeded());
    EXPECT_TRUE(script.openAttempts().empty());
    // The model is the shared one: model 3 homes.
    bool canHome = false;
    ASSERT_EQ(second->canFindHome(canHome), succeeded());
    EXPECT_TRUE(canHome);
    // The second object has no port: its readers hear nothing and keep
    // their own last readings.
    script.answer(":GA#", "+12*30:00#");
    double altitude = -1;
    ASSERT_EQ(second->altitude(altitude), succeeded());
    EXPECT_EQ(altitude, 0.0);
    ASSERT_EQ(mount->altitude(altitude), succeeded());
    EXPECT_DOUBLE_EQ(altitude, 12.5);
    EXPECT_EQ(script.commands(), Commands{":GA#"});

    // Released without the port, nothing changes.
    forgetTraffic();
    EXPECT_FALSE(second->release());
    ASSERT_EQ(mount->connected(connected), succeeded());
    EXPECT_TRUE(connected);

    // The port holder gone, nothing holds the link: no longer connected.
    std::unique_ptr<Mount> third = newMount();
    EXPECT_TRUE(mount->release());
    ASSERT_EQ(third->connected(connected), succeeded());
    EXPECT_FALSE(connected);
    EXPECT_FALSE(mount->holdsPort());
    EXPECT_EQ(script.openPorts(), 0);
    EXPECT_EQ(script.received(), "");
    EXPECT_EQ(int(state->model), 3);
}

TEST_F(Connection, AnotherObjectsDisconnectLeavesTheHoldersPortOpen)
{
    std::unique_ptr<Mount> second = newMount();
    connectAs(2);
    ASSERT_EQ(second->setConnected(false), succeeded());
    bool connected = true;
    ASSERT_EQ(mount->connected(connected), succeeded());
    EXPECT_FALSE(connected);
    EXPECT_TRUE(mount->holdsPort());
    EXPECT_EQ(script.received(), "");

    // Connecting again: the probe cannot open the port the holder still
    // has, so only the connection's own exchange goes out.
    ASSERT_EQ(mount->setConnected(true), succeeded());
    EXPECT_EQ(script.commands(), kConnect);
    EXPECT_EQ(script.openPorts(), 1);
    EXPECT_TRUE(state->connected);
}

TEST_F(Connection, ASecondMountOnTheSamePortIsRefused)
{
    connectAs(1);
    auto otherState = std::make_shared<MountState>();
    std::unique_ptr<Mount> other = newMount(otherState);
    EXPECT_EQ(other->setConnected(true), failed(OutcomeKind::Failure, "Cannot open port COM1!"));
    EXPECT_EQ(script.received(), "");
    EXPECT_FALSE(otherState->connected);
    EXPECT_TRUE(state->connected);
}

TEST_F(Connection, TheNamesAndFixedNumbersNeverTalkToTheMount)
{
    for (bool connect : {false, true}) {
        if (connect)
            connectAs(2);
        std::string text = "untouched";
        ASSERT_EQ(mount->name(text), succeeded());
        EXPECT_EQ(text, "Velmaro Telescope");
        ASSERT_EQ(mount->description(text), succeeded());
        EXPECT_EQ(text, "Velmaro Telescope");
        ASSERT_EQ(mount->driverInfo(text), succeeded());
        EXPECT_EQ(text, "Velmaro Telescope ASCOM Driver 2.1 Copyright (C) 2026 the Velmaro developers. "
                        "All rights reserved.");
        ASSERT_EQ(mount->driverVersion(text), succeeded());
        EXPECT_EQ(text, "2.1");
        int number = 0;
        ASSERT_EQ(mount->interfaceVersion(number), succeeded());
        EXPECT_EQ(number, 3);
        ASSERT_EQ(mount->equatorialSystem(number), succeeded());
        EXPECT_EQ(number, 1);
        EXPECT_EQ(mount->dispose(), succeeded());
        EXPECT_EQ(script.received(), "");
        EXPECT_EQ(clock.pausedMs(), 0u);
    }
    // Dispose leaves the connection as it was.
    EXPECT_TRUE(state->connected);
}

TEST_F(Connection, TheProbeShowsTheRightAscensionRoundedToTheSecondWithItsCarry)
{
    struct Case {
        int model;
        const char* reply;
        const char* shown;
    };
    const Case cases[] = {
        {2, "05:34:31.4#", "05h34m31s"},
        {2, "05:34:31.5#", "05h34m32s"},
        {2, "05:34:59.4#", "05h34m59s"},
        {2, "05:34:59.5#", "05h35m00s"},
        {2, "05:59:59.9#", "06h00m00s"},
        {2, "23:59:59.5#", "00h00m00s"},
        {1, "12:00:59.9#", "12h01m00s"},
        // Nine bytes on model 3: the tenth second is never read.
        {3, "05:34:59.9#", "05h34m59s"},
        // Out of range, the mount's own numbers show.
        {2, "05:34:60.0#", "05h34m60s"},
        {2, "24:59:59.5#", "24h59m60s"},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.reply);
        script.answerAsModel(each.model);
        script.answer(":GR#", each.reply);
        const MountProbe probe(settings, clock, script.maker());
        EXPECT_EQ(probe.rightAscensionText, each.shown);
    }
}

} // namespace

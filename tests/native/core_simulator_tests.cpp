// The mount core over the POSIX serial port against the real simulator on a
// pseudo-terminal, in real time: what the scripted port stands in for in
// the other native tests, once end to end per model.
#include "Mount.h"
#include "MountModels.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// The one port the simulator offers, at the path of its link.
class SimulatorSettings final : public MountSettings {
public:
    explicit SimulatorSettings(std::string link) : link(std::move(link)) {}
    bool readPort(int& portNumber) override
    {
        portNumber = 3;
        return true;
    }
    bool readTraceSwitch() override { return false; }
    void storePort(int) override {}
    void storeTraceSwitch(bool) override {}
    std::string devicePath(int) override { return link; }

private:
    std::string link;
};

// A simulator process of one model, with its transcript, stopped at the end.
class Simulator {
public:
    explicit Simulator(int model)
    {
        char folder[] = "/tmp/velmaro-core-sim-XXXXXX";
        directory = mkdtemp(folder) ? folder : "";
        link = directory + "/link";
        transcript = directory + "/transcript";
        process = fork();
        if (process == 0) {
            std::string number = std::to_string(model);
            execl(VELMARO_SIMULATOR, VELMARO_SIMULATOR, "--model", number.c_str(), "--link", link.c_str(),
                  "--transcript", transcript.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int wait = 0; wait < 200 && access(link.c_str(), F_OK) != 0; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Simulator()
    {
        if (process > 0) {
            kill(process, SIGTERM);
            waitpid(process, nullptr, 0);
        }
        std::remove(transcript.c_str());
        rmdir(directory.c_str());
    }
    bool ready() const { return process > 0 && access(link.c_str(), F_OK) == 0; }
    std::vector<std::string> commands() const
    {
        std::vector<std::string> lines;
        std::ifstream in(transcript);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::string link;

private:
    std::string directory;
    std::string transcript;
    pid_t process = -1;
};

struct SimulatedModel {
    int model;
    // What the connect sends after the probe: the handshake and the model query.
    std::vector<std::string> connectTail;
};

class CoreOnSimulator : public ::testing::TestWithParam<SimulatedModel> {};

TEST_P(CoreOnSimulator, ConnectsReadsSlewsParksAndDisconnects)
{
    const SimulatedModel& row = GetParam();
    Simulator simulator(row.model);
    ASSERT_TRUE(simulator.ready());
    SimulatorSettings settings(simulator.link);
    auto state = std::make_shared<MountState>();
    Mount mount(state, settings);

    ASSERT_TRUE(mount.setConnected(true).isSuccess());
    EXPECT_TRUE(state->connected);
    EXPECT_EQ(int(state->model), row.model);
    // The probe closed its port before the connection opened its own: the
    // connection's handshake and model query come last.
    std::vector<std::string> sent = simulator.commands();
    ASSERT_GE(sent.size(), row.connectTail.size());
    EXPECT_EQ(std::vector<std::string>(sent.end() - row.connectTail.size(), sent.end()), row.connectTail);
    EXPECT_EQ(sent.front(), ":V#");

    double rightAscension = -1.0, declination = -100.0;
    ASSERT_TRUE(mount.rightAscension(rightAscension).isSuccess());
    ASSERT_TRUE(mount.declination(declination).isSuccess());
    EXPECT_GE(rightAscension, 0.0);
    EXPECT_LT(rightAscension, 24.0);
    EXPECT_GE(declination, -90.0);
    EXPECT_LE(declination, 90.0);

    // A slew to a point near where it stands ends, and the position follows.
    double targetRightAscension = rightAscension + 0.05 < 24.0 ? rightAscension + 0.05 : rightAscension - 0.05;
    double targetDeclination = declination + 0.5 <= 90.0 ? declination + 0.5 : declination - 0.5;
    ASSERT_TRUE(mount.setTargetRightAscension(targetRightAscension).isSuccess());
    ASSERT_TRUE(mount.setTargetDeclination(targetDeclination).isSuccess());
    ASSERT_TRUE(mount.slewToTargetAsync().isSuccess());
    bool slewing = true;
    for (int poll = 0; poll < 150 && slewing; ++poll)
        ASSERT_TRUE(mount.slewing(slewing).isSuccess());
    EXPECT_FALSE(slewing);
    ASSERT_TRUE(mount.declination(declination).isSuccess());
    EXPECT_NEAR(declination, targetDeclination, 0.1);

    // Parked, the core refuses to move before anything is sent. (A mount
    // that can be asked may still be on its way to the park position.)
    ASSERT_TRUE(mount.park().isSuccess());
    // An answered read after the park: the simulator has taken a park
    // command that is only sent (":KA") before it answers, so the count
    // below cannot miss it.
    ASSERT_TRUE(mount.declination(declination).isSuccess());
    std::size_t before = simulator.commands().size();
    EXPECT_EQ(mount.slewToTarget().kind(), OutcomeKind::InvalidWhileParked);
    EXPECT_EQ(simulator.commands().size(), before);
    ASSERT_TRUE(mount.unpark().isSuccess());

    ASSERT_TRUE(mount.setConnected(false).isSuccess());
    EXPECT_FALSE(state->connected);
    EXPECT_FALSE(mount.holdsPort());
}

INSTANTIATE_TEST_SUITE_P(Models, CoreOnSimulator,
                         ::testing::Values(SimulatedModel{1, {":V#", ":MountInfo#"}},
                                           SimulatedModel{2, {":V#", ":MountInfo#"}},
                                           SimulatedModel{3, {":V#", ":MountInfo#"}}),
                         [](const ::testing::TestParamInfo<SimulatedModel>& info) {
                             return "Model" + std::to_string(info.param.model);
                         });

// The port the core holds is its own: a second core on the same device is
// refused, with the text the client reads, and the first goes on.
TEST(CoreOnSimulator, ASecondConnectionToAHeldDeviceIsRefused)
{
    Simulator simulator(3);
    ASSERT_TRUE(simulator.ready());
    SimulatorSettings settings(simulator.link);
    Mount first(std::make_shared<MountState>(), settings);
    Mount second(std::make_shared<MountState>(), settings);
    ASSERT_TRUE(first.setConnected(true).isSuccess());
    Outcome refused = second.setConnected(true);
    EXPECT_EQ(refused.kind(), OutcomeKind::Failure);
    EXPECT_EQ(refused.text(), "Cannot open port COM3!");
    double hours = -1.0;
    ASSERT_TRUE(first.rightAscension(hours).isSuccess());
    EXPECT_GE(hours, 0.0);
}

} // namespace

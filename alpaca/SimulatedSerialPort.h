// A simulated mount inside the server: the simulator's core answering
// behind the link's SerialPort, as velmaro-mountsim answers on its
// pseudo-terminal, with its replies paced as on a 9600 baud line. The mount
// outlives the ports opened onto it (one at a time, as a device is opened
// exclusively), so it keeps its position, park and tracking between
// connections.
#pragma once

#include "SerialPort.h"

#include "core/mount_sim.h"
#include "core/reply_scheduler.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class SimulatedMount : public std::enable_shared_from_this<SimulatedMount> {
public:
    explicit SimulatedMount(velmaro::sim::SimConfig config);

    // "simulated mount (model 2)": what the setup page and the log call it
    // where a real mount's serial device would be named.
    std::string label() const;
    // Ports onto this mount; the device path they are opened with is not read.
    SerialPortMaker portMaker();

    // One port's use of the mount, under the mount's lock.
    bool take();
    void giveBack();
    void feed(const char* bytes, std::uint32_t count);
    // Up to count bytes that were on the line by now; a paced reply still
    // coming gives its bytes as they arrive.
    std::uint32_t takeArrived(char* buffer, std::uint32_t count, double& nextArrival);
    void dropArrived();

private:
    void releaseDue(double now);

    std::mutex mutex;
    velmaro::sim::MountSim sim;
    velmaro::sim::ReplyScheduler scheduler;
    const int modelNumber;
    std::string arrived;  // bytes on the line that no read has taken
    bool taken = false;
};

// The simulator's own options beside --simulate, as velmaro-mountsim reads
// them ("--latitude", "40.5", ...): its ranges and its reasons. False with
// the reason on a bad one.
bool simulatorConfig(int model, const std::vector<std::string>& options, velmaro::sim::SimConfig& config,
                     std::string& error);


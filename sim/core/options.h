// Command line of velmaro-mountsim, parsed without touching the system.
#pragma once

#include <string>
#include <vector>

#include "core/mount_sim.h"

namespace velmaro::sim {

struct FrontEndOptions {
    SimConfig sim;
    std::string linkPath;
    std::string transcriptPath;  // empty: no transcript
    bool pace = false;
    std::string faultLogPath;   // empty: injected faults are not logged
    std::string motionLogPath;  // empty: the motion is not logged
    double vanishSeconds = 0.3; // how long the port stays away after a vanish fault
};

struct ParsedCommandLine {
    enum class Status { Run, Help, Error };
    Status status = Status::Error;
    FrontEndOptions options;
    std::string error;
};

// `args` excludes the program name.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& args);
std::string usageLine();

}  // namespace velmaro::sim

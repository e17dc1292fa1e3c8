// What every test of the mount core shares: a Mount on a scripted mount,
// a virtual clock and settings in memory; outcomes compared as values;
// the debug log read back; the wait bound set for one test.
#pragma once

#include "MemorySettings.h"
#include "Mount.h"
#include "ScriptedPort.h"
#include "VirtualClock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const double kInfinity = std::numeric_limits<double>::infinity();

using Commands = std::vector<std::string>;

// An outcome as a test expects it: kind, text and driver number.
struct Expected {
    OutcomeKind kind;
    std::string text;
    std::uint32_t number;
};

Expected succeeded();
// A refusal by number: the client reads "Unknown Error".
Expected numbered(DriverErrorNumber number);
Expected failed(OutcomeKind kind, const std::string& text);
Expected warned(const std::string& text);

bool operator==(const Outcome& outcome, const Expected& expected);
inline bool operator!=(const Outcome& outcome, const Expected& expected)
{
    return !(outcome == expected);
}
const char* kindName(OutcomeKind kind);
void PrintTo(const Outcome& outcome, std::ostream* out);
void PrintTo(const Expected& expected, std::ostream* out);

// One mount, its clock, its settings, and the state of the driver objects
// on it. `mount` is the first object; more can share the state.
class CoreTest : public ::testing::Test {
protected:
    CoreTest();

    std::unique_ptr<Mount> newMount();
    std::unique_ptr<Mount> newMount(std::shared_ptr<MountState> shared);
    // The mount answers as `model` (1 to 3) and `mount` connects; what the
    // connect sent and paused is forgotten.
    void connectAs(int model);
    // Forgets the mount's record and the clock's pauses.
    void forgetTraffic();

    VirtualClock clock;
    MountScript script{clock};
    MemorySettings settings;
    std::shared_ptr<MountState> state = std::make_shared<MountState>();
    std::unique_ptr<Mount> mount;
};

// A test whose parameter is the model (0: never connected).
class ModelTest : public CoreTest, public ::testing::WithParamInterface<int> {
protected:
    int model() const { return GetParam(); }
    // Connects as the model; model 0 stays unconnected.
    void connectAsModel();
};

std::string modelName(const ::testing::TestParamInfo<int>& info);

// While it lives, the current directory is a fresh one, so that the debug
// log the core writes there can be read back.
class DebugLog {
public:
    DebugLog();
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;
    bool ready() const { return entered; }
    // The messages logged so far, without their date and time.
    std::vector<std::string> messages() const;

private:
    std::string directory;
    std::string previous;
    bool entered = false;
};

// Sets an environment variable for one test and puts back what was there.
class EnvironmentSetting {
public:
    // `value` nullptr: the variable unset.
    EnvironmentSetting(const char* name, const char* value);
    ~EnvironmentSetting();
    EnvironmentSetting(const EnvironmentSetting&) = delete;
    EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;

private:
    std::string name;
    std::string previous;
    bool hadPrevious = false;
};

// The wait bound of the core, VELMARO_WAIT_LIMIT_MS.
class WaitLimit : public EnvironmentSetting {
public:
    explicit WaitLimit(const char* milliseconds) : EnvironmentSetting("VELMARO_WAIT_LIMIT_MS", milliseconds) {}
};

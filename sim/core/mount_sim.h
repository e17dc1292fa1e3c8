// The simulated mount: protocol replies for the three models and the motion
// behind them.  No clock and no I/O here: callers pass the time in, which
// keeps every behaviour reproducible in tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/command_framer.h"

namespace velmaro::sim {

// Garbage keeps the reply's length with no protocol character in it; Noise
// is random bytes of a random length; OutOfRange keeps the layout with every
// digit a 9; Vanish takes the port away (the front end closes the line and
// opens it again).
enum class FaultKind { Silence, Garbage, Truncated, Late, Noise, Overlong, OutOfRange, Vanish };

// The kinds that random faults draw from.
constexpr FaultKind kRandomFaultKinds[] = {FaultKind::Silence,  FaultKind::Noise,      FaultKind::Truncated,
                                           FaultKind::Overlong, FaultKind::OutOfRange, FaultKind::Late,
                                           FaultKind::Vanish};

const char* faultKindName(FaultKind kind);
std::optional<FaultKind> faultKindFromName(std::string_view name);

struct SimConfig {
    int model = 1;                   // 1, 2 or 3
    double latitudeDeg = 48.5;       // north positive
    double longitudeDeg = -71.25;    // east positive
    double utcOffsetHours = -5.0;    // mount clock = UTC + offset
    double slewRateDegPerSec = 4.0;  // on each axis
    // Keyed by command text.  A key ending in '#' (or the bare ":KA") must
    // match exactly; any other key matches every command starting with it.
    std::map<std::string, FaultKind> faults;
    // Percent of the other commands that get a fault drawn at random from
    // kRandomFaultKinds; the draws (and random bytes) follow faultSeed.
    int randomFaultPercent = 0;
    std::uint64_t faultSeed = 1;
};

struct Reply {
    double delaySeconds = 0.0;  // from the moment the command was received
    std::string bytes;          // may be empty: nothing goes on the line
    std::string command;        // the command exactly as framed
    std::optional<FaultKind> fault;  // the fault spoiling this reply, if any
    bool vanish = false;        // the port goes away instead of a reply
    // False when the command is not one the protocol knows for this model,
    // or its arguments do not have the command's layout.
    bool recognized = true;
};

// A snapshot for tests and diagnostics, as of the last update.
struct MountSnapshot {
    double raHours = 0, decDeg = 0;
    double haHours = 0, altDeg = 0, azDeg = 0, lstHours = 0;
    double targetRaHours = 0, targetDecDeg = 0;  // the equatorial target last set
    bool tracking = false;
    bool slewing = false;
    bool parked = false;
    bool atHome = false;
    bool pulseGuiding = false;
    int trackingRate = 0;  // in the model's own numbering
    double guideRate = 0;  // fraction of 15 arcsec/s
    double latitudeDeg = 0, longitudeDeg = 0;
};

class MountSim {
public:
    static constexpr double kLateReplyDelay = 0.8;

    explicit MountSim(SimConfig config);

    // Feeds received bytes.  Brings the motion up to `nowSeconds` (any
    // monotonic clock) and the sky to `utcEpochSeconds`, then answers every
    // complete command, one Reply each, in order, faults applied.
    std::vector<Reply> receive(std::string_view bytes, double nowSeconds, double utcEpochSeconds);

    // Brings motion and sky up to date without any input.
    void update(double nowSeconds, double utcEpochSeconds);

    MountSnapshot state() const;
    const SimConfig& config() const { return cfg_; }

private:
    enum class Goal { Target, Home, Park };
    enum class TargetKind { Equatorial, Horizontal };

    std::string execute(const std::string& cmd);
    std::string executeModel1(const std::string& cmd);
    std::string executeModel2(const std::string& cmd);
    std::string executeModel3(const std::string& cmd);
    std::string setSite(const std::string& cmd);
    std::string setTarget(const std::string& cmd);
    void applyFault(Reply& reply);
    std::string unknown();
    std::uint64_t nextRandom();

    double altitudeOf(double raHours, double decDeg) const;
    void targetEquatorial(double& raHours, double& decDeg, double& altDeg) const;
    bool slewToTarget();
    void syncToTarget();
    void beginSlew(double raHours, double decDeg, Goal goal);
    void park();
    void unpark();
    bool goHome();
    bool setTracking(bool on);  // false when refused
    void pulseGuide(char direction, int milliseconds);
    double poleDec() const { return cfg_.latitudeDeg >= 0 ? 90.0 : -90.0; }
    bool westOfPier() const;

    std::string localTimeReply() const;
    std::string localDateReply() const;
    std::string utcOffsetReply() const;
    long long localTenths() const;

    SimConfig cfg_;
    CommandFramer framer_;

    bool started_ = false;
    double now_ = 0, utc_ = 0, lst_ = 0;

    double ra_ = 0, dec_ = 0;
    bool tracking_ = true;
    bool parked_ = false;
    bool atHome_ = false;
    bool slewing_ = false;
    Goal goal_ = Goal::Target;
    double slewRa_ = 0, slewDec_ = 0;

    TargetKind targetKind_ = TargetKind::Equatorial;
    double targetRa_ = 0, targetDec_ = 0;
    double targetAlt_ = 0, targetAz_ = 0;

    int trackingRate_ = 0;
    double guideRate_ = 0.5;
    double guideUntil_ = 0;

    bool recognized_ = true;  // of the command being executed
    std::uint64_t randomState_ = 0;
};

}  // namespace velmaro::sim

#include "core/mount_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

#include "core/angles.h"
#include "core/astro.h"

namespace velmaro::sim {

namespace {

// Keeps day arithmetic far from integer limits whatever time a caller passes
// (about +-31,000 years).
constexpr double kUtcLimit = 1e12;
constexpr long long kTenthsPerDay = 864000;

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The text between `head` and the closing '#', when the command has that shape.
std::optional<std::string_view> argumentOf(const std::string& cmd, std::string_view head) {
    if (cmd.size() < head.size() + 1 || !startsWith(cmd, head) || cmd.back() != '#') return std::nullopt;
    return std::string_view(cmd).substr(head.size(), cmd.size() - head.size() - 1);
}

std::string flag(bool on) { return on ? "1" : "0"; }

long long floorDiv(long long a, long long b) {
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Pulse commands: ":M", a direction letter, a fixed number of digits, '#'.
bool parsePulse(const std::string& cmd, std::string_view digitsLayout, char& direction, int& ms) {
    if (cmd.size() < 3 || !startsWith(cmd, ":M")) return false;
    direction = cmd[2];
    if (direction != 'n' && direction != 's' && direction != 'e' && direction != 'w') return false;
    const auto fields = matchLayout(std::string_view(cmd).substr(3), digitsLayout);
    if (!fields || fields->size() != 1) return false;
    ms = (*fields)[0];
    return true;
}

SimConfig sanitized(SimConfig c) {
    if (c.model < 1 || c.model > 3) c.model = 1;
    if (!std::isfinite(c.latitudeDeg)) c.latitudeDeg = 0;
    c.latitudeDeg = std::clamp(c.latitudeDeg, -90.0, 90.0);
    if (!std::isfinite(c.longitudeDeg)) c.longitudeDeg = 0;
    c.longitudeDeg = wrapDegrees(c.longitudeDeg + 180.0) - 180.0;
    if (!std::isfinite(c.utcOffsetHours) || std::fabs(c.utcOffsetHours) > 24) c.utcOffsetHours = 0;
    if (!std::isfinite(c.slewRateDegPerSec) || c.slewRateDegPerSec <= 0) c.slewRateDegPerSec = 4.0;
    return c;
}

}  // namespace

const char* faultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Silence: return "silence";
        case FaultKind::Garbage: return "garbage";
        case FaultKind::Truncated: return "truncated";
        case FaultKind::Late: return "late";
        case FaultKind::Noise: return "noise";
        case FaultKind::Overlong: return "overlong";
        case FaultKind::OutOfRange: return "out-of-range";
        case FaultKind::Vanish: return "vanish";
    }
    return "?";
}

std::optional<FaultKind> faultKindFromName(std::string_view name) {
    for (FaultKind k : {FaultKind::Silence, FaultKind::Garbage, FaultKind::Truncated, FaultKind::Late,
                        FaultKind::Noise, FaultKind::Overlong, FaultKind::OutOfRange, FaultKind::Vanish}) {
        if (name == faultKindName(k)) return k;
    }
    return std::nullopt;
}

MountSim::MountSim(SimConfig config) : cfg_(sanitized(std::move(config))), randomState_(cfg_.faultSeed) {
    // Each model powers up tracking at sidereal rate, in its own numbering.
    trackingRate_ = cfg_.model == 2 ? 2 : 0;
}

std::vector<Reply> MountSim::receive(std::string_view bytes, double nowSeconds, double utcEpochSeconds) {
    update(nowSeconds, utcEpochSeconds);
    std::vector<Reply> replies;
    for (std::string& cmd : framer_.feed(bytes)) {
        Reply reply;
        recognized_ = true;
        reply.bytes = execute(cmd);
        reply.recognized = recognized_;
        reply.command = std::move(cmd);
        applyFault(reply);
        replies.push_back(std::move(reply));
    }
    return replies;
}

void MountSim::update(double nowSeconds, double utcEpochSeconds) {
    if (!std::isfinite(nowSeconds)) nowSeconds = now_;
    if (!std::isfinite(utcEpochSeconds)) utcEpochSeconds = utc_;
    const double utc = std::clamp(utcEpochSeconds, -kUtcLimit, kUtcLimit);
    const double lst = lstHours(utc, cfg_.longitudeDeg);

    if (!started_) {
        // Power-up: an hour past the meridian, 20 degrees toward the visible
        // pole, which is well above the horizon at any latitude.
        started_ = true;
        now_ = nowSeconds;
        utc_ = utc;
        lst_ = lst;
        ra_ = wrapHours(lst - 1.0);
        dec_ = cfg_.latitudeDeg >= 0 ? 20.0 : -20.0;
        targetRa_ = ra_;
        targetDec_ = dec_;
        return;
    }

    // A clock that steps back is treated as standing still.
    const double dt = nowSeconds > now_ ? nowSeconds - now_ : 0.0;
    const double skyTurn = wrapHoursSigned(lst - lst_);
    if (nowSeconds > now_) now_ = nowSeconds;
    utc_ = utc;
    lst_ = lst;

    double standingShare = 1.0;  // share of this step spent not slewing
    if (slewing_) {
        const double rate = cfg_.slewRateDegPerSec;
        const double dRa = wrapHoursSigned(slewRa_ - ra_) * 15.0;  // shorter way round
        const double dDec = slewDec_ - dec_;
        const double needed = std::max(std::fabs(dRa), std::fabs(dDec)) / rate;
        if (dt >= needed) {
            ra_ = slewRa_;
            dec_ = slewDec_;
            slewing_ = false;
            if (goal_ == Goal::Home) atHome_ = true;
            if (goal_ == Goal::Park) {
                parked_ = true;
                tracking_ = false;
            }
            standingShare = dt > 0 ? (dt - needed) / dt : 1.0;
        } else {
            const double step = rate * dt;
            ra_ = wrapHours(ra_ + std::clamp(dRa, -step, step) / 15.0);
            dec_ += std::clamp(dDec, -step, step);
            standingShare = 0.0;
        }
    }
    // Without tracking the mount stays put against the ground: its hour
    // angle is fixed, so its right ascension follows sidereal time.
    if (!slewing_ && !tracking_) ra_ = wrapHours(ra_ + skyTurn * standingShare);
}

MountSnapshot MountSim::state() const {
    MountSnapshot s;
    s.raHours = ra_;
    s.decDeg = dec_;
    s.lstHours = lst_;
    s.haHours = wrapHoursSigned(lst_ - ra_);
    const Horizontal h = toHorizontal(s.haHours, dec_, cfg_.latitudeDeg);
    s.altDeg = h.altDeg;
    s.azDeg = h.azDeg;
    s.targetRaHours = targetRa_;
    s.targetDecDeg = targetDec_;
    s.tracking = tracking_;
    s.slewing = slewing_;
    s.parked = parked_;
    s.atHome = atHome_;
    s.pulseGuiding = now_ < guideUntil_;
    s.trackingRate = trackingRate_;
    s.guideRate = guideRate_;
    s.latitudeDeg = cfg_.latitudeDeg;
    s.longitudeDeg = cfg_.longitudeDeg;
    return s;
}

// ---------------------------------------------------------------- dispatch

std::string MountSim::execute(const std::string& cmd) {
    const int m = cfg_.model;
    const bool tenths = m != 3;
    if (cmd == ":V#") return "V1.00#";
    if (cmd == ":MountInfo#") return m == 2 ? ":KV72#" : m == 3 ? "6150" : "LT1000";
    if (cmd == ":GR#") return formatHours(ra_, tenths) + "#";
    if (cmd == ":GD#") return formatSignedDegrees(dec_) + "#";
    if (cmd == ":GS#") return formatHours(lst_, tenths) + "#";
    if (cmd == ":GL#") return localTimeReply();
    if (cmd == ":GA#") return formatSignedDegrees(altitudeOf(ra_, dec_)) + "#";
    if (cmd == ":GZ#") {
        return formatAzimuth(toHorizontal(wrapHoursSigned(lst_ - ra_), dec_, cfg_.latitudeDeg).azDeg) + "#";
    }
    if (cmd == ":Gt#") return formatSignedDegrees(cfg_.latitudeDeg) + "#";
    if (cmd == ":Gg#") return formatLongitude(cfg_.longitudeDeg) + "#";
    if (cmd == ":GC#") return localDateReply();
    if (cmd == ":GG#") return utcOffsetReply();
    if (startsWith(cmd, ":St") || startsWith(cmd, ":Sg")) return setSite(cmd);
    if (startsWith(cmd, ":Sr") || startsWith(cmd, ":Sd")) return setTarget(cmd);
    switch (m) {
        case 1: return executeModel1(cmd);
        case 2: return executeModel2(cmd);
        default: return executeModel3(cmd);
    }
}

std::string MountSim::executeModel1(const std::string& cmd) {
    if (cmd == ":GAM#") return "0";
    if (cmd == ":SE?#") return flag(slewing_);
    if (cmd == ":Q#") {
        // This model's stop halts the drive altogether.
        slewing_ = false;
        tracking_ = false;
        return "";
    }
    if (cmd == ":PK#") {
        park();
        return "1";
    }
    if (startsWith(cmd, ":Sz") || startsWith(cmd, ":Sa")) {
        const bool azimuth = cmd[2] == 'z';
        const auto arg = argumentOf(cmd, azimuth ? ":Sz " : ":Sa ");
        // The azimuth's degrees are at least two digits wide: 5.25 degrees
        // go out as 05:15:00.
        const char* layout = "sdd*dd:dd";
        if (azimuth) layout = arg && arg->size() == 9 ? "ddd:dd:dd" : "dd:dd:dd";
        if (!arg || !matchLayout(*arg, layout)) recognized_ = false;
        std::optional<double> v;
        if (arg) v = parseDegrees(*arg, layout, azimuth ? 0 : -90, azimuth ? 360 : 90);
        if (!v || (azimuth && *v >= 360)) return "0";
        (azimuth ? targetAz_ : targetAlt_) = *v;
        targetKind_ = TargetKind::Horizontal;
        return "1";
    }
    if (cmd == ":MS#") return slewToTarget() ? "0" : "1";
    if (cmd == ":CMR#") {
        syncToTarget();
        return "Coordinates matched. #";
    }
    if (cmd == ":RG#") {
        setTracking(true);
        return "";
    }
    if (cmd == ":GGS#") return "1";
    if (cmd == ":GTR#") return std::string(1, static_cast<char>('0' + trackingRate_));
    if (startsWith(cmd, ":STR")) {
        // 0 sidereal, 1 solar, 2 lunar.
        const auto f = matchLayout(cmd, ":STRd#");
        if (!f) recognized_ = false;
        if (!f || (*f)[0] > 2) return "0";
        trackingRate_ = (*f)[0];
        return "1";
    }
    return unknown();
}

std::string MountSim::executeModel2(const std::string& cmd) {
    if (cmd == ":pS#") return westOfPier() ? "West#" : "East#";
    if (cmd == ":KA") {
        park();
        return "";
    }
    if (cmd == ":PO#") {
        unpark();
        return "";
    }
    if (cmd == ":Q#") {
        slewing_ = false;
        return "";
    }
    if (cmd == ":MS#") return slewToTarget() ? "0" : "1";
    if (cmd == ":CMR#") {
        syncToTarget();
        return "Coordinates     matched.        #";
    }
    if (startsWith(cmd, ":RT")) {
        // 2 sidereal, 0 lunar, 1 solar; 9 stops tracking but keeps the rate.
        const auto f = matchLayout(cmd, ":RTd#");
        if (f) {
            const int code = (*f)[0];
            if (code <= 2) {
                trackingRate_ = code;
                setTracking(true);
            } else if (code == 9) {
                setTracking(false);
            } else {
                recognized_ = false;
            }
        } else {
            recognized_ = false;
        }
        return "";
    }
    char direction = 0;
    int ms = 0;
    if (!parsePulse(cmd, "ddd#", direction, ms)) return unknown();
    pulseGuide(direction, ms);
    return "";
}

std::string MountSim::executeModel3(const std::string& cmd) {
    if (cmd == ":pS#") return flag(westOfPier());
    if (cmd == ":AH#") return flag(atHome_);
    if (cmd == ":AP#") return flag(parked_);
    if (cmd == ":SE?#") return flag(slewing_);
    if (cmd == ":Q#") {
        slewing_ = false;
        return "1";
    }
    if (cmd == ":MH#") return flag(goHome());
    if (cmd == ":MP1#") {
        park();
        return "1";
    }
    if (cmd == ":MP0#") {
        unpark();
        return "1";
    }
    if (cmd == ":MS#") return slewToTarget() ? "1" : "0";
    if (cmd == ":CM#") {
        syncToTarget();
        return "1";
    }
    if (cmd == ":AG#") {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%4.2f#", guideRate_);
        return buf;
    }
    if (startsWith(cmd, ":RG")) {
        const auto f = matchLayout(cmd, ":RGddd#");
        if (!f) recognized_ = false;
        if (!f || (*f)[0] < 10 || (*f)[0] > 100) return "0";
        guideRate_ = (*f)[0] / 100.0;
        return "1";
    }
    if (cmd == ":AT#") return flag(tracking_);
    if (cmd == ":ST1#") return flag(setTracking(true));
    if (cmd == ":ST0#") {
        setTracking(false);
        return "1";
    }
    if (startsWith(cmd, ":RT")) {
        const auto f = matchLayout(cmd, ":RTd#");
        if (!f) recognized_ = false;
        if (!f || (*f)[0] > 4) return "0";
        trackingRate_ = (*f)[0];
        return "1";
    }
    if (cmd == ":QT#") return std::string(1, static_cast<char>('0' + trackingRate_));
    char direction = 0;
    int ms = 0;
    if (!parsePulse(cmd, "ddddd#", direction, ms)) return unknown();
    pulseGuide(direction, ms);
    return "";
}

std::string MountSim::unknown() {
    recognized_ = false;
    return "";
}

std::string MountSim::setSite(const std::string& cmd) {
    const bool latitude = cmd[2] == 't';
    std::optional<double> v;
    const auto arg = argumentOf(cmd, latitude ? ":St " : ":Sg ");
    const char* layout = latitude ? "sdd*dd:dd" : cfg_.model == 2 ? "ddd*dd:dd" : "sddd*dd:dd";
    if (!arg || !matchLayout(*arg, layout)) recognized_ = false;
    if (arg) {
        if (latitude) {
            v = parseDegrees(*arg, "sdd*dd:dd", -90, 90);
        } else if (cfg_.model == 2) {
            // Counted eastward all the way round; past 180 it is a west longitude.
            v = parseDegrees(*arg, "ddd*dd:dd", 0, 360);
            if (v && *v > 180) *v -= 360;
        } else {
            v = parseDegrees(*arg, "sddd*dd:dd", -180, 180);
        }
    }
    if (!v) return "0";
    if (latitude) {
        cfg_.latitudeDeg = *v;
    } else {
        cfg_.longitudeDeg = *v;
        // Restart the sidereal reference so the jump is not taken as sky motion.
        lst_ = lstHours(utc_, cfg_.longitudeDeg);
    }
    return "1";
}

std::string MountSim::setTarget(const std::string& cmd) {
    const bool ra = cmd[2] == 'r';
    const auto arg = argumentOf(cmd, ra ? ":Sr " : ":Sd ");
    std::optional<double> v;
    if (!arg || !matchLayout(*arg, ra ? "dd:dd:dd" : "sdd*dd:dd")) recognized_ = false;
    if (arg) v = ra ? parseHours(*arg) : parseDegrees(*arg, "sdd*dd:dd", -90, 90);
    if (!v) return "0";
    (ra ? targetRa_ : targetDec_) = *v;
    targetKind_ = TargetKind::Equatorial;
    return "1";
}

std::uint64_t MountSim::nextRandom() {
    // splitmix64: the same sequence from the same seed on every platform.
    std::uint64_t z = (randomState_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void MountSim::applyFault(Reply& reply) {
    std::optional<FaultKind> kind;
    std::size_t longest = 0;
    for (const auto& [key, k] : cfg_.faults) {
        if (key == reply.command) {
            kind = k;
            break;
        }
        const bool exactOnly = !key.empty() && key.back() == '#';
        if (!exactOnly && !key.empty() && key.size() > longest && startsWith(reply.command, key)) {
            kind = k;
            longest = key.size();
        }
    }
    if (!kind && cfg_.randomFaultPercent > 0 && nextRandom() % 100 < std::uint64_t(cfg_.randomFaultPercent)) {
        constexpr std::size_t kinds = sizeof kRandomFaultKinds / sizeof kRandomFaultKinds[0];
        kind = kRandomFaultKinds[nextRandom() % kinds];
    }
    if (!kind) return;
    reply.fault = kind;
    switch (*kind) {
        case FaultKind::Silence:
            reply.bytes.clear();
            break;
        case FaultKind::Garbage: {
            // Nothing a reply can contain: no digits, letters, signs or separators.
            static constexpr char kNoise[] = "~?!%&@$^";
            for (std::size_t i = 0; i < reply.bytes.size(); ++i) reply.bytes[i] = kNoise[i % (sizeof kNoise - 1)];
            break;
        }
        case FaultKind::Truncated:
            reply.bytes.resize(reply.bytes.size() / 2);
            break;
        case FaultKind::Late:
            reply.delaySeconds = kLateReplyDelay;
            break;
        case FaultKind::Noise: {
            // Any byte values, NUL and '#' included, 1 to 40 of them.
            const std::size_t n = 1 + nextRandom() % 40;
            reply.bytes.clear();
            for (std::size_t i = 0; i < n; ++i) reply.bytes += static_cast<char>(nextRandom() & 0xFF);
            break;
        }
        case FaultKind::Overlong: {
            // The reply, then protocol characters well past any reply buffer.
            static constexpr char kProtocol[] = "0123456789:*#.+-";
            const std::size_t n = reply.bytes.size() + 100 + nextRandom() % 100;
            while (reply.bytes.size() < n) reply.bytes += kProtocol[nextRandom() % (sizeof kProtocol - 1)];
            break;
        }
        case FaultKind::OutOfRange:
            // Same layout, every field beyond its range: 99 hours, 99 minutes...
            for (char& c : reply.bytes) {
                if (c >= '0' && c <= '9') c = '9';
            }
            break;
        case FaultKind::Vanish:
            reply.bytes.clear();
            reply.vanish = true;
            break;
    }
}

// ------------------------------------------------------------------ motion

double MountSim::altitudeOf(double raHours, double decDeg) const {
    return toHorizontal(wrapHoursSigned(lst_ - raHours), decDeg, cfg_.latitudeDeg).altDeg;
}

void MountSim::targetEquatorial(double& raHours, double& decDeg, double& altDeg) const {
    if (targetKind_ == TargetKind::Horizontal) {
        // An alt-az target names a place in today's sky; fix it to the stars now.
        const HourAngleDec e = toEquatorial(targetAlt_, targetAz_, cfg_.latitudeDeg);
        raHours = wrapHours(lst_ - e.haHours);
        decDeg = e.decDeg;
        altDeg = targetAlt_;
    } else {
        raHours = targetRa_;
        decDeg = targetDec_;
        altDeg = altitudeOf(raHours, decDeg);
    }
}

bool MountSim::slewToTarget() {
    if (parked_) return false;
    double ra = 0, dec = 0, alt = 0;
    targetEquatorial(ra, dec, alt);
    if (alt < 0) return false;
    beginSlew(ra, dec, Goal::Target);
    return true;
}

void MountSim::syncToTarget() {
    if (parked_) return;
    double ra = 0, dec = 0, alt = 0;
    targetEquatorial(ra, dec, alt);
    ra_ = ra;
    dec_ = dec;
    atHome_ = false;
}

void MountSim::beginSlew(double raHours, double decDeg, Goal goal) {
    slewing_ = true;
    goal_ = goal;
    slewRa_ = wrapHours(raHours);
    slewDec_ = std::clamp(decDeg, -90.0, 90.0);
    atHome_ = false;
}

void MountSim::park() {
    if (parked_) return;
    // Park and home both point at the visible pole, meridian side.
    tracking_ = false;
    beginSlew(lst_, poleDec(), Goal::Park);
}

void MountSim::unpark() {
    const bool parking = slewing_ && goal_ == Goal::Park;
    if (parking) slewing_ = false;
    if (parked_ || parking) {
        parked_ = false;
        tracking_ = true;
    }
}

bool MountSim::goHome() {
    if (parked_) return false;
    beginSlew(lst_, poleDec(), Goal::Home);
    return true;
}

bool MountSim::setTracking(bool on) {
    // A parked mount keeps its drives off until it is unparked.
    if (parked_) {
        tracking_ = false;
        return !on;
    }
    tracking_ = on;
    return true;
}

void MountSim::pulseGuide(char direction, int milliseconds) {
    if (parked_ || slewing_) return;
    // The guide rate is a fraction of 15 arcsec per second on either axis.
    const double deg = guideRate_ * 15.0 / 3600.0 * milliseconds / 1000.0;
    switch (direction) {
        case 'n': dec_ = std::min(90.0, dec_ + deg); break;
        case 's': dec_ = std::max(-90.0, dec_ - deg); break;
        case 'e': ra_ = wrapHours(ra_ + deg / 15.0); break;
        case 'w': ra_ = wrapHours(ra_ - deg / 15.0); break;
        default: return;
    }
    atHome_ = false;
    guideUntil_ = std::max(guideUntil_, now_ + milliseconds / 1000.0);
}

bool MountSim::westOfPier() const {
    // East of the meridian (negative hour angle) the tube sits on the west side.
    return wrapHoursSigned(lst_ - ra_) < 0;
}

// ------------------------------------------------------------- mount clock

long long MountSim::localTenths() const {
    return static_cast<long long>(std::floor((utc_ + cfg_.utcOffsetHours * 3600.0) * 10.0));
}

std::string MountSim::localTimeReply() const {
    const long long t = localTenths();
    return formatTimeOfDay(t - floorDiv(t, kTenthsPerDay) * kTenthsPerDay, cfg_.model != 3) + "#";
}

std::string MountSim::localDateReply() const {
    // Derived from the same tenths as the time so the two never disagree at midnight.
    const CivilDate d = civilFromDays(floorDiv(localTenths(), kTenthsPerDay));
    const long long yy = ((d.year - 2000) % 100 + 100) % 100;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02lld#", d.month, d.day, yy);
    return buf;
}

std::string MountSim::utcOffsetReply() const {
    const double off = cfg_.utcOffsetHours;
    char buf[32];
    if (cfg_.model == 2) {
        const long long s = std::llround(std::fabs(off) * 3600.0);
        std::snprintf(buf, sizeof buf, "%c%02lld:%02lld:%02lld#", (off < 0 && s > 0) ? '-' : '+', s / 3600,
                      s / 60 % 60, s % 60);
    } else {
        const long long mins = std::llround(std::fabs(off) * 60.0);
        std::snprintf(buf, sizeof buf, cfg_.model == 1 ? "%c%02lld:%02lld:#" : "%c%02lld:%02lld#",
                      (off < 0 && mins > 0) ? '-' : '+', mins / 60, mins % 60);
    }
    return buf;
}

}  // namespace velmaro::sim

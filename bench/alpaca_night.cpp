// velmaro-alpaca-load --profile night: a night of three programs sharing the
// server, through the faults a night brings, for `make load PROFILE=night`
// (not a test, not part of make check).
//
// The simulated model 3 mount (replies paced at 9600 baud) and the server
// as it ships, on loopback. Three programs, each with its ClientID:
//   imaging      connects, slews to a target east of the meridian and waits
//                on Slewing, reads DeviceState once a second, slews across
//                the meridian after the first outage and to a next target
//                after the others, and parks at the end;
//   guider       a 200 ms PulseGuide every 2 s, IsPulseGuiding in between;
//   planetarium  RightAscension and Declination four times a second, until
//                the mount is parked.
// So each asks the mount something four times a second (the imaging
// program Slewing), which tells when it is served again, and each asks
// Connected every 2 s. Meanwhile the mount falls silent once (the simulator
// stopped, SIGSTOP, and let go on, SIGCONT) and its device goes away twice
// (the simulator ended, its link and pty gone, and started again on the
// same link), each for 10 s, at a sixth, five twelfths and two thirds of
// the night.
//
// Every request is timed, every command the mount receives and every line
// of the server's log time-stamped as it appears. An outage lasts, for the
// errors, from its start until the server's log says it serves again; the
// server notices it when its log says the device went away or the mount is
// not answering. An error answer is due within 100 ms of its request; one
// to a request sent before the notice met the loss itself (a silence is
// declared only after three exchanges have waited out their time-outs) or
// queued behind the exchange that did, and is held instead to 100 ms after
// the notice, and counted apart with its time from the request beside how
// long the server took to notice. The figures end
// in one verdict line per goal; exit status 1 when a goal is missed or the
// figures could not be measured.
#include "LoadSupport.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- The night --------------------------------------------------------------

constexpr int kTickMs = 250;
// In ticks: DeviceState once a second, Connected and a pulse every 2 s.
constexpr int kDeviceStateTicks = 4;
constexpr int kConnectedTicks = 8;
constexpr int kPulseTicks = 8;
constexpr int kPulseMs = 200;

constexpr int kOutageMs = 10000;
// When each outage begins, as a fraction of the night.
constexpr double kOutageAt[] = {1.0 / 6.0, 5.0 / 12.0, 2.0 / 3.0};
constexpr int kFirstSlewMs = 2000;
// A slew after a return: this long after it, or half-way to the next
// outage when that comes sooner.
constexpr int kSlewAfterReturnMs = 3000;
constexpr int kSlewWaitMs = 30000;
constexpr int kSlewTries = 12;
constexpr int kParkWaitMs = 45000;
// The targets: hours from the meridian (east negative) and declination.
constexpr double kFirstTargetHours = -0.3;
constexpr double kFlipHours = 0.3;
constexpr double kTargetDeclination = 35.0;

// A line of the mount's transcript is matched to a request sent before it
// and answered at most this long before it was stamped.
constexpr int kReachedWithinMs = 1000;

// The goals.
constexpr double kErrorAnswerGoalMs = 100.0;
constexpr double kResumeGoalMs = 2000.0;
constexpr double kGrowthGoalKiB = 1024.0;

enum ProgramIndex { kImaging, kGuider, kPlanetarium, kProgramCount };

struct ProgramInfo {
    const char* name;
    int clientId;
};

constexpr ProgramInfo kPrograms[kProgramCount] = {{"imaging", 1}, {"guider", 2}, {"planetarium", 3}};

enum class OutageKind { MountSilent, DeviceGone };

struct Outage {
    OutageKind kind = OutageKind::MountSilent;
    Steady::time_point plannedStart;
    // As played: the simulator stopped or ended, and let go on or started
    // again (back).
    Steady::time_point start, back;
    // The simulator's process reaped (device gone) or stopped (silent).
    Steady::time_point acted;
    bool played = false;
    // From the server's log: the outage noticed ("went away", "is not
    // answering"), and serving again.
    std::optional<Steady::time_point> noticed, servingAgain;
    std::vector<std::string> logLines;
    double rssAtStartKiB = -1, rssAtBackKiB = -1;

    const char* name() const { return kind == OutageKind::MountSilent ? "the mount silent" : "the device gone"; }
};

struct Night {
    Steady::time_point start, parkAt;
    int seconds = 0;
    std::vector<Outage> outages;

    double secondsIn(Steady::time_point at) const { return msBetween(start, at) / 1000.0; }
    Steady::time_point at(double seconds) const
    {
        return start + std::chrono::milliseconds(long(std::lround(seconds * 1000.0)));
    }
};

// "31.3 s", into the night.
std::string secondsText(const Night& night, Steady::time_point at)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", night.secondsIn(at));
    return text;
}

Night planNight(int seconds, Steady::time_point start)
{
    Night night;
    night.start = start;
    night.seconds = seconds;
    night.parkAt = night.at(seconds);
    const OutageKind kinds[] = {OutageKind::MountSilent, OutageKind::DeviceGone, OutageKind::DeviceGone};
    for (std::size_t i = 0; i < std::size(kOutageAt); ++i) {
        Outage& outage = night.outages.emplace_back();
        outage.kind = kinds[i];
        outage.plannedStart = night.at(std::floor(seconds * kOutageAt[i]));
    }
    return night;
}

// ---- Requests ---------------------------------------------------------------

struct Request {
    int program = 0;
    std::string member;
    std::string form;  // a PUT's, without the client's fields
    bool isPut = false;
    Steady::time_point sent, answered;
    int status = 0;  // HTTP status; 0 when it failed in transport
    long error = -1;
    std::string message;  // ErrorMessage, or the transport's failure
    std::string value;

    bool succeeded() const { return status == 200 && error == 0; }
    double ms() const { return msBetween(sent, answered); }
    std::string describe() const
    {
        char text[96];
        std::snprintf(text, sizeof text, "%s %s %s after %.1f ms: ", kPrograms[program].name,
                      isPut ? "PUT" : "GET", member.c_str(), ms());
        if (status == 0)
            return text + message;
        if (status != 200)
            return text + ("HTTP " + std::to_string(status));
        char number[32];
        std::snprintf(number, sizeof number, "0x%lX ", error);
        return text + std::string(number) + '"' + message + '"';
    }
};

// One program's HTTP client and everything it asked.
class Program {
public:
    Program(int port, int index) : http(port, kPrograms[index].clientId), index(index) {}

    Request get(const std::string& member) { return ask(member, false, ""); }
    Request put(const std::string& member, const std::string& form) { return ask(member, true, form); }

    std::vector<Request> asked;

private:
    Request ask(const std::string& member, bool isPut, const std::string& form)
    {
        Request request;
        request.program = index;
        request.member = member;
        request.form = form;
        request.isPut = isPut;
        request.sent = Steady::now();
        const httplib::Result result = isPut ? http.put(member, form) : http.get(member);
        request.answered = Steady::now();
        if (!result) {
            request.message = httplib::to_string(result.error());
        } else {
            request.status = result->status;
            request.error = errorNumberOf(result->body);
            request.message = errorMessageOf(result->body);
            request.value = valueText(result->body);
        }
        asked.push_back(request);
        return request;
    }

    HttpClient http;
    int index;
};

double numberIn(const Request& request)
{
    return request.succeeded() ? std::strtod(request.value.c_str(), nullptr) : NAN;
}

// ---- The programs -----------------------------------------------------------

// Ticks of kTickMs from the night's start until `until` (or the stop flag).
template <class Work>
void everyTick(const Night& night, StopFlag& stop, Steady::time_point until, Work work)
{
    for (long tick = 0;; ++tick) {
        const Steady::time_point next = night.start + std::chrono::milliseconds(tick * kTickMs);
        if (next >= until || !stop.sleepUntil(next))
            return;
        work(tick);
    }
}

struct PlannedSlew {
    const char* what;
    Steady::time_point at;
    double hoursFromMeridian;
    double declination;
    bool acrossMeridian;  // to the other side from where the mount points
};

std::vector<PlannedSlew> planSlews(const Night& night)
{
    std::vector<PlannedSlew> slews = {{"to a target east of the meridian", night.at(kFirstSlewMs / 1000.0),
                                       kFirstTargetHours, kTargetDeclination, false}};
    const char* afterReturn[] = {"the meridian flip", "to the next target", "to the next target"};
    const double hours[] = {kFlipHours, 0.5, 0.7};
    const double declinations[] = {kTargetDeclination, 45.0, 55.0};
    for (std::size_t i = 0; i < night.outages.size(); ++i) {
        const Steady::time_point back = night.outages[i].plannedStart + std::chrono::milliseconds(kOutageMs);
        const Steady::time_point next = i + 1 < night.outages.size() ? night.outages[i + 1].plannedStart : night.parkAt;
        const Steady::time_point at =
            std::min(back + std::chrono::milliseconds(kSlewAfterReturnMs), back + (next - back) / 2);
        slews.push_back({afterReturn[i], at, hours[i], declinations[i], i == 0});
    }
    return slews;
}

struct SlewDone {
    std::string what;
    Request request;
    int refusals = 0;  // tries refused before it, during an outage
    double hoursBefore = NAN, hoursAfter = NAN;
    std::string pierBefore, pierAfter;
    double tookMs = NAN;  // until Slewing read false
};

struct ImagingFigures {
    std::vector<SlewDone> slews;
    bool parkAccepted = false;
    double parkMs = NAN;  // until AtPark read true
};

// The mount's hour angle, from its sidereal time and right ascension.
double hoursFromMeridian(Program& imaging)
{
    const double sidereal = numberIn(imaging.get("siderealtime"));
    const double rightAscension = numberIn(imaging.get("rightascension"));
    return std::remainder(sidereal - rightAscension, 24.0);
}

SlewDone startSlew(Program& imaging, const PlannedSlew& plan)
{
    SlewDone slew;
    slew.what = plan.what;
    slew.hoursBefore = hoursFromMeridian(imaging);
    slew.pierBefore = imaging.get("sideofpier").value;
    slew.hoursAfter = plan.hoursFromMeridian;
    if (plan.acrossMeridian && slew.hoursBefore > 0)
        slew.hoursAfter = -plan.hoursFromMeridian;
    const double sidereal = numberIn(imaging.get("siderealtime"));
    const double rightAscension = std::fmod(sidereal - slew.hoursAfter + 48.0, 24.0);
    char form[96];
    std::snprintf(form, sizeof form, "RightAscension=%.6f&Declination=%.6f", rightAscension, plan.declination);
    slew.request = imaging.put("slewtocoordinatesasync", form);
    return slew;
}

// Connects, slews as planned waiting on Slewing, reads DeviceState once a
// second; at the night's end parks and waits for AtPark. Raises `parked`
// when done.
void imagingProgram(const Night& night, Program& imaging, ImagingFigures& figures, StopFlag& parked)
{
    const std::vector<PlannedSlew> plan = planSlews(night);
    std::size_t nextSlew = 0;
    int refusals = 0;
    bool waiting = false;  // on the last slew in figures.slews
    StopFlag never;
    everyTick(night, never, night.parkAt, [&](long tick) {
        const Request slewing = imaging.get("slewing");
        if (waiting && slewing.sent > figures.slews.back().request.answered && slewing.succeeded() &&
            slewing.value == "false") {
            SlewDone& slew = figures.slews.back();
            slew.tookMs = msBetween(slew.request.answered, slewing.answered);
            slew.pierAfter = imaging.get("sideofpier").value;
            waiting = false;
        }
        if (waiting && msBetween(figures.slews.back().request.answered, Steady::now()) > kSlewWaitMs)
            waiting = false;
        if (tick % kDeviceStateTicks == 0)
            imaging.get("devicestate");
        if (tick % kConnectedTicks == 2)
            imaging.get("connected");
        if (waiting || nextSlew == plan.size() || Steady::now() < plan[nextSlew].at)
            return;
        // A slew refused while the link is down is tried again at the next
        // tick, as a sequencer does after a transient error.
        SlewDone slew = startSlew(imaging, plan[nextSlew]);
        if (slew.request.status == 200 && slew.request.error == kLinkDown && refusals < kSlewTries - 1) {
            ++refusals;
            return;
        }
        slew.refusals = refusals;
        refusals = 0;
        ++nextSlew;
        waiting = slew.request.succeeded();
        figures.slews.push_back(std::move(slew));
    });

    const Request park = imaging.put("park", "");
    figures.parkAccepted = park.succeeded();
    const Steady::time_point parkEnd = park.answered + std::chrono::milliseconds(kParkWaitMs);
    for (long tick = 0; figures.parkAccepted && Steady::now() < parkEnd; ++tick) {
        const Request atPark = imaging.get("atpark");
        imaging.get("slewing");
        if (tick % kDeviceStateTicks == 0)
            imaging.get("devicestate");
        if (atPark.succeeded() && atPark.value == "true") {
            figures.parkMs = msBetween(park.answered, atPark.answered);
            break;
        }
        sleepMs(kTickMs);
    }
    parked.raise();
}

// A 200 ms pulse every 2 s, the four directions in turn; IsPulseGuiding
// every tick.
void guiderProgram(const Night& night, Program& guider)
{
    StopFlag never;
    int pulse = 0;
    everyTick(night, never, night.parkAt, [&](long tick) {
        guider.get("ispulseguiding");
        if (tick % kPulseTicks == 0)
            guider.put("pulseguide",
                       "Direction=" + std::to_string(pulse++ % 4) + "&Duration=" + std::to_string(kPulseMs));
        if (tick % kConnectedTicks == 4)
            guider.get("connected");
    });
}

// Where the mount points, four times a second, until the park is over.
void planetariumProgram(const Night& night, Program& planetarium, StopFlag& parked)
{
    everyTick(night, parked, Steady::time_point::max(), [&](long tick) {
        planetarium.get("rightascension");
        planetarium.get("declination");
        if (tick % kConnectedTicks == 6)
            planetarium.get("connected");
    });
}

// ---- The outages ------------------------------------------------------------

// Plays each outage at its time; false (having said why) when the mount
// could not be started again.
bool playOutages(Night& night, Simulator& mount, const std::string& simulatorProgram, pid_t server)
{
    for (Outage& outage : night.outages) {
        std::this_thread::sleep_until(outage.plannedStart);
        outage.rssAtStartKiB = memoryKiB(server, "VmRSS");
        outage.start = Steady::now();
        outage.played = true;
        if (outage.kind == OutageKind::MountSilent) {
            children.signal(mount.pid, SIGSTOP);
            outage.acted = Steady::now();
            say(secondsText(night, outage.start) + ": the mount falls silent (the simulator stopped) for 10 s");
        } else {
            children.stopOne(mount.pid);
            outage.acted = Steady::now();
            say(secondsText(night, outage.start) + ": the mount's device goes away (the simulator ended) for 10 s");
        }
        std::this_thread::sleep_until(outage.plannedStart + std::chrono::milliseconds(kOutageMs));
        outage.back = Steady::now();
        if (outage.kind == OutageKind::MountSilent) {
            children.signal(mount.pid, SIGCONT);
            say(secondsText(night, outage.back) + ": the mount answers again (the simulator let go on)");
        } else if (startSimulator(simulatorProgram, mount)) {
            say(secondsText(night, outage.back) + ": the device is back (the simulator started again on " +
                mount.link + ")");
        } else {
            return false;
        }
        outage.rssAtBackKiB = memoryKiB(server, "VmRSS");
    }
    return true;
}

// What the server's log said of each outage, as it said it.
void readServerLog(Night& night, LineWatch& serverLog, Steady::time_point end)
{
    for (std::size_t i = 0; i < night.outages.size(); ++i) {
        Outage& outage = night.outages[i];
        if (!outage.played)
            continue;
        const Steady::time_point until = i + 1 < night.outages.size() && night.outages[i + 1].played
                                             ? night.outages[i + 1].start
                                             : end;
        for (const LineWatch::Line& line : serverLog.between(outage.start, until)) {
            outage.logLines.push_back(secondsText(night, line.at) + " " + line.text);
            if (!outage.noticed && (line.text.find("is not answering (") != std::string::npos ||
                                    line.text.find(" went away: ") != std::string::npos))
                outage.noticed = line.at;
            if (!outage.servingAgain && line.text.find("serving again") != std::string::npos)
                outage.servingAgain = line.at;
        }
    }
}

// ---- What happened ----------------------------------------------------------

struct NightResults {
    Night night;
    std::vector<Request> requests;  // every program's, in the order sent
    ImagingFigures imaging;
    std::vector<LineWatch::Line> transcript;
    Steady::time_point end;
    double rssStartKiB = -1, rssEndKiB = -1, peakKiB = -1;
    bool stampsRealTime = false;
};

// Until when an outage's errors are its own: until the server's log said it
// serves again, or the end when it never did.
Steady::time_point windowEnd(const NightResults& results, const Outage& outage)
{
    return outage.servingAgain.value_or(results.end);
}

// The outage an answer belongs to: answered once it had begun, asked
// before the server served again.
std::optional<std::size_t> outageOf(const NightResults& results, const Request& request)
{
    const std::vector<Outage>& outages = results.night.outages;
    for (std::size_t i = 0; i < outages.size(); ++i)
        if (outages[i].played && request.answered >= outages[i].start &&
            request.sent <= windowEnd(results, outages[i]))
            return i;
    return std::nullopt;
}

// A request sent before the server noticed the outage: it met the loss or
// the silence itself (a silence is declared only after three exchanges have
// waited out their time-outs), or queued behind the exchange that did.
bool sentBeforeNoticed(const Outage& outage, const Request& request)
{
    return !outage.noticed || request.sent < *outage.noticed;
}

// Members that need no exchange with the mount, and are served through an
// outage.
bool needsNoMount(const Request& request)
{
    return request.member == "connected" || request.member == "devicestate";
}

struct ConnectionFigures {
    std::size_t asked = 0, saidTrue = 0, saidFalse = 0, failed = 0;
    std::size_t notConnected = 0;  // answers 0x407, to any request
};

ConnectionFigures connectionFigures(const NightResults& results)
{
    ConnectionFigures figures;
    for (const Request& request : results.requests) {
        figures.notConnected += request.status == 200 && request.error == kNotConnected;
        if (request.isPut || request.member != "connected")
            continue;
        ++figures.asked;
        if (!request.succeeded())
            ++figures.failed;
        else if (request.value == "true")
            ++figures.saidTrue;
        else
            ++figures.saidFalse;
    }
    return figures;
}

struct OutageErrors {
    std::size_t byProgram[kProgramCount] = {};
    std::map<std::string, std::size_t> kinds;  // "0x502 <message>"
    // Held to the goal from their request.
    std::vector<double> answerMs;
    std::optional<Request> slowest;
    // Those sent before the server noticed the outage: the slowest from its
    // request, and the latest answer after the notice.
    std::size_t beforeNoticed = 0;
    double beforeNoticedSlowestMs = NAN;
    double afterNoticeMs = NAN;
};

struct ErrorFigures {
    std::vector<Request> outside;
    std::vector<OutageErrors> outages;
    double slowestMs() const
    {
        double slowest = NAN;
        for (const OutageErrors& outage : outages)
            for (double ms : outage.answerMs)
                slowest = std::isnan(slowest) ? ms : std::max(slowest, ms);
        return slowest;
    }
};

std::string kindOfError(const Request& request)
{
    if (request.status == 0)
        return "transport: " + request.message;
    if (request.status != 200)
        return "HTTP " + std::to_string(request.status);
    char number[32];
    std::snprintf(number, sizeof number, "0x%lX ", request.error);
    return number + ('"' + request.message + '"');
}

void countError(const Outage& outage, const Request& request, OutageErrors& errors)
{
    ++errors.byProgram[request.program];
    ++errors.kinds[kindOfError(request)];
    if (sentBeforeNoticed(outage, request)) {
        ++errors.beforeNoticed;
        errors.beforeNoticedSlowestMs = std::fmax(errors.beforeNoticedSlowestMs, request.ms());
        if (outage.noticed)
            errors.afterNoticeMs = std::fmax(errors.afterNoticeMs, msBetween(*outage.noticed, request.answered));
        return;
    }
    errors.answerMs.push_back(request.ms());
    if (!errors.slowest || request.ms() > errors.slowest->ms())
        errors.slowest = request;
}

ErrorFigures errorFigures(const NightResults& results)
{
    ErrorFigures figures;
    figures.outages.resize(results.night.outages.size());
    for (const Request& request : results.requests) {
        if (request.succeeded())
            continue;
        if (const std::optional<std::size_t> outage = outageOf(results, request))
            countError(results.night.outages[*outage], request, figures.outages[*outage]);
        else
            figures.outside.push_back(request);
    }
    return figures;
}

// From the mount back to each program's first good answer to a request that
// needs the mount; NAN when it had none.
std::vector<double> resumeMs(const NightResults& results, const Outage& outage)
{
    std::vector<double> resumed(kProgramCount, NAN);
    for (const Request& request : results.requests) {
        if (!std::isnan(resumed[request.program]) || request.isPut || request.sent < outage.start ||
            request.answered <= outage.back || !request.succeeded() || needsNoMount(request))
            continue;
        resumed[request.program] = msBetween(outage.back, request.answered);
    }
    return resumed;
}

// Requests sent and answered in [from, to) whose command is to be found in
// the mount's transcript: pulses and slews.
struct ReachedMount {
    std::size_t pulsesSent = 0, pulsesSeen = 0;
    std::size_t slewsSent = 0, slewsSeen = 0;
};

// What a request sends to a model 3 mount: ":Mn00200#" for a 200 ms pulse
// north, ":MS#" for the slew itself.
std::string commandOf(const Request& request)
{
    if (request.member == "slewtocoordinatesasync")
        return ":MS#";
    const std::size_t at = request.form.find("Direction=");
    const int direction = at == std::string::npos ? 0 : std::atoi(request.form.c_str() + at + 10);
    char command[16];
    std::snprintf(command, sizeof command, ":M%c%05d#", "nsew"[direction & 3], kPulseMs);
    return command;
}

// Whether the mount received the request's command after it was sent and
// soon after it was answered; the line found is used up.
bool reachedMount(const Request& request, const std::vector<LineWatch::Line>& transcript, std::vector<bool>& used)
{
    const std::string command = commandOf(request);
    const Steady::time_point latest = request.answered + std::chrono::milliseconds(kReachedWithinMs);
    for (std::size_t i = 0; i < transcript.size(); ++i)
        if (!used[i] && transcript[i].text == command && transcript[i].at >= request.sent &&
            transcript[i].at <= latest) {
            used[i] = true;
            return true;
        }
    return false;
}

ReachedMount reachedMountBetween(const NightResults& results, Steady::time_point from, Steady::time_point to)
{
    ReachedMount reached;
    std::vector<bool> used(results.transcript.size(), false);
    for (const Request& request : results.requests) {
        if (!request.isPut || request.sent < from || request.answered >= to)
            continue;
        const bool pulse = request.member == "pulseguide";
        if (!pulse && request.member != "slewtocoordinatesasync")
            continue;
        const bool seen = request.succeeded() && reachedMount(request, results.transcript, used);
        (pulse ? reached.pulsesSent : reached.slewsSent) += 1;
        (pulse ? reached.pulsesSeen : reached.slewsSeen) += seen;
    }
    return reached;
}

// After return i: from the server serving again (or the mount back, when
// the log never said so) until the next outage or the end.
ReachedMount reachedMountAfterReturn(const NightResults& results, std::size_t i)
{
    const std::vector<Outage>& outages = results.night.outages;
    const Steady::time_point from = outages[i].servingAgain.value_or(outages[i].back);
    const Steady::time_point to = i + 1 < outages.size() ? outages[i + 1].start : results.end;
    return reachedMountBetween(results, from, to);
}

// Pulses answered as done while an outage lasted, before the server knew of
// it, and how many of them the mount received only once it answered again.
struct PulsesInOutages {
    std::size_t accepted = 0, receivedLate = 0;
};

PulsesInOutages pulsesAcceptedInOutages(const NightResults& results)
{
    PulsesInOutages pulses;
    std::vector<bool> used(results.transcript.size(), false);
    for (const Request& request : results.requests) {
        const std::optional<std::size_t> outage = outageOf(results, request);
        if (request.member != "pulseguide" || !request.succeeded() || !outage)
            continue;
        ++pulses.accepted;
        const Outage& during = results.night.outages[*outage];
        const std::string command = commandOf(request);
        for (std::size_t i = 0; i < results.transcript.size(); ++i)
            if (!used[i] && results.transcript[i].text == command && results.transcript[i].at >= during.back &&
                results.transcript[i].at <= during.back + std::chrono::milliseconds(kReachedWithinMs)) {
                used[i] = true;
                ++pulses.receivedLate;
                break;
            }
    }
    return pulses;
}

// ---- Report -----------------------------------------------------------------

std::string fixed(double value, int decimals = 1)
{
    if (std::isnan(value))
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void printOutages(const NightResults& results)
{
    const Night& night = results.night;
    std::printf("\nThe night: %d s, outages of 10 s (times from the night's start; the server's log and the"
                " mount's transcript\ntime-stamped here as they grow%s)\n",
                night.seconds, results.stampsRealTime ? ", at real-time priority" : "");
    for (std::size_t i = 0; i < night.outages.size(); ++i) {
        const Outage& outage = night.outages[i];
        if (!outage.played)
            continue;
        std::printf("  outage %zu, %s: from %s (the simulator %s %.1f ms later) to %s", i + 1, outage.name(),
                    secondsText(night, outage.start).c_str(),
                    outage.kind == OutageKind::MountSilent ? "stopped" : "ended",
                    msBetween(outage.start, outage.acted), secondsText(night, outage.back).c_str());
        std::printf("; noticed %s", outage.noticed ? secondsText(night, *outage.noticed).c_str() : "never (by the log)");
        std::printf("; serving again %s\n",
                    outage.servingAgain ? (secondsText(night, *outage.servingAgain) + ", " +
                                           fixed(msBetween(outage.back, *outage.servingAgain) / 1000.0, 2) +
                                           " s after the return")
                                              .c_str()
                                        : "never (by the log)");
        for (const std::string& line : outage.logLines)
            std::printf("      log %s\n", line.c_str());
    }
}

void printRequests(const NightResults& results)
{
    std::printf("\nRequests by program\n");
    for (int program = 0; program < kProgramCount; ++program) {
        std::map<std::string, std::size_t> byMember;
        std::size_t count = 0, failed = 0;
        for (const Request& request : results.requests)
            if (request.program == program) {
                ++count;
                failed += !request.succeeded();
                ++byMember[(request.isPut ? "PUT " : "") + request.member];
            }
        std::string members;
        for (const auto& [member, n] : byMember)
            members += (members.empty() ? "" : ", ") + member + " " + std::to_string(n);
        std::printf("  %-12s (ClientID %d): %zu requests, %zu errors; %s\n", kPrograms[program].name,
                    kPrograms[program].clientId, count, failed, members.c_str());
    }
    std::size_t states = 0, statesFailed = 0;
    for (const Request& request : results.requests)
        if (request.member == "devicestate") {
            ++states;
            statesFailed += !request.succeeded();
        }
    std::printf("  DeviceState: %zu asked, %zu failed\n", states, statesFailed);
}

void printErrors(const NightResults& results, const ErrorFigures& errors)
{
    std::printf("\nErrors in each outage (from its start until the server served again), by program; their"
                " answers in ms from the request\n");
    for (std::size_t i = 0; i < errors.outages.size(); ++i) {
        const OutageErrors& e = errors.outages[i];
        const Spread answers = spreadOf(e.answerMs);
        const auto over = std::count_if(e.answerMs.begin(), e.answerMs.end(),
                                        [](double ms) { return ms > kErrorAnswerGoalMs; });
        std::printf("  outage %zu, %s: imaging %zu, guider %zu, planetarium %zu; held to 100 ms: %zu, median %s,"
                    " slowest %s, over 100 ms: %ld\n",
                    i + 1, results.night.outages[i].name(), e.byProgram[kImaging], e.byProgram[kGuider],
                    e.byProgram[kPlanetarium], answers.count, fixed(answers.median).c_str(),
                    fixed(answers.max).c_str(), long(over));
        if (e.slowest)
            std::printf("      slowest: %s\n", e.slowest->describe().c_str());
        std::printf("      sent before the server noticed the outage: %zu, slowest %s ms from its request,"
                    " the last answered %s ms after the notice\n",
                    e.beforeNoticed, fixed(e.beforeNoticedSlowestMs).c_str(), fixed(e.afterNoticeMs).c_str());
        for (const auto& [kind, n] : e.kinds)
            std::printf("      %5zu  %s\n", n, kind.c_str());
    }
    std::printf("  outside the outages: %zu\n", errors.outside.size());
    for (std::size_t i = 0; i < errors.outside.size() && i < 5; ++i)
        std::printf("      at %s: %s\n", secondsText(results.night, errors.outside[i].sent).c_str(),
                    errors.outside[i].describe().c_str());
}

void printResumes(const NightResults& results)
{
    std::printf("\nServing resumed: from the simulator started again or let go on to each program's first good"
                " answer to a request\nthat needs the mount (each program asks one every %d ms at most)\n",
                kTickMs);
    for (std::size_t i = 0; i < results.night.outages.size(); ++i) {
        const Outage& outage = results.night.outages[i];
        if (!outage.played)
            continue;
        const std::vector<double> resumed = resumeMs(results, outage);
        std::printf("  outage %zu, %s: imaging %s ms, guider %s ms, planetarium %s ms\n", i + 1, outage.name(),
                    fixed(resumed[kImaging], 0).c_str(), fixed(resumed[kGuider], 0).c_str(),
                    fixed(resumed[kPlanetarium], 0).c_str());
    }
}

void printReachedMount(const NightResults& results)
{
    std::printf("\nPulses and slews sent, and seen at the mount (a pulse's \":Mn00200#\" or the like, a slew's"
                " \":MS#\", in the transcript)\n");
    const ReachedMount before =
        reachedMountBetween(results, results.night.start - std::chrono::seconds(10), results.night.outages[0].start);
    std::printf("  before the first outage: pulses %zu sent, %zu seen; slews %zu sent, %zu seen\n", before.pulsesSent,
                before.pulsesSeen, before.slewsSent, before.slewsSeen);
    for (std::size_t i = 0; i < results.night.outages.size(); ++i) {
        if (!results.night.outages[i].played)
            continue;
        const ReachedMount after = reachedMountAfterReturn(results, i);
        std::printf("  after return %zu: pulses %zu sent, %zu seen; slews %zu sent, %zu seen\n", i + 1,
                    after.pulsesSent, after.pulsesSeen, after.slewsSent, after.slewsSeen);
    }
    const PulsesInOutages inOutages = pulsesAcceptedInOutages(results);
    std::printf("  pulses answered as done during an outage, before the server knew of it: %zu; of them received by"
                " the mount\n  only once it answered again (a command left in the silent line): %zu\n",
                inOutages.accepted, inOutages.receivedLate);
}

// How a slew went: refused, or how long Slewing took to read false, and
// whether an outage came in between.
std::string slewOutcome(const NightResults& results, const SlewDone& slew)
{
    if (!slew.request.succeeded())
        return "refused: " + slew.request.describe();
    if (std::isnan(slew.tookMs))
        return "Slewing never read false";
    std::string text = "Slewing false after " + fixed(slew.tookMs / 1000.0) + " s";
    if (slew.refusals > 0)
        text += " (sent after " + std::to_string(slew.refusals) + " refusals)";
    const Steady::time_point ended = slew.request.answered + std::chrono::milliseconds(long(slew.tookMs));
    for (const Outage& outage : results.night.outages)
        if (outage.played && outage.start > slew.request.answered && outage.start < ended)
            text += std::string(" (") + outage.name() + " in between)";
    return text;
}

void printSlews(const NightResults& results)
{
    std::printf("\nThe imaging program's slews (hours from the meridian, east negative; SideOfPier as read)\n");
    for (const SlewDone& slew : results.imaging.slews)
        std::printf("  %s %-34s %+.2f h -> %+.2f h, pier %s -> %s, %s\n",
                    secondsText(results.night, slew.request.sent).c_str(), slew.what.c_str(), slew.hoursBefore,
                    slew.hoursAfter, slew.pierBefore.empty() ? "?" : slew.pierBefore.c_str(),
                    slew.pierAfter.empty() ? "?" : slew.pierAfter.c_str(), slewOutcome(results, slew).c_str());
    std::string park = "refused";
    if (results.imaging.parkAccepted && std::isnan(results.imaging.parkMs))
        park = "AtPark not true within " + std::to_string(kParkWaitMs / 1000) + " s";
    else if (results.imaging.parkAccepted)
        park = "AtPark true after " + fixed(results.imaging.parkMs / 1000.0) + " s";
    std::printf("  Park at %s: %s\n", secondsText(results.night, results.night.parkAt).c_str(), park.c_str());
}

void printMemory(const NightResults& results)
{
    std::printf("\nServer memory (VmRSS, KiB): %.0f at the night's start", results.rssStartKiB);
    for (std::size_t i = 0; i < results.night.outages.size(); ++i)
        std::printf(", %.0f as outage %zu began, %.0f at its return", results.night.outages[i].rssAtStartKiB, i + 1,
                    results.night.outages[i].rssAtBackKiB);
    std::printf(", %.0f at the end; peak (VmHWM) %.0f\n\n", results.rssEndKiB, results.peakKiB);
}

bool verdict(const std::string& figure, const std::string& goal, bool held)
{
    std::printf("verdict: %s (%s): %s\n", figure.c_str(), goal.c_str(), held ? "pass" : "MISS");
    return held;
}

bool judgeConnections(const NightResults& results)
{
    const ConnectionFigures c = connectionFigures(results);
    char figure[256];
    std::snprintf(figure, sizeof figure,
                  "no program had to connect again: %zu answers 0x407 (not connected); Connected asked %zu times:"
                  " true %zu, false %zu, failed %zu",
                  c.notConnected, c.asked, c.saidTrue, c.saidFalse, c.failed);
    return verdict(figure, "goal: no 0x407, Connected true whenever asked",
                   c.notConnected == 0 && c.asked > 0 && c.saidTrue == c.asked);
}

bool judgeErrors(const NightResults& results, const ErrorFigures& errors)
{
    std::size_t inOutages = 0, beforeNoticed = 0;
    double beforeNoticedSlowest = NAN, afterNotice = NAN, noticedAfter = NAN;
    bool everyOutageNoticed = true;
    for (std::size_t i = 0; i < errors.outages.size(); ++i) {
        const OutageErrors& e = errors.outages[i];
        const Outage& outage = results.night.outages[i];
        inOutages += e.answerMs.size() + e.beforeNoticed;
        beforeNoticed += e.beforeNoticed;
        beforeNoticedSlowest = std::fmax(beforeNoticedSlowest, e.beforeNoticedSlowestMs);
        afterNotice = std::fmax(afterNotice, e.afterNoticeMs);
        everyOutageNoticed = everyOutageNoticed && outage.noticed.has_value();
        if (outage.noticed)
            noticedAfter = std::fmax(noticedAfter, msBetween(outage.start, *outage.noticed));
    }
    const double slowest = errors.slowestMs();
    char figure[640];
    std::snprintf(figure, sizeof figure,
                  "errors only in the outages, answered at once: %zu outside them; %zu in them: %zu sent after the"
                  " server noticed the outage, the slowest answered %s ms from its request; %zu sent before it%s,"
                  " answered up to %s ms after the notice (up to %s ms from the request; the server noticed an"
                  " outage up to %s ms after it began)",
                  errors.outside.size(), inOutages, inOutages - beforeNoticed, fixed(slowest).c_str(), beforeNoticed,
                  everyOutageNoticed ? "" : " (an outage never noticed)", fixed(afterNotice).c_str(),
                  fixed(beforeNoticedSlowest).c_str(), fixed(noticedAfter).c_str());
    auto within = [](double ms) { return std::isnan(ms) || ms <= kErrorAnswerGoalMs; };
    const bool held = errors.outside.empty() && everyOutageNoticed && within(slowest) && within(afterNotice);
    return verdict(figure,
                   "goal: none outside; each within 100 ms of its request, or of the notice for one sent before it",
                   held);
}

bool judgeResumes(const NightResults& results)
{
    double slowest = NAN;
    std::string where;
    bool everyoneResumed = true;
    for (std::size_t i = 0; i < results.night.outages.size(); ++i) {
        const Outage& outage = results.night.outages[i];
        everyoneResumed = everyoneResumed && outage.played;
        if (!outage.played)
            continue;
        const std::vector<double> resumed = resumeMs(results, outage);
        for (int program = 0; program < kProgramCount; ++program) {
            if (std::isnan(resumed[program])) {
                everyoneResumed = false;
                continue;
            }
            if (std::isnan(slowest) || resumed[program] > slowest) {
                slowest = resumed[program];
                where = "outage " + std::to_string(i + 1) + ", " + kPrograms[program].name;
            }
        }
    }
    char figure[256];
    std::snprintf(figure, sizeof figure, "serving resumed after each return: slowest %s ms (%s)%s",
                  fixed(slowest, 0).c_str(), where.c_str(),
                  everyoneResumed ? "" : "; a program had no good read after a return");
    return verdict(figure, "goal: each program's first good answer within 2000 ms of the mount's return",
                   everyoneResumed && slowest <= kResumeGoalMs);
}

bool judgeReachedMount(const NightResults& results)
{
    ReachedMount all;
    bool eachReturnHasBoth = true;
    for (std::size_t i = 0; i < results.night.outages.size(); ++i) {
        if (!results.night.outages[i].played) {
            eachReturnHasBoth = false;
            continue;
        }
        const ReachedMount after = reachedMountAfterReturn(results, i);
        eachReturnHasBoth = eachReturnHasBoth && after.pulsesSent > 0 && after.slewsSent > 0;
        all.pulsesSent += after.pulsesSent;
        all.pulsesSeen += after.pulsesSeen;
        all.slewsSent += after.slewsSent;
        all.slewsSeen += after.slewsSeen;
    }
    char figure[256];
    std::snprintf(figure, sizeof figure,
                  "after the returns, pulses %zu sent, %zu seen at the mount; slews %zu sent, %zu seen%s",
                  all.pulsesSent, all.pulsesSeen, all.slewsSent, all.slewsSeen,
                  eachReturnHasBoth ? "" : "; a return without a pulse or a slew after it");
    return verdict(figure, "goal: at least one of each after every return, every one seen",
                   eachReturnHasBoth && all.pulsesSeen == all.pulsesSent && all.slewsSeen == all.slewsSent);
}

bool judgeMemory(const NightResults& results)
{
    const double mark = results.night.outages[0].rssAtStartKiB;
    char figure[256];
    std::snprintf(figure, sizeof figure,
                  "server memory %.0f KiB just before the first outage, %.0f KiB at the end (%+.0f KiB; %+.0f KiB"
                  " from the night's start)",
                  mark, results.rssEndKiB, results.rssEndKiB - mark, results.rssEndKiB - results.rssStartKiB);
    return verdict(figure, "goal: under 1024 KiB growth from just before the first outage to the end",
                   mark > 0 && results.rssEndKiB > 0 && results.rssEndKiB - mark < kGrowthGoalKiB);
}

// Each goal's verdict; the names of those missed.
std::vector<std::string> printVerdicts(const NightResults& results)
{
    const ErrorFigures errors = errorFigures(results);
    printErrors(results, errors);
    printResumes(results);
    printReachedMount(results);
    printSlews(results);
    printMemory(results);
    std::vector<std::string> missed;
    if (!judgeConnections(results))
        missed.push_back("no program connected again");
    if (!judgeErrors(results, errors))
        missed.push_back("errors only in the outages, at once");
    if (!judgeResumes(results))
        missed.push_back("serving resumed within 2 s");
    if (!judgeReachedMount(results))
        missed.push_back("pulses and slews reached the mount");
    if (!judgeMemory(results))
        missed.push_back("memory flat");
    return missed;
}

// ---- The run ----------------------------------------------------------------

// For --keep: one line a request, its sending and answer in ms from the
// night's start, then what it was and what it was told.
void saveRequests(const std::string& path, const NightResults& results)
{
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (!out)
        return;
    for (const Request& request : results.requests)
        std::fprintf(out, "%10.3f %10.3f %s\n", msBetween(results.night.start, request.sent),
                     msBetween(results.night.start, request.answered),
                     request.succeeded() ? (request.describe() + request.value).c_str() : request.describe().c_str());
    std::fclose(out);
}

bool connectAll(std::vector<Program*> programs)
{
    for (Program* program : programs)
        if (!program->put("connected", "Connected=true").succeeded()) {
            say("a program could not connect: " + program->asked.back().describe());
            return false;
        }
    return true;
}

// Plays the night; false (having said why) when it could not be measured.
bool playNight(const Options& options, NightResults& results)
{
    Simulator mount;
    if (!startSimulator(options.simulator, mount))
        return false;
    LineWatch transcript;
    if (!transcript.start(mount.transcript))
        return false;
    int port = 0;
    const pid_t server = startServer(options.server, mount, {}, port);
    if (server < 0)
        return false;
    LineWatch serverLog;
    if (!serverLog.start(scratchFolder + "/server.log"))
        return false;
    results.stampsRealTime = transcript.atRealTimePriority() && serverLog.atRealTimePriority();

    Program imaging(port, kImaging), guider(port, kGuider), planetarium(port, kPlanetarium);
    if (!connectAll({&imaging, &guider, &planetarium}))
        return false;
    results.rssStartKiB = memoryKiB(server, "VmRSS");
    results.night = planNight(options.seconds, Steady::now());
    Night& night = results.night;
    say("the night for " + std::to_string(night.seconds) +
        " s: imaging, guider and planetarium connected; the mount falls silent at " +
        secondsText(night, night.outages[0].plannedStart) + ", its device goes away at " +
        secondsText(night, night.outages[1].plannedStart) + " and " +
        secondsText(night, night.outages[2].plannedStart) + ", each for 10 s; the park at " +
        secondsText(night, night.parkAt));

    StopFlag parked;
    std::thread imagingThread(imagingProgram, std::cref(night), std::ref(imaging), std::ref(results.imaging),
                              std::ref(parked));
    std::thread guiderThread(guiderProgram, std::cref(night), std::ref(guider));
    std::thread planetariumThread(planetariumProgram, std::cref(night), std::ref(planetarium), std::ref(parked));
    const bool played = playOutages(night, mount, options.simulator, server);
    if (played)
        say("the outages are over; waiting for the night's end and the park...");
    for (std::thread* thread : {&imagingThread, &guiderThread, &planetariumThread})
        thread->join();
    results.end = Steady::now();
    results.rssEndKiB = memoryKiB(server, "VmRSS");
    results.peakKiB = memoryKiB(server, "VmHWM");
    // The last stamps: the watchers' wake-up.
    sleepMs(300);

    for (Program* program : {&imaging, &guider, &planetarium})
        results.requests.insert(results.requests.end(), program->asked.begin(), program->asked.end());
    std::sort(results.requests.begin(), results.requests.end(),
              [](const Request& a, const Request& b) { return a.sent < b.sent; });
    results.transcript = transcript.between(Steady::time_point::min(), Steady::time_point::max());
    readServerLog(night, serverLog, results.end);
    if (keepScratchFolder) {
        transcript.save(scratchFolder + "/mount-transcript-stamped", night.start);
        serverLog.save(scratchFolder + "/server-log-stamped", night.start);
        saveRequests(scratchFolder + "/requests", results);
    }
    if (const std::string ended = children.endedWith(server); !ended.empty()) {
        say("the server ended during the night with " + ended + "; its log ends:\n" +
            lastLines(readFile(scratchFolder + "/server.log"), 10));
        return false;
    }
    return played;
}

} // namespace

int runNight(const Options& options)
{
    keptFilesNote = "server.log, mount*.log, mount-transcript; mount-transcript-stamped, server-log-stamped and"
                    " requests: ms from the night's start";
    NightResults results;
    return measureAndJudge(
        "night", [&] { return playNight(options, results); },
        [&] {
            printOutages(results);
            printRequests(results);
            return printVerdicts(results);
        });
}

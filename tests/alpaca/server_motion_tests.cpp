// What clients are told while the mount moves, for each model: a park, a
// second park, an unpark, an abort mid-slew, a park mid-slew and an abort
// mid-park, run by a client over HTTP while another samples Slewing,
// AtPark, Tracking and DeviceState every 200 ms. Each answer is held
// against the simulator's own log of when it moved and parked: never
// parked while moving, never done while the mount still moves, and the
// end of a motion told within 2.5 s of the mount stopping.
#include "ServerProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kInvalidWhileParked = 0x408;
// Fast enough that a park is a few seconds, slow enough to be sampled.
const char* const kSlewRate = "12";
// The end of a motion must reach the clients within this.
constexpr double kToldWithinMs = 2500;
// A command written before an answer reaches the simulator's log within this.
constexpr double kStopInTransitMs = 100;

// Milliseconds of the monotonic clock, as the simulator's log writes them.
double nowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The simulator's motion as it logged it: each change, and when.
struct MotionChange {
    double atMs;
    bool slewing;
    bool parked;
    bool tracking;
};

std::vector<MotionChange> readMotionLog(const std::string& path)
{
    std::vector<MotionChange> changes;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        MotionChange change{};
        int slewing = 0, parked = 0, tracking = 0;
        if (fields >> change.atMs >> slewing >> parked >> tracking) {
            change.slewing = slewing != 0;
            change.parked = parked != 0;
            change.tracking = tracking != 0;
            changes.push_back(change);
        }
    }
    return changes;
}

// One answer a client was given about the motion, and when it asked and
// heard back. A field the answer lacked is empty.
struct Told {
    std::string what;  // the member, or "devicestate"
    double askedMs;
    double answeredMs;
    std::optional<bool> slewing;
    std::optional<bool> atPark;
    std::optional<bool> tracking;
};

// A DeviceState item's value by its name; null when there is none.
Json stateValue(const Json& state, const char* name)
{
    for (const Json& item : state.is_array() ? state : Json::array())
        if (item.is_object() && item.value("Name", "") == name)
            return item["Value"];
    return nullptr;
}

std::optional<bool> stateField(const Json& state, const char* name)
{
    const Json value = stateValue(state, name);
    return value.is_boolean() ? std::optional<bool>(value.get<bool>()) : std::nullopt;
}

class MotionTold : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { start({}, {}); }

    // The simulator with more options, the server with more environment.
    void start(std::vector<std::string> simulatorOptions, std::vector<std::string> environment)
    {
        scratch = std::make_unique<ScratchFolder>();
        motionLog = scratch->file("motion.log");
        simulatorOptions.insert(simulatorOptions.end(), {"--slew-rate", kSlewRate, "--motion-log", motionLog});
        simulator = std::make_unique<SimulatorProcess>(*scratch, GetParam(), simulatorOptions);
        ASSERT_TRUE(simulator->ready()) << "the simulator did not come up";
        server = std::make_unique<ServerProcess>(*scratch, std::vector<std::string>{"--serial", simulator->link},
                                                 environment);
        ASSERT_TRUE(server->ready()) << server->log();
        mainClient = keptAlive();
        ASSERT_EQ(errorOf(put("connected", "Connected=true")), 0);
    }

    // A client that keeps its connection, as client programs do: the many
    // requests of a sequence leave no trail of closed connections behind.
    std::unique_ptr<httplib::Client> keptAlive() const
    {
        std::unique_ptr<httplib::Client> client = server->client();
        client->set_keep_alive(true);
        return client;
    }

    void TearDown() override { stopSampling(); }

    static Json answerOf(const httplib::Result& result)
    {
        return result ? Json::parse(result->body, nullptr, false) : Json();
    }
    Json put(const std::string& member, const std::string& form = "") const
    {
        return answerOf(mainClient->Put(telescope(member), form, "application/x-www-form-urlencoded"));
    }
    Json get(const std::string& member) const { return answerOf(mainClient->Get(telescope(member))); }
    static int errorOf(const Json& answer)
    {
        return answer.is_object() ? answer.value("ErrorNumber", -1) : -1;
    }
    std::optional<bool> flag(const std::string& member) const
    {
        Json answer = get(member);
        if (errorOf(answer) != 0 || !answer["Value"].is_boolean())
            return std::nullopt;
        return answer["Value"].get<bool>();
    }

    // A second client, asking in turn every 200 ms what a waiting client asks.
    void startSampling()
    {
        sampling = true;
        sampler = std::thread([this] {
            std::unique_ptr<httplib::Client> client = keptAlive();
            while (sampling) {
                for (const char* member : {"slewing", "atpark", "tracking", "devicestate"}) {
                    Told told{member, nowMs(), 0, {}, {}, {}};
                    Json answer = answerOf(client->Get(telescope(member)));
                    told.answeredMs = nowMs();
                    if (errorOf(answer) == 0) {
                        const Json& value = answer["Value"];
                        if (told.what == "devicestate") {
                            told.slewing = stateField(value, "Slewing");
                            told.atPark = stateField(value, "AtPark");
                            told.tracking = stateField(value, "Tracking");
                        } else if (value.is_boolean()) {
                            std::optional<bool>& field = told.what == "slewing" ? told.slewing
                                : told.what == "atpark"                       ? told.atPark
                                                                              : told.tracking;
                            field = value.get<bool>();
                        }
                    }
                    std::lock_guard<std::mutex> lock(toldMutex);
                    toldSoFar.push_back(told);
                }
                std::this_thread::sleep_for(200ms);
            }
        });
    }

    void stopSampling()
    {
        sampling = false;
        if (sampler.joinable())
            sampler.join();
    }

    std::vector<Told> answers()
    {
        std::lock_guard<std::mutex> lock(toldMutex);
        return toldSoFar;
    }

    // Polls as a client does until the condition holds, within a bound.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition())
                return true;
            std::this_thread::sleep_for(200ms);
        }
        return condition();
    }

    // The simulator's state at a moment (its first logged state before it).
    MotionChange simulatorAt(const std::vector<MotionChange>& log, double atMs) const
    {
        MotionChange state = log.empty() ? MotionChange{} : log.front();
        for (const MotionChange& change : log)
            if (change.atMs <= atMs)
                state = change;
        return state;
    }
    // When the simulator last stopped slewing at or after fromMs.
    std::optional<double> stoppedAfter(const std::vector<MotionChange>& log, double fromMs) const
    {
        std::optional<double> stopped;
        bool wasSlewing = simulatorAt(log, fromMs).slewing;
        for (const MotionChange& change : log) {
            if (change.atMs < fromMs)
                continue;
            if (wasSlewing && !change.slewing)
                stopped = change.atMs;
            wasSlewing = change.slewing;
        }
        return stopped;
    }

    // What holds of every answer, whatever the sequence: AtPark true only
    // for a mount parked and still when the answer came; Slewing true only
    // while the mount moved, or within the time allowed after it stopped;
    // Slewing false not while it moved throughout the question; Tracking
    // true never for a parked mount; DeviceState never both false on
    // slewing and parking between a park's start and its end.
    void expectTruthfulThroughout(const std::vector<Told>& told, const std::vector<MotionChange>& log)
    {
        ASSERT_FALSE(log.empty()) << "the simulator logged no motion";
        for (const Told& each : told) {
            const MotionChange asked = simulatorAt(log, each.askedMs);
            const MotionChange answered = simulatorAt(log, each.answeredMs);
            const std::string where = each.what + " asked at " + std::to_string(each.askedMs);
            if (each.atPark == true) {
                EXPECT_TRUE(parkedBetween(log, each.askedMs, each.answeredMs)) << where << ": parked while the mount moved";
            }
            if (each.slewing == false) {
                // A stop sent before the answer may be logged by the
                // simulator a little later on a busy machine: still on its
                // way, it is not a motion the server kept quiet about.
                const double logged = each.answeredMs + kStopInTransitMs;
                EXPECT_FALSE(asked.slewing && simulatorAt(log, logged).slewing
                             && stayedSlewing(log, each.askedMs, logged))
                    << where << ", answered at " << std::to_string(each.answeredMs)
                    << ": not slewing while the mount moved";
            }
            if (each.slewing == true) {
                // The mount moved while the question was out, or stopped no
                // longer ago than the time allowed.
                const double since = each.askedMs - kToldWithinMs;
                EXPECT_TRUE(simulatorAt(log, since).slewing || movedBetween(log, since, each.answeredMs))
                    << where << ": slewing more than " << kToldWithinMs << " ms after the mount stopped";
            }
            if (each.tracking == true) {
                // An unpark sent before the answer may likewise be logged
                // a little after it.
                const MotionChange shortlyAfter = simulatorAt(log, each.answeredMs + kStopInTransitMs);
                EXPECT_FALSE(asked.parked && answered.parked && shortlyAfter.parked)
                    << where << ", answered at " << std::to_string(each.answeredMs) << ": tracking while parked";
            }
        }
    }

    // Parked and still at some moment while the question was out.
    static bool parkedBetween(const std::vector<MotionChange>& log, double fromMs, double toMs)
    {
        bool parked = false;
        for (const MotionChange& change : log) {
            if (change.atMs <= fromMs)
                parked = change.parked && !change.slewing;
            else if (change.atMs <= toMs)
                parked = parked || (change.parked && !change.slewing);
        }
        return parked;
    }
    static bool stayedSlewing(const std::vector<MotionChange>& log, double fromMs, double toMs)
    {
        for (const MotionChange& change : log)
            if (change.atMs > fromMs && change.atMs < toMs && !change.slewing)
                return false;
        return true;
    }
    static bool movedBetween(const std::vector<MotionChange>& log, double fromMs, double toMs)
    {
        for (const MotionChange& change : log)
            if (change.atMs >= fromMs && change.atMs <= toMs && change.slewing)
                return true;
        return false;
    }

    // From a park's acceptance to its arrival: no DeviceState says the
    // mount neither slews nor is parked, and no Tracking says it tracks.
    void expectParkingCoveredFrom(const std::vector<Told>& told, double parkedAtMs, double untilMs)
    {
        for (const Told& each : told) {
            if (each.askedMs < parkedAtMs || each.answeredMs > untilMs)
                continue;
            const std::string where = each.what + " asked at " + std::to_string(each.askedMs);
            if (each.what == "devicestate") {
                EXPECT_TRUE(each.slewing && each.atPark && (*each.slewing || *each.atPark))
                    << where << ": neither slewing nor parked during the park";
                EXPECT_EQ(each.slewing && each.atPark && *each.slewing && *each.atPark, false)
                    << where << ": slewing and parked at once";
            }
            if (each.tracking) {
                EXPECT_FALSE(*each.tracking) << where << ": tracking during the park";
            }
        }
    }

    // A slew of 40 degrees in declination from where the mount points.
    void startLongSlew()
    {
        Json rightAscension = get("rightascension");
        ASSERT_EQ(errorOf(rightAscension), 0);
        const double ra = rightAscension["Value"].get<double>();
        Json answer = put("slewtocoordinatesasync", "RightAscension=" + std::to_string(ra) + "&Declination=60");
        ASSERT_EQ(errorOf(answer), 0) << answer.dump();
        ASSERT_TRUE(waitUntil([&] { return simulatorAt(readMotionLog(motionLog), nowMs()).slewing; }, 5s))
            << "the slew never began";
    }

    // Park, and wait as a client does until AtPark; when the park was
    // accepted.
    double parkAndWait()
    {
        const double began = nowMs();
        Json answer = put("park");
        const double returned = nowMs();
        EXPECT_EQ(errorOf(answer), 0) << answer.dump();
        EXPECT_LT(returned - began, 1000.0) << "Park waited for the mount";
        EXPECT_TRUE(waitUntil([&] { return flag("atpark") == true; }, 40s)) << "never parked";
        return returned;
    }

    std::unique_ptr<ScratchFolder> scratch;
    std::string motionLog;
    std::unique_ptr<SimulatorProcess> simulator;
    std::unique_ptr<ServerProcess> server;
    std::unique_ptr<httplib::Client> mainClient;
    std::atomic<bool> sampling{false};
    std::thread sampler;
    std::mutex toldMutex;
    std::vector<Told> toldSoFar;
};

TEST_P(MotionTold, ParkIsSlewingUntilTheMountIsThereThenParkedAgainAndUnparked)
{
    startSampling();
    std::this_thread::sleep_for(600ms);
    const double accepted = parkAndWait();
    std::this_thread::sleep_for(1500ms);
    const double settled = nowMs();

    // A second park: no park command goes out (model 3 only asks), and
    // nothing changes. The sampling client's reads go on meanwhile.
    const std::size_t before = simulator->commands().size();
    Json again = put("park");
    EXPECT_EQ(errorOf(again), 0) << again.dump();
    const std::vector<std::string> sent = simulator->commandsSince(before);
    for (const char* parking : {":PK#", ":KA", ":MH#", ":MP1#"})
        EXPECT_EQ(std::count(sent.begin(), sent.end(), parking), 0) << parking << " sent again";
    if (GetParam() == 3) {
        EXPECT_NE(std::count(sent.begin(), sent.end(), ":AP#"), 0) << "model 3 was not asked first";
    }
    EXPECT_EQ(flag("atpark"), true);
    EXPECT_EQ(flag("slewing"), false);
    EXPECT_EQ(flag("tracking"), false);
    std::this_thread::sleep_for(600ms);

    // Unparked: AtPark is false at once, in DeviceState too.
    const double unparking = nowMs();
    EXPECT_EQ(errorOf(put("unpark")), 0);
    const double unparked = nowMs();
    EXPECT_EQ(flag("atpark"), false);
    EXPECT_EQ(stateField(get("devicestate")["Value"], "AtPark"), false);
    std::this_thread::sleep_for(600ms);
    stopSampling();

    const std::vector<MotionChange> log = readMotionLog(motionLog);
    const std::vector<Told> told = answers();
    expectTruthfulThroughout(told, log);
    expectParkingCoveredFrom(told, accepted, unparking);
    const std::optional<double> arrived = stoppedAfter(log, accepted);
    ASSERT_TRUE(arrived) << "the simulator never stopped after the park";
    EXPECT_TRUE(simulatorAt(log, settled).parked);
    // The park was seen moving, and its end told in time, by every reader.
    bool seenMoving = false;
    for (const Told& each : told) {
        seenMoving = seenMoving || (each.slewing == true && each.askedMs > accepted);
        if (each.askedMs > *arrived + kToldWithinMs && each.answeredMs < unparking) {
            EXPECT_EQ(each.slewing.value_or(false), false) << each.what << " still slewing at " << each.askedMs;
            if (each.what == "atpark" || each.what == "devicestate") {
                EXPECT_EQ(each.atPark.value_or(true), true) << each.what << " not parked at " << each.askedMs;
            }
        }
        if (each.askedMs > unparked + 100 && each.atPark) {
            EXPECT_FALSE(*each.atPark) << each.what << " parked after the unpark";
        }
    }
    EXPECT_TRUE(seenMoving) << "no client was told of the park's motion";
}

// A DeviceState that tells a motion has ended tells where the mount
// stopped, not where it was as it went: a program that parks or aborts and
// then reads the position from DeviceState gets what the mount says now.
TEST_P(MotionTold, ADeviceStateThatTellsTheMotionEndedTellsWhereTheMountStopped)
{
    for (const bool park : {false, true}) {
        SCOPED_TRACE(park ? "a park" : "an abort mid-slew");
        if (park) {
            ASSERT_EQ(errorOf(put("park")), 0);
        } else {
            startLongSlew();
            std::this_thread::sleep_for(1200ms);
        }
        // DeviceState polled as a program waiting for the end does, while
        // the mount moves and its position is read and kept on the way.
        std::optional<Json> ended;
        const auto deadline = std::chrono::steady_clock::now() + 40s;
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            if (!park && stateField(get("devicestate")["Value"], "Slewing") == true)
                put("abortslew");
            std::this_thread::sleep_for(100ms);
            Json state = get("devicestate")["Value"];
            if (stateField(state, "Slewing") == false && (!park || stateField(state, "AtPark") == true))
                ended = state;
        }
        ASSERT_TRUE(ended) << "the motion never ended";
        const Json altitude = get("altitude");
        const Json azimuth = get("azimuth");
        const Json altitudeTold = stateValue(*ended, "Altitude");
        const Json azimuthTold = stateValue(*ended, "Azimuth");
        ASSERT_TRUE(altitudeTold.is_number() && azimuthTold.is_number()) << ended->dump();
        // Tracking after the abort moves the mount by a few arc-seconds a second.
        EXPECT_NEAR(altitudeTold.get<double>(), altitude["Value"].get<double>(), 0.05) << ended->dump();
        // Azimuths either side of north are close.
        const double apart = std::fmod(std::fabs(azimuthTold.get<double>() - azimuth["Value"].get<double>()), 360.0);
        EXPECT_LE(std::min(apart, 360.0 - apart), 0.05) << azimuth.dump() << " " << ended->dump();
        if (park) {
            ASSERT_EQ(errorOf(put("unpark")), 0);
        }
    }
}

TEST_P(MotionTold, AbortMidSlewEndsTheSlewAsTheMountStops)
{
    startLongSlew();
    startSampling();
    std::this_thread::sleep_for(1200ms);
    ASSERT_EQ(flag("slewing"), true);
    Json aborted = put("abortslew");
    const double returned = nowMs();
    EXPECT_EQ(errorOf(aborted), 0) << aborted.dump();
    if (GetParam() == 2) {
        // No question to ask it: the abort itself ends the slew.
        EXPECT_EQ(flag("slewing"), false);
    }
    EXPECT_TRUE(waitUntil([&] { return flag("slewing") == false; }, 5s)) << "still slewing after the abort";
    std::this_thread::sleep_for(std::chrono::milliseconds(int(kToldWithinMs) + 500));
    stopSampling();

    const std::vector<MotionChange> log = readMotionLog(motionLog);
    const std::vector<Told> told = answers();
    expectTruthfulThroughout(told, log);
    EXPECT_FALSE(simulatorAt(log, nowMs()).slewing) << "the mount did not stop";
    for (const Told& each : told) {
        if (each.askedMs > returned + (GetParam() == 2 ? 0 : kToldWithinMs)) {
            EXPECT_EQ(each.slewing.value_or(false), false) << each.what << " still slewing at " << each.askedMs;
        }
    }
}

TEST_P(MotionTold, ParkMidSlewTakesOverTheSlewAndEndsParked)
{
    startLongSlew();
    startSampling();
    std::this_thread::sleep_for(1200ms);
    const double accepted = parkAndWait();
    std::this_thread::sleep_for(1500ms);
    stopSampling();

    const std::vector<MotionChange> log = readMotionLog(motionLog);
    const std::vector<Told> told = answers();
    expectTruthfulThroughout(told, log);
    expectParkingCoveredFrom(told, accepted, nowMs());
    const std::optional<double> arrived = stoppedAfter(log, accepted);
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(simulatorAt(log, nowMs()).parked);
    for (const Told& each : told) {
        if (each.askedMs > *arrived + kToldWithinMs) {
            EXPECT_EQ(each.slewing.value_or(false), false) << each.what << " still slewing at " << each.askedMs;
        }
    }
}

TEST_P(MotionTold, AbortDuringTheParkStopsItShortNeitherParkedNorSlewing)
{
    startSampling();
    Json parked = put("park");
    ASSERT_EQ(errorOf(parked), 0) << parked.dump();
    std::this_thread::sleep_for(1200ms);
    ASSERT_TRUE(simulatorAt(readMotionLog(motionLog), nowMs()).slewing) << "the park ended too soon to abort";
    Json aborted = put("abortslew");
    const double returned = nowMs();
    EXPECT_EQ(errorOf(aborted), 0) << aborted.dump();
    EXPECT_TRUE(waitUntil([&] { return flag("slewing") == false; }, 5s)) << "still slewing after the abort";
    std::this_thread::sleep_for(std::chrono::milliseconds(int(kToldWithinMs) + 500));
    // Stopped short, it is not parked: moves are not refused as parked.
    EXPECT_EQ(flag("atpark"), false);
    EXPECT_NE(errorOf(put("synctocoordinates", "RightAscension=1&Declination=10")), kInvalidWhileParked);
    stopSampling();

    const std::vector<MotionChange> log = readMotionLog(motionLog);
    const std::vector<Told> told = answers();
    expectTruthfulThroughout(told, log);
    EXPECT_FALSE(simulatorAt(log, nowMs()).parked);
    for (const Told& each : told) {
        if (each.askedMs > returned + kToldWithinMs) {
            EXPECT_EQ(each.slewing.value_or(false), false) << each.what << " still slewing at " << each.askedMs;
        }
        if (each.askedMs > returned) {
            EXPECT_EQ(each.atPark.value_or(false), false) << each.what << " parked at " << each.askedMs;
        }
    }
}

// A mount that never says its park has ended (its answer to the park's
// question garbled): after the bound the park is no longer a slew, and it
// is still not called parked, before or after the mount gets there.
class ParkNeverConfirmed : public MotionTold {
protected:
    void SetUp() override
    {
        start({"--fault", GetParam() == 3 ? ":AP#=garbage" : ":SE?#=garbage"}, {"VELMARO_WAIT_LIMIT_MS=4000"});
    }
};

TEST_P(ParkNeverConfirmed, StopsCountingAsSlewingAtTheBoundAndIsNeverCalledParked)
{
    const double began = nowMs();
    ASSERT_EQ(errorOf(put("park")), 0);
    EXPECT_EQ(flag("slewing"), true);
    startSampling();
    EXPECT_TRUE(waitUntil([&] { return flag("slewing") == false; }, 15s)) << "still slewing past the bound";
    EXPECT_GE(nowMs() - began, 4000.0) << "the park stopped counting before its bound";
    // The mount arrives meanwhile; nothing it says shows that.
    EXPECT_TRUE(waitUntil([&] { return simulatorAt(readMotionLog(motionLog), nowMs()).parked; }, 20s));
    EXPECT_EQ(flag("atpark"), false);
    // Parking again sends nothing that can fail, and proves nothing either.
    EXPECT_EQ(errorOf(put("park")), 0);
    EXPECT_EQ(flag("atpark"), false);
    stopSampling();
    EXPECT_NE(withLinuxLineEnds(server->log()).find("did not report reaching its park position within 4 s"),
              std::string::npos)
        << server->log();
    for (const Told& each : answers())
        EXPECT_NE(each.atPark, std::optional<bool>(true)) << each.what << " parked at " << each.askedMs;
}

INSTANTIATE_TEST_SUITE_P(Models, ParkNeverConfirmed, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) { return "Model" + std::to_string(info.param); });

std::string modelName(const ::testing::TestParamInfo<int>& info)
{
    return "Model" + std::to_string(info.param);
}

INSTANTIATE_TEST_SUITE_P(Models, MotionTold, ::testing::Values(1, 2, 3), modelName);

} // namespace

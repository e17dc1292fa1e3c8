// What both profiles of velmaro-alpaca-load share: the command line, the
// programs started (the simulated mount, the server) and stopped on every
// way out with the scratch folder, a file's lines time-stamped as they
// appear, the HTTP client and the small readings of an Alpaca answer.
#pragma once

#include "BenchSupport.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

constexpr const char* kProgram = "alpaca-load";
constexpr const char* kTelescope = "/api/v1/telescope/0/";
constexpr int kSimulatorModel = 3;
constexpr int kReadTimeoutSeconds = 30;
constexpr long kNotConnected = 0x407;
constexpr long kLinkDown = 0x502;

// A line of the program's own, "alpaca-load: ...", flushed at once.
void say(const std::string& text);

// ---- The command line -------------------------------------------------------

enum class Profile { Default, Night };

struct Options {
    std::string server;
    std::string simulator;
    int seconds = 0;  // 0: the profile's default
    Profile profile = Profile::Default;
};

// False for a command line that is not understood (--help prints the usage
// and exits 0).
bool readOptions(int argc, char** argv, Options& options);
extern const char* const kUsage;
bool isProgram(const std::string& path, const char* what);

// ---- The programs started, and the scratch folder ---------------------------

extern Children children;
extern std::string scratchFolder;
// --keep: the scratch folder (logs, transcript) stays for a look; what the
// profile left in it, for the line that says so.
extern bool keepScratchFolder;
extern std::string keptFilesNote;
// Whether the simulated mount runs at real-time priority (root only).
extern bool simulatorRealTime;

bool makeScratchFolder();
// Stops every program and removes the scratch folder (or says where it was
// kept).
void stopEverything();
// Interrupted, the program stops what it started before it goes.
void watchForStopSignals();

struct Simulator {
    std::string link;
    std::string transcript;
    pid_t pid = -1;
    int starts = 0;
};

// The simulated mount (model 3, replies paced at 9600 baud) on a link in the
// scratch folder; started again, it comes back on the same link and adds to
// the same transcript and log. False, having said why, when its link did
// not appear.
bool startSimulator(const std::string& program, Simulator& simulator);
// The server on a free loopback port for the mount, answering, with
// `extra` on its command line; -1 when it did not come up.
pid_t startServer(const std::string& program, const Simulator& mount, const std::vector<std::string>& extra,
                  int& port);

// ---- A file's lines, time-stamped as they appear -----------------------------

// A file another program appends to a line at a time, at once (the
// simulator's transcript, the server's log): this watches it (inotify) and
// stamps each line as it appears, so a stamp is late by this thread's
// wake-up at most.
class LineWatch {
public:
    struct Line {
        Steady::time_point at;
        std::string text;
    };

    bool start(const std::string& path);
    bool atRealTimePriority() const { return realTime; }
    ~LineWatch();

    // The lines stamped in [from, to).
    std::vector<Line> between(Steady::time_point from, Steady::time_point to);
    // Every line so far, each after its milliseconds since `origin`.
    void save(const std::string& path, Steady::time_point origin);
    // The first line `text` stamped at or after `from`, and at most
    // `within` ms later.
    std::optional<Steady::time_point> firstAfter(const std::string& text, Steady::time_point from, int within);

private:
    void watch();
    void readNewLines(std::string& partial);

    int file = -1;
    int notify = -1;
    bool realTime = false;
    std::atomic<bool> stop{false};
    std::thread watcher;
    std::mutex mutex;
    std::vector<Line> lines;
};

// ---- HTTP -------------------------------------------------------------------

// One keep-alive client, owned by one thread; counts the TCP connections
// it had to open (the server may end a kept connection).
struct HttpClient {
    HttpClient(int port, int id);
    std::string query(const std::string& member);
    httplib::Result get(const std::string& member) { return client.Get(query(member)); }
    httplib::Result put(const std::string& member, const std::string& form);

    httplib::Client client;
    int clientId;
    unsigned transaction = 0;
    int connections = 0;
};

// The ErrorNumber of an Alpaca answer; -1 when there is none.
long errorNumberOf(const std::string& body);
// The text after "Value": in an answer, up to the next comma or brace.
std::string valueText(const std::string& body);
// The ErrorMessage of an answer, its escapes left as they are.
std::string errorMessageOf(const std::string& body);
bool waitUntilAnswering(int port, pid_t server, int timeoutMs);

// ---- Time -------------------------------------------------------------------

// When the load ends: every client waits on this between its requests.
class StopFlag {
public:
    void raise()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            raised = true;
        }
        changed.notify_all();
    }
    bool isRaised()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return raised;
    }
    // False when raised before `until`.
    bool sleepUntil(Steady::time_point until)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return !changed.wait_until(lock, until, [this] { return raised; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool raised = false;
};

// Starts a round each period, or at once when the last one overran it.
template <class Work>
void everyPeriod(StopFlag& stop, int periodMs, Work work)
{
    Steady::time_point next = Steady::now();
    while (!stop.isRaised()) {
        work();
        next = std::max(next + std::chrono::milliseconds(periodMs), Steady::now());
        if (!stop.sleepUntil(next))
            return;
    }
}

// ---- Figures ----------------------------------------------------------------

struct Spread {
    std::size_t count = 0;
    double median = NAN, p99 = NAN, max = NAN;
};

// p99 is the nearest rank: the sample that 99 % of them do not exceed.
Spread spreadOf(std::vector<double> samples);

// A profile's run to its exit status: measure() (its failure, or an
// exception, said as "the <what> failed"), everything it started stopped,
// then, when it measured, report() prints the figures and returns the
// goals missed, and one line sums them up: 0 when every goal holds.
int measureAndJudge(const char* what, const std::function<bool()>& measure,
                    const std::function<std::vector<std::string>()>& report);

// The night profile (alpaca_night.cpp): the run, its figures and verdicts;
// the exit status.
int runNight(const Options& options);

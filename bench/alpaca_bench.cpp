// velmaro-alpaca-bench: what the Alpaca server costs a client, in figures
// beside the protocol's floor, for `make bench` (not a test).
//
// It starts two simulated model 3 mounts, one behind the server and one for
// the core directly, and the server on a free port with a config of its
// own. Over keep-alive HTTP it measures a member that needs no exchange,
// with one client and with eight at once; the answered exchange over HTTP
// and the same exchange made by the core, interleaved in one run, so that
// their difference is what HTTP adds; what five open status pages cost the
// server's processor and the mount's link; and the server's resident memory
// at the start and at the end. Every figure ends in a verdict line. Exit
// status 1 when HTTP adds more than 1 ms to an answered exchange at the
// median, or when the figures could not be measured; 2 for a bad command
// line. Whatever it started is stopped on every way out.
#include "Mount.h"

#include "BenchSupport.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The protocol's pause before every read, the floor of an answered exchange.
constexpr double kPauseMs = 50.0;
// How far above the floor an exchange may land, as the DLL's bench allows.
constexpr double kFloorToleranceMs = 2.0;
// The one goal that fails the bench: what HTTP adds to an answered exchange.
constexpr double kOverheadGoalMs = 1.0;
// A member that needs no exchange, one client, at the median.
constexpr double kNoExchangeGoalMs = 1.0;
// Resident memory the whole run may add to the server.
constexpr double kGrowthGoalKiB = 1024.0;
constexpr int kExchanges = 60;
constexpr int kWarmUpExchanges = 3;
constexpr int kWarmUpRequests = 50;
constexpr int kConcurrentClients = 8;
constexpr int kDefaultSeconds = 3;
constexpr int kLongestSeconds = 600;
constexpr int kSimulatorModel = 3;
// The status page: how many open pages, each asking once a second, for how
// long, and what they may cost the server (a share of one core).
constexpr int kStatusPages = 5;
constexpr int kStatusSeconds = 10;
constexpr double kStatusCpuGoalPercent = 1.0;
constexpr const char* kProgram = "alpaca-bench";
constexpr const char* kTelescope = "/api/v1/telescope/0/";



void say(const std::string& text)
{
    std::printf("%s: %s\n", kProgram, text.c_str());
    std::fflush(stdout);
}


Children children;
std::string scratchFolder;
std::mutex cleanupMutex;


// Stops every program and removes the scratch folder. A program that did not
// end by the SIGTERM it was sent (or ended by itself otherwise) is named.
void stopEverything()
{
    std::lock_guard<std::mutex> lock(cleanupMutex);
    for (const auto& [name, status] : children.stopAll()) {
        const bool endedBySigterm = WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        const bool endedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!endedBySigterm && !endedCleanly)
            say("note: the " + name + " ended with " + describeStatus(status));
    }
    if (!scratchFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratchFolder, ignored);
        scratchFolder.clear();
    }
}

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Interrupted, the bench stops what it started before it goes.
void watchForStopSignals()
{
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            return;
        say(std::string("stopped by ") + strsignal(signal) + "; stopping the server and the mounts");
        stopEverything();
        _exit(1);
    }).detach();
}


// A simulated mount of its own, with its transcript of what it received.
struct Simulator {
    std::string link;
    std::string transcript;
    pid_t pid = -1;
};

// name says whose mount it is; file names the files in the scratch folder.
bool startSimulator(const std::string& program, const std::string& name, const std::string& file,
                    Simulator& simulator)
{
    const std::string stem = scratchFolder + "/" + file;
    simulator.link = stem + "-link";
    simulator.transcript = stem + "-transcript";
    simulator.pid = children.start(name, {program, "--model", std::to_string(kSimulatorModel), "--link",
                                          simulator.link, "--transcript", simulator.transcript},
                                   stem + ".log");
    if (simulator.pid > 0 && waitForPath(simulator.link, 5000))
        return true;
    const std::string ended = children.endedWith(simulator.pid);
    say("the " + name + " did not offer its link " + simulator.link + (ended.empty() ? "" : " (" + ended + ")") +
        "; its log ends:\n" + lastLines(readFile(stem + ".log"), 5));
    return false;
}

// The commands a simulator received that are exactly `command`, so far.
std::size_t countReceived(const Simulator& simulator, const std::string& command)
{
    std::ifstream in(simulator.transcript);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);)
        count += line == command;
    return count;
}

std::size_t countAllReceived(const Simulator& simulator)
{
    std::ifstream in(simulator.transcript);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);)
        ++count;
    return count;
}


// ---- HTTP -------------------------------------------------------------------

// One keep-alive client, owned by one thread; counts the TCP connections
// it had to open (the server may end a kept connection).
struct HttpClient {
    explicit HttpClient(int port, int clientId) : client("127.0.0.1", port), clientId(clientId)
    {
        client.set_keep_alive(true);
        client.set_connection_timeout(2, 0);
        client.set_read_timeout(30, 0);
        client.set_socket_options([this](socket_t) { ++connections; });
    }
    std::string query(const std::string& member)
    {
        return kTelescope + member + "?ClientID=" + std::to_string(clientId) +
               "&ClientTransactionID=" + std::to_string(++transaction);
    }
    httplib::Result get(const std::string& member) { return client.Get(query(member)); }
    httplib::Result put(const std::string& member, const std::string& form)
    {
        const std::string body = form + "&ClientID=" + std::to_string(clientId) +
                                 "&ClientTransactionID=" + std::to_string(++transaction);
        return client.Put(kTelescope + member, body, "application/x-www-form-urlencoded");
    }

    httplib::Client client;
    int clientId;
    unsigned transaction = 0;
    int connections = 0;
};

// An Alpaca answer of success: HTTP 200 and ErrorNumber 0.
bool succeeded(const httplib::Result& result)
{
    if (!result || result->status != 200)
        return false;
    const std::string& body = result->body;
    const std::string key = "\"ErrorNumber\":";
    const std::size_t at = body.find(key);
    if (at == std::string::npos)
        return false;
    const std::size_t digit = at + key.size();
    return digit < body.size() && body[digit] == '0' && (digit + 1 == body.size() || body[digit + 1] < '0' ||
                                                         body[digit + 1] > '9');
}

std::string whyFailed(const httplib::Result& result)
{
    if (!result)
        return "no answer (" + httplib::to_string(result.error()) + ")";
    return "HTTP " + std::to_string(result->status) + ": " + result->body.substr(0, 200);
}

// The number after "Value": in an answer; NaN when there is none.
double numberValue(const httplib::Result& result)
{
    if (!result)
        return NAN;
    const std::string key = "\"Value\":";
    const std::size_t at = result->body.find(key);
    if (at == std::string::npos)
        return NAN;
    char* end = nullptr;
    const char* start = result->body.c_str() + at + key.size();
    const double value = std::strtod(start, &end);
    return end == start ? NAN : value;
}

bool waitUntilAnswering(int port, pid_t server, int timeoutMs)
{
    httplib::Client probe("127.0.0.1", port);
    probe.set_connection_timeout(0, 200000);
    probe.set_read_timeout(2, 0);
    for (int waited = 0; waited <= timeoutMs && children.running(server); waited += 20) {
        if (auto answer = probe.Get("/management/apiversions"); answer && answer->status == 200)
            return true;
        sleepMs(20);
    }
    return false;
}

// ---- Figures ----------------------------------------------------------------

struct Spread {
    std::size_t count = 0;
    double min = NAN, median = NAN, p99 = NAN, max = NAN;
};

// p99 is the nearest rank: the sample that 99 % of them do not exceed.
Spread spreadOf(std::vector<double> samples)
{
    Spread spread;
    spread.count = samples.size();
    if (samples.empty())
        return spread;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    spread.min = samples.front();
    spread.max = samples.back();
    spread.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    const std::size_t rank = std::size_t(std::ceil(0.99 * double(n)));
    spread.p99 = samples[std::clamp<std::size_t>(rank, 1, n) - 1];
    return spread;
}

struct Row {
    std::string name;
    Spread spread;
    double perSecond = NAN;  // requests per second; NaN where it means nothing
    int connections = -1;    // TCP connections opened; -1 for the core
};

// A member that needs no exchange, as asked by so many clients at once.
struct Load {
    const char* member;  // as in the path
    const char* label;   // as the table names it
    int clients;
};

const Load kLoads[] = {
    {"name", "Name", 1},
    {"canslew", "CanSlew", 1},
    {"name", "Name", kConcurrentClients},
    {"canslew", "CanSlew", kConcurrentClients},
};

struct LoadRun {
    Load load;
    Row row;
    int failures = 0;
    std::string firstFailure;
};

// Requests of one member that needs no exchange, from `clients` threads with
// a client each, for `seconds` after a warm-up. Requests per second are
// counted over the time all of them ran.
LoadRun measureNoExchange(int port, const Load& load, int seconds)
{
    const int clients = load.clients;
    const std::string member = load.member;
    struct Worker {
        std::vector<double> samples;
        int failures = 0;
        int connections = 0;
        std::string firstFailure;
        Steady::time_point end;
    };
    std::vector<Worker> workers(static_cast<std::size_t>(clients));
    std::latch warmedUp(clients);
    std::latch go(1);
    Steady::time_point start;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            Worker& worker = workers[std::size_t(i)];
            HttpClient http(port, 100 + i);
            // Each client connects for itself; the link is open already,
            // so nothing goes to the mount.
            http.put("connected", "Connected=true");
            for (int w = 0; w < kWarmUpRequests; ++w)
                http.get(member);
            // The connections the figure itself needed, not the warm-up's.
            http.connections = 0;
            worker.samples.reserve(200000);
            warmedUp.count_down();
            go.wait();
            const Steady::time_point deadline = start + std::chrono::seconds(seconds);
            Steady::time_point now = Steady::now();
            while (now < deadline) {
                const httplib::Result answer = http.get(member);
                const Steady::time_point after = Steady::now();
                worker.samples.push_back(msBetween(now, after));
                if (!succeeded(answer) && worker.failures++ == 0)
                    worker.firstFailure = whyFailed(answer);
                now = after;
            }
            worker.end = now;
            worker.connections = http.connections;
        });
    }
    warmedUp.wait();
    start = Steady::now();
    go.count_down();
    for (std::thread& thread : threads)
        thread.join();

    LoadRun run{load, {}, 0, {}};
    std::vector<double> all;
    Steady::time_point last = start;
    run.row.connections = 0;
    for (Worker& worker : workers) {
        all.insert(all.end(), worker.samples.begin(), worker.samples.end());
        run.failures += worker.failures;
        if (run.firstFailure.empty())
            run.firstFailure = worker.firstFailure;
        run.row.connections += worker.connections;
        last = std::max(last, worker.end);
    }
    run.row.name = "GET " + std::string(load.label) + ", " + std::to_string(clients) +
                   (clients == 1 ? " client" : " clients");
    run.row.spread = spreadOf(all);
    run.row.perSecond = double(all.size()) / (msBetween(start, last) / 1000.0);
    return run;
}

// The one port the second mount offers, for the core directly.
class DirectSettings final : public MountSettings {
public:
    explicit DirectSettings(std::string link) : link(std::move(link)) {}
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

struct ExchangeRun {
    std::vector<double> http;
    std::vector<double> direct;
    std::vector<std::string> faults;
};

bool isHours(double value)
{
    return value >= 0.0 && value < 24.0;
}

// RightAscension over HTTP and by the core, taking turns (each going first
// every other time), so that both meet the same machine at the same time.
ExchangeRun measureAnsweredExchange(HttpClient& http, Mount& mount)
{
    ExchangeRun run;
    int httpFailures = 0, directFailures = 0;
    auto overHttp = [&](bool keep) {
        const Steady::time_point before = Steady::now();
        const httplib::Result answer = http.get("rightascension");
        const double took = msBetween(before, Steady::now());
        if (!succeeded(answer) || !isHours(numberValue(answer))) {
            if (httpFailures++ == 0)
                run.faults.push_back("GET RightAscension: " + whyFailed(answer));
        } else if (keep) {
            run.http.push_back(took);
        }
    };
    auto direct = [&](bool keep) {
        double hours = -1.0;
        const Steady::time_point before = Steady::now();
        const Outcome outcome = mount.rightAscension(hours);
        const double took = msBetween(before, Steady::now());
        if (!outcome.isSuccess() || !isHours(hours)) {
            if (directFailures++ == 0)
                run.faults.push_back("the core's RightAscension failed: " + outcome.text());
        } else if (keep) {
            run.direct.push_back(took);
        }
    };
    for (int i = 0; i < kWarmUpExchanges + kExchanges; ++i) {
        const bool keep = i >= kWarmUpExchanges;
        if (i % 2) {
            overHttp(keep);
            direct(keep);
        } else {
            direct(keep);
            overHttp(keep);
        }
    }
    return run;
}

// ---- Report -----------------------------------------------------------------

std::string ms(double value, int decimals = 3)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f ms", decimals, value);
    return text;
}

void printRow(const Row& row)
{
    char perSecond[16] = "-";
    if (!std::isnan(row.perSecond))
        std::snprintf(perSecond, sizeof perSecond, "%.0f", row.perSecond);
    char connections[16] = "-";
    if (row.connections >= 0)
        std::snprintf(connections, sizeof connections, "%d", row.connections);
    const Spread& s = row.spread;
    std::printf("  %-40s %7zu %9.3f %9.3f %9.3f %9.3f %8s %6s\n", row.name.c_str(), s.count, s.min, s.median, s.p99,
                s.max, perSecond, connections);
}

void verdict(const std::string& figure, const std::string& goal, bool held)
{
    std::printf("verdict: %s (%s): %s\n", figure.c_str(), goal.c_str(), held ? "pass" : "miss");
}

// An answered exchange against the floor: at or above it, and within the
// tolerance of it, at the median.
void floorVerdict(const std::string& what, const Spread& spread)
{
    const double above = spread.median - kPauseMs;
    std::string figure = what + " " + ms(spread.median, 2) + " at the median, " +
                         (above >= 0 ? ms(above, 2) + " above" : ms(-above, 2) + " BELOW") + " the floor";
    verdict(figure, "floor 50 ms, the pause before every read; goal within 2 ms of it",
            above >= 0 && above <= kFloorToleranceMs);
}

struct Memory {
    double startKiB = -1, connectedKiB = -1, endKiB = -1, peakKiB = -1;
};

// Open status pages, each asking for the mount's status once a second.
struct StatusPages {
    int answered = 0;
    int failed = 0;
    double cpuPercent = NAN;
    std::size_t exchanges = 0;
};

struct Results {
    std::vector<LoadRun> load;
    ExchangeRun exchange;
    Memory memory;
    StatusPages status;
};

void printTable(const Results& results, const Spread& http, const Spread& direct)
{
    std::printf("\nvelmaro-alpaca figures: latency in ms over keep-alive HTTP on loopback (p99: nearest rank)\n");
    std::printf("  %-40s %7s %9s %9s %9s %9s %8s %6s\n", "figure", "count", "min", "median", "p99", "max", "req/s",
                "conns");
    for (const LoadRun& run : results.load)
        printRow(run.row);
    printRow({"GET RightAscension over HTTP", http, NAN, -1});
    printRow({"RightAscension by the core directly", direct, NAN, -1});
    std::printf("  %-40s %7s %9s %9.3f\n", "HTTP overhead (median HTTP - direct)", "", "",
                http.median - direct.median);
    const Memory& m = results.memory;
    std::printf("  %-40s start %.0f KiB, connected %.0f KiB, end %.0f KiB (%+.0f KiB), peak %.0f KiB\n",
                "server memory (VmRSS; peak VmHWM)", m.startKiB, m.connectedKiB, m.endKiB, m.endKiB - m.startKiB,
                m.peakKiB);
    std::printf("\n");
}

// One client's requests per second of the same member; NaN if not run.
double aloneFor(const std::vector<LoadRun>& runs, const std::string& member)
{
    for (const LoadRun& run : runs)
        if (run.load.clients == 1 && member == run.load.member)
            return run.row.perSecond;
    return NAN;
}

// One client: its latency. Several: whether they get more done together
// than one alone (the mount's lock and the server's threads let them).
void loadVerdict(const std::vector<LoadRun>& runs, const LoadRun& run)
{
    const Row& row = run.row;
    if (run.load.clients == 1) {
        verdict(row.name + " " + ms(row.spread.median) + " at the median", "goal <= 1 ms",
                row.spread.median <= kNoExchangeGoalMs);
        return;
    }
    const double alone = aloneFor(runs, run.load.member);
    char figure[160];
    std::snprintf(figure, sizeof figure, "%s %.0f requests/s, p99 %s", row.name.c_str(), row.perSecond,
                  ms(row.spread.p99).c_str());
    char goal[96];
    std::snprintf(goal, sizeof goal, "goal >= 1 client's %.0f requests/s", alone);
    verdict(figure, goal, row.perSecond >= alone);
}

// Prints the verdicts; true when the failing goal holds.
bool printVerdicts(const Results& results, const Spread& http, const Spread& direct)
{
    for (const LoadRun& run : results.load)
        loadVerdict(results.load, run);
    floorVerdict("answered exchange over HTTP", http);
    floorVerdict("answered exchange by the core directly", direct);
    const double overhead = http.median - direct.median;
    const bool overheadHolds = overhead <= kOverheadGoalMs;
    verdict("HTTP overhead of an answered exchange " + ms(overhead, 2) + " at the median",
            "goal <= 1 ms, the one failing goal", overheadHolds);
    const StatusPages& pages = results.status;
    char pagesFigure[200];
    std::snprintf(pagesFigure, sizeof pagesFigure,
                  "%d status pages at 1 Hz for %d s: %.2f%% of one core, %zu exchanges, %d of %d answered",
                  kStatusPages, kStatusSeconds, pages.cpuPercent, pages.exchanges, pages.answered,
                  pages.answered + pages.failed);
    verdict(pagesFigure, "goal < 1% of one core and no exchange",
            pages.cpuPercent < kStatusCpuGoalPercent && pages.exchanges == 0 && pages.failed == 0);
    const Memory& m = results.memory;
    char figure[160];
    std::snprintf(figure, sizeof figure, "server memory %.0f KiB at the start, %.0f KiB at the end (%+.0f KiB)",
                  m.startKiB, m.endKiB, m.endKiB - m.startKiB);
    verdict(figure, "goal: growth <= 1024 KiB over the run", m.endKiB - m.startKiB <= kGrowthGoalKiB);
    return overheadHolds;
}

// ---- The run ----------------------------------------------------------------

struct Options {
    std::string server;
    std::string simulator;
    int seconds = kDefaultSeconds;
};

constexpr const char* kUsage = "usage: velmaro-alpaca-bench --server PATH --simulator PATH [--seconds N]\n"
                               "  --server PATH     the velmaro-alpaca program to measure\n"
                               "  --simulator PATH  the velmaro-mountsim program for its mounts\n"
                               "  --seconds N       how long each no-exchange figure runs, 1 to 600 (default 3)\n";

bool readSeconds(const char* text, int& seconds)
{
    int value = 0;
    if (*text == 0)
        return false;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + (*c - '0');
        if (value > kLongestSeconds)
            return false;
    }
    seconds = value;
    return seconds >= 1;
}

bool readOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (name == "--server")
            options.server = value;
        else if (name == "--simulator")
            options.simulator = value;
        else if (name != "--seconds" || !readSeconds(value, options.seconds))
            return false;
    }
    return !options.server.empty() && !options.simulator.empty();
}

bool isProgram(const std::string& path, const char* what)
{
    if (access(path.c_str(), X_OK) == 0)
        return true;
    std::fprintf(stderr, "%s: the %s %s is not an executable program\n", kProgram, what, path.c_str());
    return false;
}

bool makeScratchFolder()
{
    char pattern[] = "/tmp/velmaro-alpaca-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        say(std::string("cannot make a scratch folder: ") + std::strerror(errno));
        return false;
    }
    scratchFolder = pattern;
    return true;
}

// The server on a free port, answering; -1 when it did not come up.
pid_t startServer(const Options& options, const Simulator& mount, int& port)
{
    const std::string log = scratchFolder + "/server.log";
    std::string ended;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freeLoopbackPort();
        if (port == 0)
            break;
        // No reads of the server's own: every command the mount gets is
        // one the bench asked for, and is counted.
        const pid_t pid = children.start("server", {options.server, "--serial", mount.link, "--http-port",
                                                    std::to_string(port), "--discovery-port", "0", "--config",
                                                    scratchFolder + "/alpaca.conf", "--fresh-ms", "0"},
                                         log);
        if (pid > 0 && waitUntilAnswering(port, pid, 10000))
            return pid;
        ended = children.endedWith(pid);
        // The free port may have been taken in between: try another.
        if (ended.empty() || readFile(log).find("cannot serve HTTP") == std::string::npos)
            break;
    }
    say("the server did not answer HTTP" + (ended.empty() ? "" : " (it ended with " + ended + ")") +
        "; its log ends:\n" + lastLines(readFile(log), 10));
    return -1;
}

bool connectBoth(HttpClient& http, Mount& mount)
{
    Outcome direct = Outcome::success();
    std::thread core([&] { direct = mount.setConnected(true); });
    const httplib::Result answer = http.put("connected", "Connected=true");
    core.join();
    bool connected = true;
    if (!succeeded(answer)) {
        say("the server did not connect to its mount: " + whyFailed(answer));
        connected = false;
    }
    if (!direct.isSuccess()) {
        say("the core did not connect to its mount: " + direct.text());
        connected = false;
    }
    return connected;
}

// The rows of members that need no exchange; false when a request failed
// or the server sent the mount anything for them.
bool measureNoExchangeRows(int port, int seconds, const Simulator& serverMount, Results& results)
{
    bool faithful = true;
    const std::size_t sentBefore = countAllReceived(serverMount);
    for (const Load& load : kLoads) {
        LoadRun run = measureNoExchange(port, load, seconds);
        if (run.failures > 0) {
            say(run.row.name + ": " + std::to_string(run.failures) + " requests failed, the first: " +
                run.firstFailure);
            faithful = false;
        }
        results.load.push_back(std::move(run));
    }
    if (const std::size_t sent = countAllReceived(serverMount) - sentBefore; sent != 0) {
        say("the server sent " + std::to_string(sent) + " commands to the mount for members that need none");
        faithful = false;
    }
    return faithful;
}

// The answered exchange both ways; false when one failed, or when a call
// did not make exactly one exchange (an answer kept aside or a retry would
// hide in the figure).
bool measureExchangeRows(HttpClient& http, Mount& mount, const Simulator& serverMount,
                         const Simulator& directMount, Results& results)
{
    const std::size_t httpBefore = countReceived(serverMount, ":GR#");
    const std::size_t directBefore = countReceived(directMount, ":GR#");
    results.exchange = measureAnsweredExchange(http, mount);
    bool faithful = results.exchange.faults.empty();
    for (const std::string& fault : results.exchange.faults)
        say(fault);
    const std::size_t expected = kWarmUpExchanges + kExchanges;
    const std::size_t httpSent = countReceived(serverMount, ":GR#") - httpBefore;
    const std::size_t directSent = countReceived(directMount, ":GR#") - directBefore;
    if (httpSent != expected || directSent != expected) {
        say("RightAscension sent :GR# " + std::to_string(httpSent) + " times through the server and " +
            std::to_string(directSent) + " times by the core, for " + std::to_string(expected) + " calls each");
        faithful = false;
    }
    return faithful;
}

// kStatusPages pages, each asking for the status once a second, as the
// page does: what it costs the server's processor and the mount's link.
StatusPages measureStatusPages(int port, pid_t server, const Simulator& serverMount)
{
    StatusPages pages;
    std::mutex counted;
    const std::size_t sentBefore = countAllReceived(serverMount);
    const double cpuBefore = cpuSeconds(server);
    const auto began = std::chrono::steady_clock::now();
    std::vector<std::thread> open;
    for (int page = 0; page < kStatusPages; ++page)
        open.emplace_back([&, page] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            // The pages do not ask in step.
            sleepMs(page * 1000 / kStatusPages);
            for (int second = 0; second < kStatusSeconds; ++second) {
                const auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                const httplib::Result answer = client.Get("/status/v1/telescope/0");
                {
                    std::lock_guard<std::mutex> lock(counted);
                    (answer && answer->status == 200 ? pages.answered : pages.failed)++;
                }
                std::this_thread::sleep_until(next);
            }
        });
    for (std::thread& page : open)
        page.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    pages.cpuPercent = (cpuSeconds(server) - cpuBefore) / elapsed * 100.0;
    pages.exchanges = countAllReceived(serverMount) - sentBefore;
    return pages;
}

// Measures everything; false (having said why) when a figure could not be
// measured faithfully.
bool run(const Options& options, Results& results)
{
    Simulator serverMount, directMount;
    if (!startSimulator(options.simulator, "server's mount", "server-mount", serverMount) ||
        !startSimulator(options.simulator, "core's mount", "core-mount", directMount))
        return false;
    int port = 0;
    const pid_t server = startServer(options, serverMount, port);
    if (server < 0)
        return false;
    results.memory.startKiB = memoryKiB(server, "VmRSS");

    say("connecting the server and the core to their mounts...");
    HttpClient http(port, 1);
    DirectSettings settings(directMount.link);
    Mount mount(std::make_shared<MountState>(), settings);
    if (!connectBoth(http, mount))
        return false;
    results.memory.connectedKiB = memoryKiB(server, "VmRSS");

    say("requests that need no exchange, " + std::to_string(options.seconds) + " s each...");
    bool faithful = measureNoExchangeRows(port, options.seconds, serverMount, results);
    say(std::to_string(kStatusPages) + " open status pages, " + std::to_string(kStatusSeconds) + " s...");
    results.status = measureStatusPages(port, server, serverMount);
    say("answered exchanges, over HTTP and by the core in turn...");
    faithful = measureExchangeRows(http, mount, serverMount, directMount, results) && faithful;
    mount.setConnected(false);

    results.memory.endKiB = memoryKiB(server, "VmRSS");
    results.memory.peakKiB = memoryKiB(server, "VmHWM");
    if (const std::string ended = children.endedWith(server); !ended.empty()) {
        say("the server ended during the run with " + ended + "; its log ends:\n" +
            lastLines(readFile(scratchFolder + "/server.log"), 10));
        faithful = false;
    }
    return faithful;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!readOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!isProgram(options.server, "server") || !isProgram(options.simulator, "simulator"))
        return 2;
    watchForStopSignals();
    // A client whose connection the server ended must not die of the write.
    signal(SIGPIPE, SIG_IGN);

    std::printf("%s: %u cores, %s, load average %s; server %s\n", kProgram, std::thread::hardware_concurrency(),
                cpuModel().c_str(), loadAverage().c_str(), options.server.c_str());
    std::fflush(stdout);
    if (!makeScratchFolder())
        return 1;
    Results results;
    const bool faithful = run(options, results);
    const std::string loadAtEnd = loadAverage();
    stopEverything();
    if (!faithful) {
        say("the figures could not be measured faithfully (above); no verdicts");
        return 1;
    }

    const Spread http = spreadOf(results.exchange.http);
    const Spread direct = spreadOf(results.exchange.direct);
    printTable(results, http, direct);
    const bool holds = printVerdicts(results, http, direct);
    say("load average at the end " + loadAtEnd + (holds ? "; the failing goal holds: exit 0"
                                                        : "; HTTP overhead above 1 ms at the median: exit 1"));
    return holds ? 0 : 1;
}

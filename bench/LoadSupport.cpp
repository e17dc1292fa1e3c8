#include "LoadSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

constexpr int kDefaultMinutes = 2;
constexpr int kLongestSeconds = 3600;
constexpr int kShortestSeconds = 20;
// The night's outages need room: three of 10 s, and time between them.
constexpr int kShortestNightSeconds = 60;

std::mutex cleanupMutex;

} // namespace

void say(const std::string& text)
{
    std::printf("%s: %s\n", kProgram, text.c_str());
    std::fflush(stdout);
}

// ---- The command line -------------------------------------------------------

const char* const kUsage =
    "usage: velmaro-alpaca-load --server PATH --simulator PATH [--profile default|night] [--minutes N | --seconds N]\n"
    "  --server PATH     the velmaro-alpaca program to load\n"
    "  --simulator PATH  the velmaro-mountsim program for its mount\n"
    "  --profile NAME    default: 27 clients at once; night: three programs through a night\n"
    "                    in which the mount's device goes away twice and the mount falls silent once\n"
    "  --minutes N       how long the full load (or the night) runs, 1 to 60 (default 2)\n"
    "  --seconds N       the same in seconds, 20 to 3600 (the night: 60 or more), for a short try\n"
    "  --keep            keep the scratch folder (the logs and the mount's transcript)\n";

namespace {

bool readWhole(const char* text, int lowest, int highest, int& value)
{
    long result = 0;
    if (*text == 0)
        return false;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        result = result * 10 + (*c - '0');
        if (result > highest)
            return false;
    }
    value = int(result);
    return value >= lowest;
}

bool readProfile(const std::string& name, Profile& profile)
{
    if (name == "default")
        profile = Profile::Default;
    else if (name == "night")
        profile = Profile::Night;
    else
        return false;
    return true;
}

} // namespace

bool readOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (name == "--keep") {
            keepScratchFolder = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        int number = 0;
        if (name == "--server")
            options.server = value;
        else if (name == "--simulator")
            options.simulator = value;
        else if (name == "--minutes" && readWhole(value, 1, kLongestSeconds / 60, number))
            options.seconds = number * 60;
        else if (name == "--seconds" && readWhole(value, kShortestSeconds, kLongestSeconds, number))
            options.seconds = number;
        else if (name == "--profile" && readProfile(value, options.profile))
            continue;
        else
            return false;
    }
    if (options.seconds == 0)
        options.seconds = kDefaultMinutes * 60;
    if (options.profile == Profile::Night && options.seconds < kShortestNightSeconds)
        return false;
    return !options.server.empty() && !options.simulator.empty();
}

bool isProgram(const std::string& path, const char* what)
{
    if (access(path.c_str(), X_OK) == 0)
        return true;
    std::fprintf(stderr, "%s: the %s %s is not an executable program\n", kProgram, what, path.c_str());
    return false;
}

// ---- The programs started, and the scratch folder ---------------------------

Children children;
std::string scratchFolder;
bool keepScratchFolder = false;
std::string keptFilesNote = "server.log, mount.log, mount-transcript";
bool simulatorRealTime = false;

bool makeScratchFolder()
{
    char pattern[] = "/tmp/velmaro-alpaca-load-XXXXXX";
    if (!mkdtemp(pattern)) {
        say(std::string("cannot make a scratch folder: ") + std::strerror(errno));
        return false;
    }
    scratchFolder = pattern;
    return true;
}

// A program that did not end by the SIGTERM it was sent (or ended by itself
// otherwise) is named.
void stopEverything()
{
    std::lock_guard<std::mutex> lock(cleanupMutex);
    for (const auto& [name, status] : children.stopAll()) {
        const bool endedBySigterm = WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        const bool endedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!endedBySigterm && !endedCleanly)
            say("note: the " + name + " ended with " + describeStatus(status));
    }
    if (!scratchFolder.empty() && keepScratchFolder) {
        say("kept " + scratchFolder + " (" + keptFilesNote + ")");
    } else if (!scratchFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratchFolder, ignored);
    }
    scratchFolder.clear();
}

void watchForStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    // Started in the background by a script, it may have inherited these
    // as ignored, and an ignored signal never reaches sigwait.
    for (int stopSignal : {SIGINT, SIGTERM, SIGHUP})
        signal(stopSignal, SIG_DFL);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        int signal = 0;
        if (sigwait(&set, &signal) != 0)
            return;
        say(std::string("stopped by ") + strsignal(signal) + "; stopping the server and the mount");
        stopEverything();
        _exit(1);
    }).detach();
}

bool startSimulator(const std::string& program, Simulator& simulator)
{
    const std::string stem = scratchFolder + "/mount";
    simulator.link = stem + "-link";
    simulator.transcript = stem + "-transcript";
    // Each start's log of its own: the first is mount.log, then mount-2.log...
    const std::string log = stem + (simulator.starts > 0 ? "-" + std::to_string(simulator.starts + 1) : "") + ".log";
    ++simulator.starts;
    simulator.pid = children.start("mount", {program, "--model", std::to_string(kSimulatorModel), "--pace", "--link",
                                             simulator.link, "--transcript", simulator.transcript},
                                   log);
    if (simulator.pid > 0 && waitForPath(simulator.link, 5000)) {
        // A mount has a processor of its own: the simulated one is not to
        // wait for the load's threads, or its receipts (the stamps) would
        // come late and bunched.
        sched_param priority{};
        priority.sched_priority = 10;
        simulatorRealTime = sched_setscheduler(simulator.pid, SCHED_FIFO, &priority) == 0;
        return true;
    }
    const std::string ended = children.endedWith(simulator.pid);
    say("the simulated mount did not offer its link " + simulator.link + (ended.empty() ? "" : " (" + ended + ")") +
        "; its log ends:\n" + lastLines(readFile(log), 5));
    return false;
}

pid_t startServer(const std::string& program, const Simulator& mount, const std::vector<std::string>& extra,
                  int& port)
{
    const std::string log = scratchFolder + "/server.log";
    std::string ended;
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = freeLoopbackPort();
        if (port == 0)
            break;
        std::vector<std::string> words = {program,         "--serial",         mount.link,
                                          "--listen",      "127.0.0.1",        "--http-port",
                                          std::to_string(port), "--discovery-port", "0",
                                          "--config",      scratchFolder + "/alpaca.conf"};
        words.insert(words.end(), extra.begin(), extra.end());
        const pid_t pid = children.start("server", words, log);
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

// ---- A file's lines, time-stamped as they appear -----------------------------

bool LineWatch::start(const std::string& path)
{
    file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (file < 0 || notify < 0 || inotify_add_watch(notify, path.c_str(), IN_MODIFY) < 0) {
        say("cannot watch " + path + ": " + std::strerror(errno));
        return false;
    }
    watcher = std::thread([this] { watch(); });
    // Ahead of the load's threads, so that a stamp is not late by their
    // turns on the processor; it mostly sleeps in poll. Without the right
    // to it, stamps are taken at the usual priority.
    sched_param priority{};
    priority.sched_priority = 10;
    realTime = pthread_setschedparam(watcher.native_handle(), SCHED_FIFO, &priority) == 0;
    return true;
}

LineWatch::~LineWatch()
{
    stop = true;
    if (watcher.joinable())
        watcher.join();
    if (file >= 0)
        ::close(file);
    if (notify >= 0)
        ::close(notify);
}

std::vector<LineWatch::Line> LineWatch::between(Steady::time_point from, Steady::time_point to)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Line> found;
    for (const Line& line : lines)
        if (line.at >= from && line.at < to)
            found.push_back(line);
    return found;
}

void LineWatch::save(const std::string& path, Steady::time_point origin)
{
    std::lock_guard<std::mutex> lock(mutex);
    std::ofstream out(path);
    char stamp[32];
    for (const Line& line : lines) {
        std::snprintf(stamp, sizeof stamp, "%10.3f ", msBetween(origin, line.at));
        out << stamp << line.text << '\n';
    }
}

std::optional<Steady::time_point> LineWatch::firstAfter(const std::string& text, Steady::time_point from, int within)
{
    const Steady::time_point limit = from + std::chrono::milliseconds(within);
    std::lock_guard<std::mutex> lock(mutex);
    for (const Line& line : lines)
        if (line.at >= from && line.at <= limit && line.text == text)
            return line.at;
    return std::nullopt;
}

void LineWatch::watch()
{
    std::string partial;
    char events[4096];
    while (!stop) {
        pollfd ready{notify, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        // Every event says the same: the file grew.
        while (::read(notify, events, sizeof events) > 0) {
        }
        readNewLines(partial);
    }
}

void LineWatch::readNewLines(std::string& partial)
{
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file, buffer, sizeof buffer);
        if (n <= 0)
            return;
        const Steady::time_point now = Steady::now();
        partial.append(buffer, std::size_t(n));
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos;) {
            lines.push_back({now, partial.substr(0, end)});
            partial.erase(0, end + 1);
        }
    }
}

// ---- HTTP -------------------------------------------------------------------

HttpClient::HttpClient(int port, int id) : client("127.0.0.1", port), clientId(id)
{
    client.set_keep_alive(true);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(kReadTimeoutSeconds, 0);
    client.set_socket_options([this](socket_t) { ++connections; });
}

std::string HttpClient::query(const std::string& member)
{
    return kTelescope + member + "?ClientID=" + std::to_string(clientId) +
           "&ClientTransactionID=" + std::to_string(++transaction);
}

httplib::Result HttpClient::put(const std::string& member, const std::string& form)
{
    const std::string body = (form.empty() ? "" : form + "&") + "ClientID=" + std::to_string(clientId) +
                             "&ClientTransactionID=" + std::to_string(++transaction);
    return client.Put(kTelescope + member, body, "application/x-www-form-urlencoded");
}

long errorNumberOf(const std::string& body)
{
    const std::string key = "\"ErrorNumber\":";
    const std::size_t at = body.find(key);
    if (at == std::string::npos)
        return -1;
    char* end = nullptr;
    const char* start = body.c_str() + at + key.size();
    const long number = std::strtol(start, &end, 10);
    return end == start ? -1 : number;
}

std::string valueText(const std::string& body)
{
    const std::string key = "\"Value\":";
    const std::size_t at = body.find(key);
    if (at == std::string::npos)
        return "";
    const std::size_t from = at + key.size();
    return body.substr(from, body.find_first_of(",}", from) - from);
}

std::string errorMessageOf(const std::string& body)
{
    const std::string key = "\"ErrorMessage\":\"";
    const std::size_t at = body.find(key);
    if (at == std::string::npos)
        return "";
    const std::size_t from = at + key.size();
    std::size_t to = from;
    while (to < body.size() && body[to] != '"')
        to += body[to] == '\\' ? 2 : 1;
    return body.substr(from, std::min(to, body.size()) - from);
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

Spread spreadOf(std::vector<double> samples)
{
    Spread spread;
    spread.count = samples.size();
    if (samples.empty())
        return spread;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    spread.max = samples.back();
    spread.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
    const std::size_t rank = std::size_t(std::ceil(0.99 * double(n)));
    spread.p99 = samples[std::clamp<std::size_t>(rank, 1, n) - 1];
    return spread;
}

int measureAndJudge(const char* what, const std::function<bool()>& measure,
                    const std::function<std::vector<std::string>()>& report)
{
    bool measured = false;
    try {
        measured = measure();
    } catch (const std::exception& error) {
        say(std::string("the ") + what + " failed: " + error.what());
    }
    const std::string loadAtEnd = loadAverage();
    stopEverything();
    if (!measured) {
        say("the figures could not be measured (above); no verdicts: exit 1");
        return 1;
    }
    const std::vector<std::string> missed = report();
    std::string summary = "load average at the end " + loadAtEnd;
    if (missed.empty()) {
        say(summary + "; every goal holds: exit 0");
        return 0;
    }
    summary += "; missed:";
    for (std::size_t i = 0; i < missed.size(); ++i)
        summary += (i ? ", " : " ") + missed[i];
    say(summary + ": exit 1");
    return 1;
}

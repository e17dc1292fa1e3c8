// velmaro-alpaca-load: the Alpaca server under many clients at once, for
// `make load` (not a test, not part of make check).
//
// It starts one simulated model 3 mount (replies paced at 9600 baud, every
// command it receives in a transcript) and the server on a free loopback
// port with a config of its own and a client time-out of 5 s. First one
// polling client alone, for the baseline of its round of 12 reads, and a
// few slews aborted with nobody else about. Then, at once: 20 clients
// polling 12 members once a second, 5 polling DeviceState four times a
// second, one slewing and aborting, one pulse-guiding, and now and then a
// client that connects, reads a little and falls silent, which the server
// must forget. Every request is timed; every command the mount receives is
// time-stamped here as the simulator appends it to its transcript, which
// gives the exchanges per second and when each abort reached the mount
// (the simulator and the thread taking the stamps run at real-time
// priority where allowed, as a mount has a processor of its own).
// The figures end in one verdict line per goal; exit status 1 when a goal
// is missed or the figures could not be measured, 2 for a bad command line.
// Whatever it started is stopped on every way out.
//
// That is the default profile; --profile night is alpaca_night.cpp. What
// both use (the command line, the programs started and the scratch folder,
// the stamped transcript, the HTTP client) is in LoadSupport.
#include "LoadSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <latch>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {


// The load.
constexpr int kPollingClients = 20;
constexpr int kDeviceStateClients = 5;
constexpr int kFirstDeviceStateClient = 21;
constexpr int kSlewingClient = 26;
constexpr int kGuidingClient = 27;
constexpr int kFirstVanishingClient = 101;
constexpr int kRoundPeriodMs = 1000;
constexpr int kDeviceStatePeriodMs = 250;
constexpr int kSlewPeriodMs = 3000;
// How long a slew runs before it is aborted: the mount is still moving.
constexpr int kSlewBeforeAbortMs = 500;
constexpr int kGuidePeriodMs = 2000;
constexpr int kGuideDurationMs = 200;
constexpr int kVanishPeriodMs = 10000;
constexpr int kVanishingReads = 3;
// Between one client's start and the next's.
constexpr int kStaggerMs = 20;
// The server's --client-timeout, and how long after a vanished client's
// last answer it is looked at again: the time-out, the server's one-second
// look at silent clients, and a margin.
constexpr int kClientTimeoutSeconds = 5;
constexpr int kForgottenByMs = kClientTimeoutSeconds * 1000 + 2500;
// Nearby: the slew target is this far from where the mount started.
constexpr double kSlewOffsetHours = 0.1;
constexpr double kSlewOffsetDegrees = 1.5;

// The baseline, before the full load.
constexpr int kAloneWarmUpRounds = 2;
constexpr int kAloneRounds = 10;
// Under the load: each client's rounds left out before its figures count.
constexpr int kLoadWarmUpRounds = 1;
constexpr int kAloneAborts = 3;

// The link: the pause before every read, and a byte at 9600 baud 8N1.
constexpr double kPauseMs = 50.0;
constexpr double kByteMs = 10.0 * 1000.0 / 9600.0;

// The goals.
constexpr double kRoundGoalFactor = 2.0;
constexpr double kAbortGoalMs = 60.0;
constexpr double kGrowthGoalKiB = 1024.0;

// Examples of each kind of error shown in the report.
constexpr std::size_t kExamplesShown = 3;

const char* const kPolledMembers[] = {
    "rightascension", "declination", "altitude",    "azimuth",    "siderealtime",         "tracking",
    "atpark",         "athome",      "sideofpier", "trackingrate", "guideratedeclination", "sitelatitude",
};
constexpr std::size_t kPolledCount = sizeof kPolledMembers / sizeof kPolledMembers[0];


// What an answer should be: a success, or the refusal the load provokes.
enum class Expect { Success, NotConnected };

// ---- What the clients saw ---------------------------------------------------

struct Fault {
    std::size_t count = 0;
    std::vector<std::string> examples;
};

// One thread's figures, merged once every thread has ended.
struct Record {
    std::map<std::string, std::vector<double>> latency;  // by kind of request, ms
    std::map<int, std::vector<double>> rounds;           // by polling client, ms
    std::vector<std::pair<Steady::time_point, double>> roundsBegun; // every counted round: its start, ms
    std::vector<double> abortHttp;                       // AbortSlew's request to answer, ms
    std::vector<double> abortToMount;                    // AbortSlew's request to ":Q#" at the mount, ms
    std::size_t abortsUnseen = 0;                        // no ":Q#" found for the abort
    std::size_t slewsFailed = 0;                         // not started, so not aborted
    std::size_t spoiledRounds = 0;                       // rounds with an error in them
    std::map<std::string, Fault> faults;                 // by kind of error
    std::size_t requests = 0;                            // answered over HTTP, whatever the answer
    std::size_t requestsBeforeLoad = 0;                  // of them, the connects before the load began
    std::size_t intendedRefusals = 0;
    std::size_t vanished = 0, forgotten = 0;
    int connections = 0;

    void fault(const std::string& kind, const std::string& example)
    {
        Fault& found = faults[kind];
        if (found.count++ < kExamplesShown)
            found.examples.push_back(example);
    }

    void merge(Record&& other)
    {
        for (auto& [kind, samples] : other.latency)
            latency[kind].insert(latency[kind].end(), samples.begin(), samples.end());
        for (auto& [client, samples] : other.rounds)
            rounds[client].insert(rounds[client].end(), samples.begin(), samples.end());
        roundsBegun.insert(roundsBegun.end(), other.roundsBegun.begin(), other.roundsBegun.end());
        abortHttp.insert(abortHttp.end(), other.abortHttp.begin(), other.abortHttp.end());
        abortToMount.insert(abortToMount.end(), other.abortToMount.begin(), other.abortToMount.end());
        abortsUnseen += other.abortsUnseen;
        slewsFailed += other.slewsFailed;
        spoiledRounds += other.spoiledRounds;
        for (auto& [kind, found] : other.faults) {
            Fault& mine = faults[kind];
            mine.count += found.count;
            for (std::string& example : found.examples)
                if (mine.examples.size() < kExamplesShown)
                    mine.examples.push_back(std::move(example));
        }
        requests += other.requests;
        requestsBeforeLoad += other.requestsBeforeLoad;
        intendedRefusals += other.intendedRefusals;
        vanished += other.vanished;
        forgotten += other.forgotten;
        connections += other.connections;
    }

    std::size_t faultCount() const
    {
        std::size_t count = 0;
        for (const auto& [kind, found] : faults)
            count += found.count;
        return count;
    }
};

struct Answer {
    bool ok = false;  // as expected
    std::string body;
    Steady::time_point sent, answered;
    double ms() const { return msBetween(sent, answered); }
};

// One request, timed under `kind`, its answer judged against `expect`.
Answer ask(HttpClient& http, Record& record, const std::string& kind, const std::string& member,
           const std::optional<std::string>& form = std::nullopt, Expect expect = Expect::Success)
{
    Answer answer;
    answer.sent = Steady::now();
    const httplib::Result result = form ? http.put(member, *form) : http.get(member);
    answer.answered = Steady::now();
    const std::string who = "client " + std::to_string(http.clientId) + ", " + kind;
    if (!result) {
        record.fault("transport failure", who + ": " + httplib::to_string(result.error()) + " after " +
                                              std::to_string(long(answer.ms())) + " ms");
        return answer;
    }
    ++record.requests;
    record.latency[kind].push_back(answer.ms());
    answer.body = result->body;
    if (result->status != 200) {
        record.fault("HTTP " + std::to_string(result->status), who + ": " + answer.body.substr(0, 160));
        return answer;
    }
    const long number = errorNumberOf(answer.body);
    if (number < 0) {
        record.fault("an answer without ErrorNumber", who + ": " + answer.body.substr(0, 160));
        return answer;
    }
    if (expect == Expect::NotConnected && number == kNotConnected) {
        ++record.intendedRefusals;
        answer.ok = true;
        return answer;
    }
    if (number != 0) {
        char kindName[48];
        std::snprintf(kindName, sizeof kindName, "ErrorNumber 0x%lX", number);
        record.fault(kindName, who + ": " + answer.body.substr(0, 160));
        return answer;
    }
    if (expect == Expect::NotConnected) {
        record.fault("a vanished client still served", who + ": " + answer.body.substr(0, 160));
        return answer;
    }
    answer.ok = true;
    return answer;
}

bool connectClient(HttpClient& http, Record& record)
{
    return ask(http, record, "PUT Connected", "connected", "Connected=true").ok;
}


// ---- The clients ------------------------------------------------------------


std::string kindOf(const char* member)
{
    return std::string("GET ") + member;
}

// The 12 reads in a row; true, with its duration, when every read was
// answered and the load did not end in the middle of it. A round cut short
// is no round; one with a refusal in it is counted apart, since refusals
// come back at once.
bool pollRound(HttpClient& http, Record& record, StopFlag& stop, double& tookMs,
               Steady::time_point* began = nullptr)
{
    const Steady::time_point start = Steady::now();
    if (began)
        *began = start;
    bool whole = true;
    for (const char* member : kPolledMembers) {
        if (stop.isRaised())
            return false;
        whole = ask(http, record, kindOf(member), member).ok && whole;
    }
    tookMs = msBetween(start, Steady::now());
    if (!whole)
        ++record.spoiledRounds;
    return whole;
}


// Connected before the load starts (ready), the work once it does (go).
// The clients come one after the other, `order` steps apart, as programs
// started on their own would: their connections all at once would only
// measure the server's listen backlog.
struct Start {
    std::latch& ready;
    std::latch& go;
    int order;

    // A client waiting for the others holds no thread of the server's:
    // its kept connection is closed meanwhile.
    void connectAndWait(HttpClient& http, Record& record) const
    {
        sleepMs(order * kStaggerMs);
        connectClient(http, record);
        record.requestsBeforeLoad = record.requests;
        http.client.stop();
        ready.count_down();
        go.wait();
        sleepMs(order * kStaggerMs);
    }
};

void pollingClient(int port, int clientId, Start start, StopFlag& stop, Record& record)
{
    HttpClient http(port, clientId);
    start.connectAndWait(http, record);
    // The first round, begun as every client starts at once, is the
    // client's warm-up, as the rounds before the baseline are.
    int round = 0;
    everyPeriod(stop, kRoundPeriodMs, [&] {
        double took = 0;
        Steady::time_point began;
        if (pollRound(http, record, stop, took, &began) && round++ >= kLoadWarmUpRounds) {
            record.rounds[clientId].push_back(took);
            record.roundsBegun.emplace_back(began, took);
        }
    });
    record.connections = http.connections;
}

// How many named values an answer holds.
std::size_t namesIn(const std::string& body)
{
    std::size_t count = 0;
    for (std::size_t at = body.find("\"Name\":"); at != std::string::npos; at = body.find("\"Name\":", at + 1))
        ++count;
    return count;
}

// DeviceState leaves out a reading it could not take, without an error:
// for a connected client every one of them is expected, and the time.
constexpr std::size_t kDeviceStateValues = 13;

void deviceStateClient(int port, int clientId, Start start, StopFlag& stop, Record& record)
{
    HttpClient http(port, clientId);
    start.connectAndWait(http, record);
    everyPeriod(stop, kDeviceStatePeriodMs, [&] {
        const Answer answer = ask(http, record, "GET DeviceState", "devicestate");
        if (answer.ok && namesIn(answer.body) < kDeviceStateValues)
            record.fault("DeviceState without all its readings",
                         "client " + std::to_string(clientId) + ": " + answer.body.substr(0, 160));
    });
    record.connections = http.connections;
}

// Where the slews go: between the mount's position at the start and a
// point nearby, alternately.
struct SlewTargets {
    double rightAscension = NAN, declination = NAN;
    bool known() const { return !std::isnan(rightAscension) && !std::isnan(declination); }
    std::string form(int slew) const
    {
        const bool away = slew % 2 == 0;
        double hours = rightAscension + (away ? kSlewOffsetHours : 0.0);
        hours = std::fmod(hours + 24.0, 24.0);
        const double degrees = declination + (away ? kSlewOffsetDegrees : 0.0);
        char text[96];
        std::snprintf(text, sizeof text, "RightAscension=%.6f&Declination=%.6f", hours, degrees);
        return text;
    }
};

SlewTargets readPosition(HttpClient& http, Record& record)
{
    SlewTargets targets;
    const Answer ra = ask(http, record, "GET RightAscension (slewer)", "rightascension");
    const Answer dec = ask(http, record, "GET Declination (slewer)", "declination");
    if (ra.ok && dec.ok) {
        targets.rightAscension = std::strtod(valueText(ra.body).c_str(), nullptr);
        targets.declination = std::strtod(valueText(dec.body).c_str(), nullptr);
    }
    return targets;
}

// A slew, and its abort while the mount still moves: the abort timed to
// its answer and to its ":Q#" reaching the mount.
void slewAndAbort(HttpClient& http, Record& record, LineWatch& transcript, const SlewTargets& targets,
                  int slew)
{
    if (!ask(http, record, "PUT SlewToCoordinatesAsync", "slewtocoordinatesasync", targets.form(slew)).ok) {
        ++record.slewsFailed;
        return;
    }
    sleepMs(kSlewBeforeAbortMs);
    const Answer abort = ask(http, record, "PUT AbortSlew", "abortslew", std::string());
    if (!abort.ok)
        return;
    record.abortHttp.push_back(abort.ms());
    // The stamp may land a little after the answer: the watcher's wake-up.
    const int within = int(abort.ms()) + 200;
    if (const auto atMount = transcript.firstAfter(":Q#", abort.sent, within))
        record.abortToMount.push_back(msBetween(abort.sent, *atMount));
    else
        ++record.abortsUnseen;
}

void slewingClient(int port, Start start, StopFlag& stop, LineWatch& transcript, const SlewTargets& targets,
                   Record& record)
{
    HttpClient http(port, kSlewingClient);
    start.connectAndWait(http, record);
    int slew = 0;
    everyPeriod(stop, kSlewPeriodMs, [&] { slewAndAbort(http, record, transcript, targets, slew++); });
    record.connections = http.connections;
}

void guidingClient(int port, Start start, StopFlag& stop, Record& record)
{
    HttpClient http(port, kGuidingClient);
    start.connectAndWait(http, record);
    int pulse = 0;
    everyPeriod(stop, kGuidePeriodMs, [&] {
        const std::string form = "Direction=" + std::to_string(pulse++ % 4) +
                                 "&Duration=" + std::to_string(kGuideDurationMs);
        ask(http, record, "PUT PulseGuide", "pulseguide", form);
    });
    record.connections = http.connections;
}

// Connects, reads a little, falls silent; once the time-out has passed it
// must count as not connected, and a read of the mount is refused.
void vanishingClient(int port, int clientId, Record& record)
{
    HttpClient http(port, clientId);
    ++record.vanished;
    if (!connectClient(http, record))
        return;
    Steady::time_point lastAnswer = Steady::now();
    for (int read = 0; read < kVanishingReads; ++read)
        lastAnswer = ask(http, record, "GET (vanishing client)", kPolledMembers[read]).answered;
    std::this_thread::sleep_until(lastAnswer + std::chrono::milliseconds(kForgottenByMs));
    const Answer connected = ask(http, record, "GET Connected (vanished client)", "connected");
    const bool saysDisconnected = connected.ok && valueText(connected.body) == "false";
    if (connected.ok && !saysDisconnected)
        record.fault("a vanished client still counted as connected",
                     "client " + std::to_string(clientId) + ": " + connected.body.substr(0, 160));
    const Answer refused =
        ask(http, record, "GET RightAscension (vanished client)", "rightascension", std::nullopt, Expect::NotConnected);
    if (saysDisconnected && refused.ok)
        ++record.forgotten;
    record.connections = http.connections;
}

// A vanishing client every period while the load lasts, and long enough
// before its end that the client is looked at again under the load.
void vanishingClients(int port, StopFlag& stop, Steady::time_point loadEnd, Record& record)
{
    std::deque<Record> records;
    std::vector<std::thread> clients;
    int clientId = kFirstVanishingClient;
    everyPeriod(stop, kVanishPeriodMs, [&] {
        if (Steady::now() + std::chrono::milliseconds(kForgottenByMs + 5000) > loadEnd)
            return;
        Record& mine = records.emplace_back();
        clients.emplace_back(vanishingClient, port, clientId++, std::ref(mine));
    });
    for (std::thread& client : clients)
        client.join();
    for (Record& other : records)
        record.merge(std::move(other));
}

// ---- Figures ----------------------------------------------------------------


// Whether the mount answers a command: on model 3 every command this load
// causes is answered but the pulse pieces (":Mn00200#" and the like).
bool isAnswered(const std::string& command)
{
    const bool pulsePiece = command.size() > 3 && command.compare(0, 2, ":M") == 0 &&
                            std::strchr("nsew", command[2]) != nullptr && command.back() == '#';
    return !pulsePiece;
}

// What the link carried over a span: the exchanges, their rate, and the
// busiest second and ten seconds (windows sliding over the stamps). An
// answered exchange holds the link for the pause before its read (its
// command and its reply, at 9600 baud, travel within it), so N of them in a
// window need (N - 1) pauses between the first and the last; a command not
// answered needs only its bytes, which travel while a pause runs. The
// stamps are the simulator's receipts: the pty hands it a command up to
// some tens of milliseconds late now and then (the next gap is short by as
// much), so one second may show an exchange more than the link carried;
// over ten seconds that is lost in the count.
struct Busiest {
    std::size_t answered = 0;    // the most answered exchanges in one window
    std::size_t unanswered = 0;  // the commands not answered in that window
    std::size_t bytes = 0;       // the commands' bytes in that window
    double pausesMs() const { return answered > 0 ? double(answered - 1) * kPauseMs : 0.0; }
    double bytesMs() const { return double(bytes) * kByteMs; }
    // Within what the link can carry in `seconds`.
    bool fits(double seconds) const { return pausesMs() <= seconds * 1000.0 && bytesMs() <= seconds * 1000.0; }
};

struct LinkLoad {
    std::size_t exchanges = 0, unanswered = 0;
    double seconds = 0, perSecond = NAN;
    Busiest second, tenSeconds;
};

// A window of `span` sliding over the stamps; the one with the most
// answered exchanges.
Busiest busiestWindow(const std::vector<LineWatch::Line>& lines, std::chrono::seconds span)
{
    Busiest busiest, window;
    std::size_t first = 0;
    auto add = [&window](const std::string& command) {
        ++(isAnswered(command) ? window.answered : window.unanswered);
        window.bytes += command.size();
    };
    auto remove = [&window](const std::string& command) {
        --(isAnswered(command) ? window.answered : window.unanswered);
        window.bytes -= command.size();
    };
    for (std::size_t last = 0; last < lines.size(); ++last) {
        add(lines[last].text);
        while (lines[last].at - lines[first].at >= span)
            remove(lines[first++].text);
        if (window.answered > busiest.answered)
            busiest = window;
    }
    return busiest;
}

LinkLoad linkLoadOf(const std::vector<LineWatch::Line>& lines, Steady::time_point from, Steady::time_point to)
{
    LinkLoad load;
    load.exchanges = lines.size();
    load.seconds = msBetween(from, to) / 1000.0;
    load.perSecond = load.seconds > 0 ? double(load.exchanges) / load.seconds : NAN;
    for (const LineWatch::Line& line : lines)
        load.unanswered += !isAnswered(line.text);
    load.second = busiestWindow(lines, std::chrono::seconds(1));
    load.tenSeconds = busiestWindow(lines, std::chrono::seconds(10));
    return load;
}

struct Memory {
    double serverStartKiB = -1, loadStartKiB = -1, markKiB = -1, endKiB = -1, peakKiB = -1;
    int markSeconds = 0;  // when, into the load, the mark was taken
};

struct Results {
    Record alone;  // one polling client, then the aborts alone
    Record load;
    LinkLoad aloneLink, loadLink;
    Memory memory;
    double cpuSeconds = NAN;
    bool stampsRealTime = false;
    // The clients the server's log says it forgot as silent.
    std::vector<int> forgottenClients;
    std::size_t loadRequests = 0;
    double loadSeconds = 0;
    Steady::time_point loadBegan{};
};

// The ClientIDs the server logged as silent past the time-out.
std::vector<int> clientsForgottenIn(const std::string& log)
{
    std::vector<int> clients;
    const std::string tail = " sent nothing for ";
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t end = line.find(tail);
        const std::size_t start = line.rfind("client ", end);
        if (end != std::string::npos && start != std::string::npos)
            clients.push_back(std::atoi(line.c_str() + start + 7));
    }
    return clients;
}

// ---- Report -----------------------------------------------------------------


void printSpreadRow(const std::string& name, const Spread& s)
{
    std::printf("  %-44s %7zu %10.1f %10.1f %10.1f\n", name.c_str(), s.count, s.median, s.p99, s.max);
}

void printHeader(const char* title)
{
    std::printf("\n%s\n  %-44s %7s %10s %10s %10s\n", title, "kind", "count", "median", "p99", "max");
}

void printLatencies(const char* title, const Record& record)
{
    printHeader(title);
    for (const auto& [kind, samples] : record.latency)
        printSpreadRow(kind, spreadOf(samples));
}

std::vector<double> allRounds(const Record& record)
{
    std::vector<double> all;
    for (const auto& [client, samples] : record.rounds)
        all.insert(all.end(), samples.begin(), samples.end());
    return all;
}

// The polling client whose rounds' median (or p99) is the worst, and it.
struct Worst {
    int client = 0;
    double value = NAN;
};

template <class Pick>
Worst worstClient(const Record& record, Pick pick)
{
    Worst worst;
    for (int client = 1; client <= kPollingClients; ++client) {
        const auto found = record.rounds.find(client);
        const double value = found == record.rounds.end() ? INFINITY : pick(spreadOf(found->second));
        if (std::isnan(worst.value) || value > worst.value)
            worst = {client, value};
    }
    return worst;
}

// When the slowest rounds under the load began: a tail at the start, or
// one spread over the load, want different mending.
void printSlowestRounds(const Results& results)
{
    constexpr std::size_t kShown = 8;
    std::vector<std::pair<Steady::time_point, double>> slowest = results.load.roundsBegun;
    const std::size_t shown = std::min(kShown, slowest.size());
    std::partial_sort(slowest.begin(), slowest.begin() + long(shown), slowest.end(),
                      [](const auto& a, const auto& b) { return a.second > b.second; });
    std::printf("  the %zu slowest rounds under load, began at (s into the load) and took (ms):", shown);
    for (std::size_t i = 0; i < shown; ++i)
        std::printf("%s %.1f s %.0f", i == 0 ? "" : ",", msBetween(results.loadBegan, slowest[i].first) / 1000.0,
                    slowest[i].second);
    std::printf("\n");
}

void printRounds(const Results& results)
{
    printHeader("Rounds of 12 reads (ms), one polling client alone and each of 20 under the full load");
    std::printf("  (left out: the first %d rounds alone and each client's first %d under load, its warm-up as all start"
                " at once;\n   and rounds with an error in them: %zu alone, %zu under load)\n",
                kAloneWarmUpRounds, kLoadWarmUpRounds, results.alone.spoiledRounds,
                results.load.spoiledRounds);
    printSpreadRow("alone (client 1)", spreadOf(allRounds(results.alone)));
    printSpreadRow("under load, every client's rounds together", spreadOf(allRounds(results.load)));
    for (int client = 1; client <= kPollingClients; ++client) {
        const auto found = results.load.rounds.find(client);
        printSpreadRow("under load, client " + std::to_string(client),
                       spreadOf(found == results.load.rounds.end() ? std::vector<double>{} : found->second));
    }
    printSlowestRounds(results);
}

std::string describeWindow(const Busiest& window)
{
    char text[160];
    std::snprintf(text, sizeof text, "%zu answered + %zu unanswered (%.0f ms of pauses, %zu bytes = %.0f ms)",
                  window.answered, window.unanswered, window.pausesMs(), window.bytes, window.bytesMs());
    return text;
}

void printLink(const char* name, const LinkLoad& link)
{
    std::printf("  %s: %zu exchanges (%zu unanswered) in %.1f s, %.1f/s on average\n"
                "      busiest second: %s\n      busiest 10 s:   %s\n",
                name, link.exchanges, link.unanswered, link.seconds, link.perSecond,
                describeWindow(link.second).c_str(), describeWindow(link.tenSeconds).c_str());
}

void printFaults(const Record& record)
{
    std::printf("\nErrors: %zu (intended refusals, not counted: %zu)\n", record.faultCount(),
                record.intendedRefusals);
    for (const auto& [kind, found] : record.faults) {
        std::printf("  %-44s %7zu\n", kind.c_str(), found.count);
        for (const std::string& example : found.examples)
            std::printf("      e.g. %s\n", example.c_str());
    }
}

void printFigures(const Results& results)
{
    const Record& load = results.load;
    printLatencies("Requests alone (ms), before the full load", results.alone);
    printLatencies("Requests under the full load (ms)", load);
    printRounds(results);

    printHeader("AbortSlew (ms), from its request");
    printSpreadRow("alone: to its answer", spreadOf(results.alone.abortHttp));
    printSpreadRow("alone: to \":Q#\" at the mount", spreadOf(results.alone.abortToMount));
    printSpreadRow("under load: to its answer", spreadOf(load.abortHttp));
    printSpreadRow("under load: to \":Q#\" at the mount", spreadOf(load.abortToMount));
    std::printf("  (\":Q#\" time-stamped by this program as the simulator appends it to its transcript;"
                " aborts whose \":Q#\" was not seen: %zu alone, %zu under load;\n   slews that failed, so were not"
                " aborted: %zu alone, %zu under load)\n",
                results.alone.abortsUnseen, load.abortsUnseen, results.alone.slewsFailed, load.slewsFailed);

    std::printf("\nThe serial link (the transcript's lines, time-stamped here%s; the simulator%s; replies paced at"
                " 9600 baud)\n",
                results.stampsRealTime ? " at real-time priority" : " at the usual priority",
                simulatorRealTime ? " at real-time priority" : " at the usual priority");
    printLink("one polling client alone", results.aloneLink);
    printLink("full load", results.loadLink);
    std::printf("  ceiling: %.0f answered exchanges a second, the %.0f ms pause before each read (the command and"
                " its reply at 9600 baud fit in it),\n  and %.0f bytes a second; a command the mount does not answer"
                " (a pulse piece) needs its bytes only\n",
                1000.0 / kPauseMs, kPauseMs, 1000.0 / kByteMs);

    const Memory& m = results.memory;
    std::printf("\nServer\n");
    std::printf("  requests served: %zu in all, %zu under the full load (%.1f/s)\n",
                results.alone.requests + load.requests, results.loadRequests,
                double(results.loadRequests) / results.loadSeconds);
    std::printf("  TCP connections the load's clients opened: %d\n", load.connections);
    std::printf("  memory (VmRSS): %.0f KiB at its start, %.0f KiB as the load began, %.0f KiB %d s into it,"
                " %.0f KiB at the end; peak (VmHWM) %.0f KiB\n",
                m.serverStartKiB, m.loadStartKiB, m.markKiB, m.markSeconds, m.endKiB, m.peakKiB);
    std::printf("  CPU (utime+stime) under the full load: %.2f s, %.1f us a request\n", results.cpuSeconds,
                results.cpuSeconds * 1e6 / double(std::max<std::size_t>(results.loadRequests, 1)));
    std::printf("  vanished clients: %zu, of which forgotten after the %d s time-out: %zu\n", load.vanished,
                kClientTimeoutSeconds, load.forgotten);
    std::string others;
    for (int client : results.forgottenClients)
        if (client < kFirstVanishingClient)
            others += " " + std::to_string(client);
    std::printf("  clients of the load (not vanishing) the server logged as silent past the time-out:%s\n",
                others.empty() ? " none" : others.c_str());
    printFaults(load);
    std::printf("\n");
}

bool verdict(const std::string& figure, const std::string& goal, bool held)
{
    std::printf("verdict: %s (%s): %s\n", figure.c_str(), goal.c_str(), held ? "pass" : "MISS");
    return held;
}

// Each goal's verdict; the names of those missed.
std::vector<std::string> printVerdicts(const Results& results)
{
    std::vector<std::string> missed;
    auto judge = [&](const char* name, const std::string& figure, const std::string& goal, bool held) {
        if (!verdict(figure, goal, held))
            missed.push_back(name);
    };
    const Spread alone = spreadOf(allRounds(results.alone));
    const Worst median = worstClient(results.load, [](const Spread& s) { return s.median; });
    const Worst p99 = worstClient(results.load, [](const Spread& s) { return s.p99; });
    char figure[240], goal[160];
    if (std::isinf(median.value))
        std::snprintf(figure, sizeof figure,
                      "round of 12 under load: client %d had no round without an error; alone median %.0f ms,"
                      " p99 %.0f ms",
                      median.client, alone.median, alone.p99);
    else
        std::snprintf(figure, sizeof figure,
                      "round of 12 under load: worst client's median %.0f ms (client %d), worst p99 %.0f ms "
                      "(client %d); alone median %.0f ms, p99 %.0f ms",
                      median.value, median.client, p99.value, p99.client, alone.median, alone.p99);
    std::snprintf(goal, sizeof goal, "goal: each client's median <= %.0f ms and p99 <= %.0f ms, twice alone",
                  kRoundGoalFactor * alone.median, kRoundGoalFactor * alone.p99);
    judge("rounds within twice alone", figure, goal,
          median.value <= kRoundGoalFactor * alone.median && p99.value <= kRoundGoalFactor * alone.p99);

    const LinkLoad& link = results.loadLink;
    std::snprintf(figure, sizeof figure, "serial link, busiest 10 s: %s; %.1f exchanges/s on average",
                  describeWindow(link.tenSeconds).c_str(), link.perSecond);
    std::snprintf(goal, sizeof goal,
                  "goal: never above the link's ceiling, %.0f answered a second (pauses <= 10000 ms in 10 s)",
                  1000.0 / kPauseMs);
    judge("exchanges within the link's ceiling", figure, goal, link.tenSeconds.fits(10.0));

    const Spread abort = spreadOf(results.load.abortToMount);
    const std::size_t unseen = results.load.abortsUnseen;
    if (abort.count == 0)
        std::snprintf(figure, sizeof figure,
                      "AbortSlew under load: no abort was timed at the mount (%zu slews failed, %zu aborts not seen;"
                      " a refused abort is among the errors)",
                      results.load.slewsFailed, unseen);
    else
        std::snprintf(figure, sizeof figure,
                      "AbortSlew to \":Q#\" at the mount under load: median %.1f ms, p99 %.1f ms, max %.1f ms over"
                      " %zu aborts, %zu not seen",
                      abort.median, abort.p99, abort.max, abort.count, unseen);
    judge("AbortSlew within 60 ms", figure, "goal: every one within 60 ms of its request",
          abort.count > 0 && unseen == 0 && abort.max <= kAbortGoalMs);

    const Memory& m = results.memory;
    std::snprintf(figure, sizeof figure, "server memory %.0f KiB %d s into the load, %.0f KiB at the end (%+.0f KiB)",
                  m.markKiB, m.markSeconds, m.endKiB, m.endKiB - m.markKiB);
    judge("memory flat", figure, "goal: under 1024 KiB growth after the mark",
          m.markKiB > 0 && m.endKiB > 0 && m.endKiB - m.markKiB < kGrowthGoalKiB);

    std::snprintf(figure, sizeof figure, "errors: %zu (intended refusals: %zu)", results.load.faultCount(),
                  results.load.intendedRefusals);
    judge("no errors", figure, "goal: none but intended refusals", results.load.faultCount() == 0);
    return missed;
}

// ---- The run ----------------------------------------------------------------


// One polling client alone: its rounds, once a second. False when it could
// not connect.
bool measureAlone(int port, Results& results)
{
    HttpClient http(port, 1);
    if (!connectClient(http, results.alone)) {
        say("the first client could not connect; no figures");
        return false;
    }
    StopFlag never;
    double took = 0;
    Record warmUp;
    for (int round = 0; round < kAloneWarmUpRounds; ++round)
        pollRound(http, warmUp, never, took);
    Steady::time_point next = Steady::now();
    for (int round = 0; round < kAloneRounds; ++round) {
        std::this_thread::sleep_until(next);
        next += std::chrono::milliseconds(kRoundPeriodMs);
        if (pollRound(http, results.alone, never, took))
            results.alone.rounds[1].push_back(took);
    }
    return true;
}

// A few slews aborted with nobody else about: the floor under the abort.
SlewTargets measureAbortsAlone(int port, LineWatch& transcript, Results& results)
{
    HttpClient http(port, kSlewingClient);
    connectClient(http, results.alone);
    const SlewTargets targets = readPosition(http, results.alone);
    if (!targets.known())
        return targets;
    for (int slew = 0; slew < kAloneAborts; ++slew) {
        slewAndAbort(http, results.alone, transcript, targets, slew);
        sleepMs(kSlewBeforeAbortMs);
    }
    return targets;
}

// The full load for `seconds`; memory looked at at the mark.
void runFullLoad(int port, pid_t server, int seconds, LineWatch& transcript, const SlewTargets& targets,
                 Results& results)
{
    // The slewer, the guider, and the one starting the vanishing clients.
    constexpr int kWorkers = kPollingClients + kDeviceStateClients + 3;
    std::latch ready(kWorkers - 1);
    std::latch go(1);
    int order = 0;
    auto start = [&] { return Start{ready, go, order++}; };
    StopFlag stop;
    std::deque<Record> records(kWorkers);
    std::vector<std::thread> workers;
    std::size_t next = 0;
    for (int client = 1; client <= kPollingClients; ++client)
        workers.emplace_back(pollingClient, port, client, start(), std::ref(stop), std::ref(records[next++]));
    for (int i = 0; i < kDeviceStateClients; ++i)
        workers.emplace_back(deviceStateClient, port, kFirstDeviceStateClient + i, start(), std::ref(stop),
                             std::ref(records[next++]));
    workers.emplace_back(slewingClient, port, start(), std::ref(stop), std::ref(transcript), std::cref(targets),
                         std::ref(records[next++]));
    workers.emplace_back(guidingClient, port, start(), std::ref(stop), std::ref(records[next++]));
    const Steady::time_point connecting = Steady::now();
    ready.wait();
    say(std::to_string(kWorkers - 1) + " clients connected in " +
        std::to_string(long(msBetween(connecting, Steady::now()))) + " ms; the load begins");

    const Steady::time_point loadStart = Steady::now();
    const Steady::time_point loadEnd = loadStart + std::chrono::seconds(seconds);
    results.loadBegan = loadStart;
    results.memory.loadStartKiB = memoryKiB(server, "VmRSS");
    const double cpuAtStart = cpuSeconds(server);
    go.count_down();
    workers.emplace_back(vanishingClients, port, std::ref(stop), loadEnd, std::ref(records[next++]));

    // The mark: a minute in, or half-way through a shorter load.
    results.memory.markSeconds = seconds >= 120 ? 60 : seconds / 2;
    std::this_thread::sleep_until(loadStart + std::chrono::seconds(results.memory.markSeconds));
    results.memory.markKiB = memoryKiB(server, "VmRSS");
    say("the mark, " + std::to_string(results.memory.markSeconds) + " s into the load: server VmRSS " +
        std::to_string(long(results.memory.markKiB)) + " KiB");
    std::this_thread::sleep_until(loadEnd);
    results.memory.endKiB = memoryKiB(server, "VmRSS");
    stop.raise();
    say("the load's time is up; waiting for the requests still under way...");
    for (std::thread& worker : workers)
        worker.join();
    const Steady::time_point drained = Steady::now();
    results.cpuSeconds = cpuSeconds(server) - cpuAtStart;
    results.memory.peakKiB = memoryKiB(server, "VmHWM");
    results.loadSeconds = msBetween(loadStart, drained) / 1000.0;
    for (Record& record : records)
        results.load.merge(std::move(record));
    results.loadRequests = results.load.requests - results.load.requestsBeforeLoad;
    results.loadLink = linkLoadOf(transcript.between(loadStart, loadEnd), loadStart, loadEnd);
}

// Measures everything; false (having said why) when the figures could not
// be measured.
bool run(const Options& options, Results& results)
{
    Simulator mount;
    if (!startSimulator(options.simulator, mount))
        return false;
    LineWatch transcript;
    if (!transcript.start(mount.transcript))
        return false;
    int port = 0;
    const pid_t server =
        startServer(options.server, mount, {"--client-timeout", std::to_string(kClientTimeoutSeconds)}, port);
    if (server < 0)
        return false;
    results.memory.serverStartKiB = memoryKiB(server, "VmRSS");
    results.stampsRealTime = transcript.atRealTimePriority();

    say("one polling client alone: " + std::to_string(kAloneRounds) + " rounds of 12 reads, once a second...");
    const Steady::time_point aloneFrom = Steady::now();
    if (!measureAlone(port, results))
        return false;
    const Steady::time_point aloneTo = Steady::now();
    results.aloneLink = linkLoadOf(transcript.between(aloneFrom, aloneTo), aloneFrom, aloneTo);
    say("a slew aborted, " + std::to_string(kAloneAborts) + " times, alone...");
    const SlewTargets targets = measureAbortsAlone(port, transcript, results);
    if (!targets.known()) {
        say("the mount's position could not be read for the slews; no figures");
        return false;
    }

    say("the full load for " + std::to_string(options.seconds) + " s: " + std::to_string(kPollingClients) +
        " polling clients, " + std::to_string(kDeviceStateClients) +
        " on DeviceState, one slewing and aborting, one guiding, one vanishing every " +
        std::to_string(kVanishPeriodMs / 1000) + " s...");
    runFullLoad(port, server, options.seconds, transcript, targets, results);

    results.forgottenClients = clientsForgottenIn(readFile(scratchFolder + "/server.log"));
    if (keepScratchFolder)
        transcript.save(scratchFolder + "/mount-transcript-stamped", results.loadBegan);
    if (const std::string ended = children.endedWith(server); !ended.empty()) {
        say("the server ended during the run with " + ended + "; its log ends:\n" +
            lastLines(readFile(scratchFolder + "/server.log"), 10));
        return false;
    }
    return true;
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
    if (options.profile == Profile::Night)
        return runNight(options);
    keptFilesNote = "server.log, mount.log, mount-transcript, and mount-transcript-stamped: ms from the full load's start (the baseline's before 0)";
    Results results;
    return measureAndJudge(
        "run", [&] { return run(options, results); },
        [&] {
            printFigures(results);
            return printVerdicts(results);
        });
}

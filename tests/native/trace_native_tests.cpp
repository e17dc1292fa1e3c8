// The trace on Linux: the folder from the environment, the file names of
// Windows, the head before the held lines, the exact line shapes, and a
// traced exchange of the command channel on a pseudo-terminal.
#include "CommandChannel.h"
#include "PseudoTerminal.h"
#include "Trace.h"
#include "TraceSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Sets the variables the trace's folder comes from for one test, and puts
// them back after it.
class TraceEnvironment {
public:
    TraceEnvironment()
    {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved.push_back({name, value != nullptr, value ? value : ""});
        }
    }
    ~TraceEnvironment()
    {
        closeTrace();
        for (const Saved& s : saved)
            s.had ? setenv(s.name, s.value.c_str(), 1) : unsetenv(s.name);
    }
    TraceEnvironment(const TraceEnvironment&) = delete;
    TraceEnvironment& operator=(const TraceEnvironment&) = delete;

    // nullptr: the variable is not set.
    void set(const char* traceDir, const char* stateHome, const char* home)
    {
        const char* values[] = {traceDir, stateHome, home};
        for (int i = 0; i < 3; ++i)
            values[i] ? setenv(kNames[i], values[i], 1) : unsetenv(kNames[i]);
    }

private:
    static constexpr const char* kNames[3] = {"VELMARO_TRACE_DIR", "XDG_STATE_HOME", "HOME"};
    struct Saved {
        const char* name;
        bool had;
        std::string value;
    };
    std::vector<Saved> saved;
};

// A folder of the test's own, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder()
    {
        char name[] = "/tmp/velmaro-trace-XXXXXX";
        if (mkdtemp(name))
            path = name;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!path.empty())
            fs::remove_all(path, ignored);
    }
    bool ready() const { return !path.empty(); }
    std::string path;
};

std::set<std::string> filesUnder(const std::string& root)
{
    std::set<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error))
        if (it->is_regular_file())
            files.insert(it->path().string());
    return files;
}

std::vector<std::string> newFiles(const std::set<std::string>& before, const std::set<std::string>& after)
{
    std::vector<std::string> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

bool isDigits(const std::string& text, std::size_t from, std::size_t count)
{
    if (text.size() < from + count)
        return false;
    for (std::size_t i = from; i < from + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// The file's lines without their stamps; every line must end in CR LF and
// begin with "HH:MM:SS.mmm ".
std::vector<std::string> traceLines(const std::string& path, std::vector<std::string>* stamps = nullptr)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "a line without its CR LF: " << text.substr(start);
            break;
        }
        std::string line = text.substr(start, end - start);
        start = end + 2;
        bool stamped = line.size() > 13 && isDigits(line, 0, 2) && line[2] == ':' && isDigits(line, 3, 2)
                       && line[5] == ':' && isDigits(line, 6, 2) && line[8] == '.' && isDigits(line, 9, 3)
                       && line[12] == ' ';
        EXPECT_TRUE(stamped) << line;
        lines.push_back(stamped ? line.substr(13) : line);
        if (stamps && stamped)
            stamps->push_back(line.substr(0, 12));
    }
    return lines;
}

// A read's line with its duration replaced by "~", the duration kept.
std::string withoutDuration(const std::string& line, std::vector<double>& durations)
{
    std::size_t in = line.rfind(" bytes in ");
    std::size_t ms = line.rfind(" ms, by ");
    if (line.compare(0, 3, "<< ") != 0 || in == std::string::npos || ms == std::string::npos || ms < in)
        return line;
    durations.push_back(std::atof(line.substr(in + 10, ms - in - 10).c_str()));
    return line.substr(0, in + 10) + "~" + line.substr(ms);
}

std::string localDay()
{
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

TEST(NativeTrace, HeadComesFirstThenTheHeldLinesEachExactlyAsShown)
{
    TempFolder root;
    ASSERT_TRUE(root.ready());
    TraceEnvironment environment;
    // Not there yet, two levels deep, with a space: made.
    const std::string folder = root.path + "/Velmaro traces/today";
    environment.set(folder.c_str(), nullptr, nullptr);

    ASSERT_TRUE(openTrace());
    EXPECT_TRUE(traceIsOn());
    // What a connection traces before it knows its head.
    traceSent(":V#", 3, true);
    traceReceived("V1.00#", 6, 6, 51.26);
    traceReceived("+22\xdf" "00:52#", 10, 10, 60.0);
    traceReceived("", 0, 10, 551.04);
    traceReceived("6150", 4, 6, 556.96);
    traceSent(":Sw#", 4, false);
    traceSent("a\r\n\"\\\x7f", 6, true);
    traceLine("-- no acknowledgement, try 1 of 2, 200 ms pause");
    // Durations no clock gives show as 0.0.
    traceReceived("1", 1, 1, std::nan(""));
    traceReceived("1", 1, 1, -3.0);
    traceReceived("1", 1, 1, 1e12);
    traceReceived("1", 1, 1, std::numeric_limits<double>::infinity());

    std::set<std::string> files = filesUnder(root.path);
    ASSERT_EQ(files.size(), 1u);
    const std::string path = *files.begin();
    EXPECT_EQ(fs::path(path).parent_path().string(), folder);
    EXPECT_TRUE(traceLines(path).empty()) << "held until the head";

    const std::string head[] = {"Velmaro Telescope driver 2.1, 64-bit", "Port: /dev/ttyUSB0",
                                "Model: Corvane A Revision B (3)"};
    writeTraceHead(head, 3);
    const std::vector<std::string> expected = {
        "Velmaro Telescope driver 2.1, 64-bit",
        "Port: /dev/ttyUSB0",
        "Model: Corvane A Revision B (3)",
        ">> \":V#\"",
        "<< \"V1.00#\" 6 of 6 bytes in 51.3 ms, by count",
        "<< \"+22\\xdf00:52#\" 10 of 10 bytes in 60.0 ms, by count",
        "<< \"\" 0 of 10 bytes in 551.0 ms, by time-out",
        "<< \"6150\" 4 of 6 bytes in 557.0 ms, by time-out",
        ">> \":Sw#\" (not written)",
        ">> \"a\\x0d\\x0a\\x22\\x5c\\x7f\"",
        "-- no acknowledgement, try 1 of 2, 200 ms pause",
        "<< \"1\" 1 of 1 bytes in 0.0 ms, by count",
        "<< \"1\" 1 of 1 bytes in 0.0 ms, by count",
        "<< \"1\" 1 of 1 bytes in 0.0 ms, by count",
        "<< \"1\" 1 of 1 bytes in 0.0 ms, by count",
    };
    EXPECT_EQ(traceLines(path), expected);

    // After the head every line is in the file as soon as it is made.
    traceLine("Connected set: 0x00000000");
    std::vector<std::string> stamps;
    std::vector<std::string> lines = traceLines(path, &stamps);
    ASSERT_EQ(lines.size(), expected.size() + 1);
    EXPECT_EQ(lines.back(), "Connected set: 0x00000000");

    // The name: ASCOM.Velmaro.Telescope.HHmm.ssfff.txt, the time the head
    // bears; the stamps after it run in order.
    const std::string name = fs::path(path).filename().string();
    const std::string prefix = "ASCOM.Velmaro.Telescope.";
    ASSERT_TRUE(name.size() == prefix.size() + 14 && name.compare(0, prefix.size(), prefix) == 0
                && isDigits(name, prefix.size(), 4) && name[prefix.size() + 4] == '.'
                && isDigits(name, prefix.size() + 5, 5) && name.compare(prefix.size() + 10, 4, ".txt") == 0)
        << name;
    const std::string n = name.substr(prefix.size());
    ASSERT_FALSE(stamps.empty());
    EXPECT_EQ(stamps[0], n.substr(0, 2) + ":" + n.substr(2, 2) + ":" + n.substr(5, 2) + "." + n.substr(7, 3));
    EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));

    // Closed: nothing more is written, and the switch is off.
    closeTrace();
    EXPECT_FALSE(traceIsOn());
    traceLine("after the close");
    traceSent(":GR#", 4, true);
    writeTraceHead(head, 3);
    closeTrace();
    EXPECT_EQ(traceLines(path).size(), lines.size());
    EXPECT_EQ(filesUnder(root.path).size(), 1u);
}

TEST(NativeTrace, LinesHeldForAHeadThatNeverCameAreWrittenAtTheClose)
{
    TempFolder root;
    ASSERT_TRUE(root.ready());
    TraceEnvironment environment;
    environment.set(root.path.c_str(), nullptr, nullptr);

    // Closed by closeTrace, and by the next openTrace: each file keeps its
    // own lines.
    ASSERT_TRUE(openTrace());
    traceLine("first connection");
    std::set<std::string> first = filesUnder(root.path);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_TRUE(openTrace());
    traceLine("second connection");
    traceLine("its last line");
    closeTrace();
    std::set<std::string> both = filesUnder(root.path);
    std::vector<std::string> second = newFiles(first, both);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(traceLines(*first.begin()), std::vector<std::string>{"first connection"});
    EXPECT_EQ(traceLines(second[0]), (std::vector<std::string>{"second connection", "its last line"}));

    // At process end, without the lock: the file is closed, the switch off.
    ASSERT_TRUE(openTrace());
    closeTraceAtProcessEnd();
    EXPECT_FALSE(traceIsOn());
    traceLine("after the end");
    closeTrace();
    for (const std::string& file : newFiles(both, filesUnder(root.path)))
        EXPECT_TRUE(traceLines(file).empty()) << file;
}

TEST(NativeTrace, FolderComesFromTheEnvironmentOrThereIsNoTrace)
{
    TempFolder root;
    ASSERT_TRUE(root.ready());
    const std::string base = root.path;
    const std::string day = localDay();
    // Things in the way, made once.
    std::ofstream(base + "/plain-file") << "x";
    fs::create_directories(base + "/blocked");
    std::ofstream(base + "/blocked/velmaro") << "x";
    fs::create_directories(base + "/day-blocked/velmaro");
    std::ofstream(base + "/day-blocked/velmaro/logs " + day) << "x";

    struct Case {
        const char* what;
        const char* traceDir; // relative to base; nullptr: not set
        const char* stateHome;
        const char* home;
        const char* folder; // where the file goes, relative to base; nullptr: no trace
    };
    const std::string dayFolder = "velmaro/logs " + day;
    const std::string xdgFolder = "xdg/" + dayFolder;
    const std::string homeFolder = "home/.local/state/" + dayFolder;
    const Case cases[] = {
        {"VELMARO_TRACE_DIR first", "chosen", "xdg", "home", "chosen"},
        {"XDG_STATE_HOME next", nullptr, "xdg", "home", xdgFolder.c_str()},
        {"an empty VELMARO_TRACE_DIR is not set", "", "xdg", "home", xdgFolder.c_str()},
        {"then HOME", nullptr, nullptr, "home", homeFolder.c_str()},
        {"a relative XDG_STATE_HOME is not used", nullptr, "relative/state", "home", homeFolder.c_str()},
        {"VELMARO_TRACE_DIR is a file", "plain-file", "xdg", "home", nullptr},
        {"VELMARO_TRACE_DIR under a file", "plain-file/traces", "xdg", "home", nullptr},
        {"velmaro under the state folder is a file", nullptr, "blocked", "home", nullptr},
        {"the day's folder is a file", nullptr, "day-blocked", "home", nullptr},
        {"no folder known", nullptr, nullptr, nullptr, nullptr},
        {"a relative HOME", nullptr, nullptr, "relative-home", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TraceEnvironment environment;
        auto under = [&](const char* relative) -> std::string {
            if (!relative)
                return std::string();
            if (relative[0] == '\0' || std::string(relative).rfind("relative", 0) == 0)
                return relative;
            return base + "/" + relative;
        };
        const std::string traceDir = under(c.traceDir), stateHome = under(c.stateHome), home = under(c.home);
        environment.set(c.traceDir ? traceDir.c_str() : nullptr, c.stateHome ? stateHome.c_str() : nullptr,
                        c.home ? home.c_str() : nullptr);
        const std::set<std::string> before = filesUnder(base);
        const bool opened = openTrace();
        EXPECT_EQ(opened, c.folder != nullptr);
        EXPECT_EQ(traceIsOn(), opened);
        traceLine("one line");
        closeTrace();
        std::vector<std::string> added = newFiles(before, filesUnder(base));
        if (!c.folder) {
            EXPECT_TRUE(added.empty());
            continue;
        }
        ASSERT_EQ(added.size(), 1u);
        EXPECT_EQ(fs::path(added[0]).parent_path().string(), base + "/" + c.folder);
        EXPECT_EQ(traceLines(added[0]), std::vector<std::string>{"one line"});
    }
    EXPECT_FALSE(fs::exists("relative")) << "nothing made in the working folder";
}

TEST(NativeTrace, NameTakenInTheSameMillisecondGetsTheProcessIdThenANumber)
{
    // The names of one moment taken up to the variant asked for: the new
    // file takes the next one, never one that is there; with all ten taken
    // there is none.
    trace_system::LocalTime opened;
    opened.year = 2026;
    opened.month = 3;
    opened.day = 7;
    opened.hour = 2;
    opened.minute = 5;
    opened.second = 9;
    opened.milliseconds = 42;
    const std::string plain = "ASCOM.Velmaro.Telescope.0205.09042";
    const std::string process = "." + std::to_string(getpid());
    const std::vector<std::string> variants = {
        plain + ".txt",
        plain + process + ".txt",
        plain + process + "-2.txt",
        plain + process + "-3.txt",
        plain + process + "-4.txt",
        plain + process + "-5.txt",
        plain + process + "-6.txt",
        plain + process + "-7.txt",
        plain + process + "-8.txt",
        plain + process + "-9.txt",
    };
    for (std::size_t taken : {0, 1, 2, 5, 9, 10}) {
        SCOPED_TRACE(std::to_string(taken) + " names taken");
        TempFolder root;
        ASSERT_TRUE(root.ready());
        TraceEnvironment environment;
        environment.set(root.path.c_str(), nullptr, nullptr);
        for (std::size_t i = 0; i < taken; ++i)
            std::ofstream(root.path + "/" + variants[i]) << "another process's trace";
        const std::set<std::string> before = filesUnder(root.path);

        trace_system::FileHandle file = trace_system::createTraceFile(opened);
        std::vector<std::string> added = newFiles(before, filesUnder(root.path));
        if (taken == variants.size()) {
            EXPECT_EQ(file, trace_system::kNoFile);
            EXPECT_TRUE(added.empty());
        } else {
            ASSERT_NE(file, trace_system::kNoFile);
            EXPECT_TRUE(trace_system::writeAll(file, "ours", 4));
            trace_system::closeFile(file);
            ASSERT_EQ(added.size(), 1u);
            EXPECT_EQ(fs::path(added[0]).filename().string(), variants[taken]);
        }
        // The files that were there are as they were.
        for (std::size_t i = 0; i < taken; ++i) {
            std::ifstream kept(root.path + "/" + variants[i]);
            std::string text;
            std::getline(kept, text);
            EXPECT_EQ(text, "another process's trace") << variants[i];
        }
    }
}

TEST(NativeTrace, NamesAndDaysArePaddedAsOnWindows)
{
    struct Case {
        trace_system::LocalTime time;
        std::uint32_t process;
        int attempt;
        const char* day;
        const char* name;
    };
    const Case cases[] = {
        {{2026, 3, 7, 2, 5, 9, 42}, 0, 1, "2026-03-07", "ASCOM.Velmaro.Telescope.0205.09042.txt"},
        {{2026, 3, 7, 2, 5, 9, 42}, 4711, 1, "2026-03-07", "ASCOM.Velmaro.Telescope.0205.09042.4711.txt"},
        {{2026, 3, 7, 2, 5, 9, 42}, 4711, 3, "2026-03-07", "ASCOM.Velmaro.Telescope.0205.09042.4711-3.txt"},
        {{1999, 12, 31, 23, 59, 59, 999}, 1, 9, "1999-12-31", "ASCOM.Velmaro.Telescope.2359.59999.1-9.txt"},
        {{0, 1, 1, 0, 0, 0, 0}, 0, 5, "0000-01-01", "ASCOM.Velmaro.Telescope.0000.00000.txt"},
        {{2030, 10, 20, 10, 30, 60, 5}, 4294967295u, 2, "2030-10-20",
         "ASCOM.Velmaro.Telescope.1030.60005.4294967295-2.txt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trace_system::dayText(c.time), c.day);
        EXPECT_EQ(trace_system::fileNameText(c.time, c.process, c.attempt), c.name);
    }
}

TEST(NativeTrace, ChannelExchangesOnAPtyAreTracedWithTheirDurations)
{
    TempFolder root;
    ASSERT_TRUE(root.ready());
    TraceEnvironment environment;
    environment.set(root.path.c_str(), nullptr, nullptr);
    PseudoTerminal line;
    ASSERT_TRUE(line.ready());
    CommandChannel channel;
    ASSERT_TRUE(channel.openDevice(line.path()));
    ASSERT_TRUE(openTrace());
    writeTraceHead(nullptr, 0);

    // Answered (what came before the command is purged, untraced), then an
    // acknowledgement that never comes.
    channel.command = ":GR#";
    ASSERT_TRUE(line.send("stale#"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread mount([&] {
        line.receive(4, 1000);
        line.send("12:34:56#");
    });
    channel.sendCommand();
    channel.readReply(9);
    mount.join();
    channel.command = ":AT#";
    channel.exchangeAck();
    closeTrace();

    std::set<std::string> files = filesUnder(root.path);
    ASSERT_EQ(files.size(), 1u);
    std::vector<double> durations;
    std::vector<std::string> lines;
    for (const std::string& text : traceLines(*files.begin()))
        lines.push_back(withoutDuration(text, durations));
    EXPECT_EQ(lines, (std::vector<std::string>{">> \":GR#\"", "<< \"12:34:56#\" 9 of 9 bytes in ~ ms, by count",
                                               ">> \":AT#\"", "<< \"\" 0 of 1 bytes in ~ ms, by time-out",
                                               "-- no acknowledgement, try 1 of 2, 200 ms pause", ">> \":AT#\"",
                                               "<< \"\" 0 of 1 bytes in ~ ms, by time-out",
                                               "-- no acknowledgement, try 2 of 2, 200 ms pause"}));
    ASSERT_EQ(durations.size(), 3u);
    // The 50 ms pause and the transfer; the pause and the 501 ms time-out.
    EXPECT_GE(durations[0], 49.0);
    EXPECT_LT(durations[0], 200.0);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_GE(durations[i], 550.0);
        EXPECT_LT(durations[i], 700.0);
    }
    std::printf("[ figures  ] traced read by count %.1f ms, silent acknowledgements %.1f and %.1f ms\n",
                durations[0], durations[1], durations[2]);
}

} // namespace

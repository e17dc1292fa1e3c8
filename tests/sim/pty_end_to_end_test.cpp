// Starts the real simulator and talks to it through its link the way the
// driver does: open, purge, write, wait 50 ms, read a fixed count with a
// 500 ms + 1 ms/byte timeout, close.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// True if process `pid` has `device` open.
bool holdsOpen(pid_t pid, const std::string& device) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[PATH_MAX];
        const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && device == std::string(target, static_cast<std::size_t>(n))) found = true;
    }
    closedir(d);
    return found;
}

// Runs the binary; kills it by pid if a test bails out early.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(MOUNTSIM_BINARY));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, MOUNTSIM_BINARY, nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    pid_t pid() const { return pid_; }
    // Exit status after the process ends on its own or on `signal`; -1 if it did not end.
    int finish(int signal = 0, double timeout = 5) {
        if (pid_ <= 0) return -1;
        if (signal) kill(pid_, signal);
        const auto start = Clock::now();
        int status = 0;
        while (secondsSince(start) < timeout) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

class Port {
public:
    explicit Port(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) return;
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Port() {
        if (fd_ >= 0) close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    void send(const std::string& command) {
        tcflush(fd_, TCIOFLUSH);
        ASSERT_EQ(write(fd_, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    }

    // Reads until `count` bytes have come or `timeout` seconds have passed.
    std::string read(std::size_t count, double timeout) {
        std::string got;
        const auto start = Clock::now();
        while (got.size() < count) {
            const int left = static_cast<int>((timeout - secondsSince(start)) * 1000);
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char buf[64];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }

    std::string transact(const std::string& command, std::size_t count) {
        send(command);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return read(count, 0.5 + 0.001 * count);
    }

private:
    int fd_ = -1;
};

class MountSimProcess : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mountsim-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        link_ = dir_ + "/ttyMount";
        transcript_ = dir_ + "/transcript.log";
    }
    void TearDown() override {
        if (sim_) {
            EXPECT_EQ(sim_->finish(SIGTERM), 0);
            struct stat st{};
            EXPECT_NE(lstat(link_.c_str(), &st), 0) << "link left behind";
        }
        unlink(transcript_.c_str());
        unlink(link_.c_str());
        rmdir(dir_.c_str());
    }
    void start(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--link", link_, "--transcript", transcript_};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<SimProcess>(args);
        const auto begin = Clock::now();
        struct stat st{};
        while (lstat(link_.c_str(), &st) != 0 && secondsSince(begin) < 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(lstat(link_.c_str(), &st), 0) << "simulator never made its link";
    }
    std::vector<std::string> transcriptLines() {
        std::ifstream in(transcript_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

    std::string dir_, link_, transcript_;
    std::unique_ptr<SimProcess> sim_;
};

}  // namespace

TEST_F(MountSimProcess, AnswersHandshakeAcrossRepeatedOpensAndLogsCommands) {
    start({"--model", "3"});
    for (int i = 0; i < 5; ++i) {
        Port port(link_);
        ASSERT_TRUE(port.isOpen());
        EXPECT_EQ(port.transact(":MountInfo#", 4), "6150") << "open #" << i;
        EXPECT_EQ(port.transact(":V#", 6), "V1.00#") << "open #" << i;
    }
    // Between clients the simulator stays up and keeps the line open itself,
    // so its side never sees a hang-up when a client closes the port.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(sim_->running());
    char device[PATH_MAX];
    const ssize_t n = readlink(link_.c_str(), device, sizeof device - 1);
    ASSERT_GT(n, 0);
    EXPECT_TRUE(holdsOpen(sim_->pid(), std::string(device, static_cast<std::size_t>(n))));
    Port again(link_);
    EXPECT_TRUE(std::regex_match(again.transact(":GR#", 9), std::regex(R"(\d\d:\d\d:\d\d#)")));

    const auto lines = transcriptLines();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], ":MountInfo#");
    EXPECT_EQ(lines[1], ":V#");
    EXPECT_EQ(lines[10], ":GR#");
}

TEST_F(MountSimProcess, LateReplyMissesTheReadWindowAndSilenceSendsNothing) {
    start({"--model", "1", "--fault", ":GR#=late", "--fault", ":GD#=silence"});
    Port port(link_);
    ASSERT_TRUE(port.isOpen());

    const auto sent = Clock::now();
    EXPECT_EQ(port.transact(":GR#", 11), "");  // the driver's read times out
    const std::string late = port.read(11, 1.5);
    const double arrived = secondsSince(sent);
    EXPECT_TRUE(std::regex_match(late, std::regex(R"(\d\d:\d\d:\d\d\.\d#)"))) << late;
    EXPECT_GT(arrived, 0.75);
    EXPECT_LT(arrived, 1.3);

    EXPECT_EQ(port.transact(":GD#", 10), "");
    EXPECT_EQ(port.read(1, 0.3), "");
    EXPECT_EQ(port.transact(":V#", 6), "V1.00#");  // the line is still healthy
    EXPECT_EQ(transcriptLines(), (std::vector<std::string>{":GR#", ":GD#", ":V#"}));
}

TEST_F(MountSimProcess, PacedRepliesTakeSerialLineTime) {
    start({"--model", "2", "--pace"});
    Port port(link_);
    port.send(":CMR#");
    const std::string first = port.read(1, 1.0);
    const auto firstAt = Clock::now();
    const std::string rest = port.read(32, 1.0);
    // 32 more bytes at 10 bits each and 9600 baud take about 33 ms.
    EXPECT_GT(secondsSince(firstAt), 0.025);
    EXPECT_EQ(first + rest, "Coordinates     matched.        #");
}

TEST(MountSimCommandLine, BadArgumentsExitWithUsage) {
    SimProcess noLink({"--model", "1"});
    EXPECT_EQ(noLink.finish(), 2);
    SimProcess badModel({"--model", "7", "--link", "/tmp/never-made"});
    EXPECT_EQ(badModel.finish(), 2);
}

// The real simulator takes its port away when a vanish fault strikes: the
// client's line hangs up, the link disappears, and a new port comes back
// on the same link after the pause asked for.
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
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string linkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

int openPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return fd;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

// Reads up to `count` bytes within `timeout` s; *hungUp tells whether the
// line went away meanwhile.
std::string readFor(int fd, std::size_t count, double timeout, bool* hungUp) {
    std::string got;
    *hungUp = false;
    const auto start = Clock::now();
    while (got.size() < count && secondsSince(start) < timeout) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        if (p.revents & (POLLHUP | POLLERR)) {
            *hungUp = true;
            break;
        }
        char buf[64];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        if (n <= 0) {
            *hungUp = true;
            break;
        }
    }
    return got;
}

}  // namespace

TEST(PortVanishes, LineHangsUpLinkGoesThenANewPortComesBack) {
    char tmpl[] = "/tmp/mountsim-vanish-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, link = dir + "/port", log = dir + "/faults.log";
    const std::vector<std::string> args = {MOUNTSIM_BINARY, "--model", "3",          "--link",     link,
                                           "--fault",       ":GR#=vanish", "--vanish-ms", "400", "--fault-log",
                                           log};
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, MOUNTSIM_BINARY, nullptr, nullptr, argv.data(), environ), 0);

    auto start = Clock::now();
    while (linkTarget(link).empty() && secondsSince(start) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string before = linkTarget(link);
    ASSERT_FALSE(before.empty());

    const int fd = openPort(link);
    ASSERT_GE(fd, 0);
    bool hungUp = false;
    ASSERT_EQ(write(fd, ":GD#", 4), 4);
    EXPECT_EQ(readFor(fd, 10, 1.0, &hungUp).size(), 10u);  // answered while the port is there
    EXPECT_FALSE(hungUp);

    ASSERT_EQ(write(fd, ":GR#", 4), 4);
    const auto pulled = Clock::now();
    EXPECT_EQ(readFor(fd, 9, 1.0, &hungUp), "");
    EXPECT_TRUE(hungUp);
    // Gone for the pause, then a new pty on the same link.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(linkTarget(link), "");
    start = Clock::now();
    while (linkTarget(link).empty() && secondsSince(start) < 5) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(secondsSince(pulled), 0.35);
    ASSERT_FALSE(linkTarget(link).empty());
    close(fd);

    const int again = openPort(link);
    ASSERT_GE(again, 0);
    ASSERT_EQ(write(again, ":GD#", 4), 4);
    EXPECT_EQ(readFor(again, 10, 1.0, &hungUp).size(), 10u);
    close(again);

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream in(log);
    std::string line, all;
    while (std::getline(in, line)) all += line + "\n";
    EXPECT_EQ(all, "vanish :GR#\n");
    std::remove(log.c_str());
    rmdir(dir.c_str());
}

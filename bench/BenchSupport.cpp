#include "BenchSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

double msBetween(Steady::time_point from, Steady::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string describeStatus(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "wait status " + std::to_string(status);
}



std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string lastLines(const std::string& text, std::size_t count)
{
    std::size_t from = text.size();
    for (std::size_t seen = 0; from > 0 && seen <= count; --from)
        if (text[from - 1] == '\n' && ++seen > count)
            break;
    return text.substr(from);
}

bool waitForPath(const std::string& path, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        if (access(path.c_str(), F_OK) == 0)
            return true;
        sleepMs(10);
    }
    return false;
}

int freeLoopbackPort()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(probe);
    return port;
}

// The server's resident set (VmRSS) or its peak (VmHWM), in KiB; -1 when
// it cannot be read.
double memoryKiB(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            return std::strtod(line.c_str() + prefix.size(), nullptr);
    return -1.0;
}

// utime + stime in seconds; -1 when unreadable. The fields are counted
// after the command name's closing parenthesis, which may itself hold
// spaces.
double cpuSeconds(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1.0;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    // After the name: state (3) ... utime (14), stime (15).
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (number == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    if (!fields)
        return -1.0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

std::string cpuModel()
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    return "CPU model unknown";
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

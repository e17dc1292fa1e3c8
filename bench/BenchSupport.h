// What the Alpaca server's bench and load programs share: the programs
// they start and stop on every way out, and small readings of time, files,
// ports and a process's memory. Not a test; built beside them.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

using Steady = std::chrono::steady_clock;

double msBetween(Steady::time_point from, Steady::time_point to);
void sleepMs(int ms);
// A wait status in words ("exit status 1", "signal 9 (Killed)").
std::string describeStatus(int status);
std::string readFile(const std::string& path);
std::string lastLines(const std::string& text, std::size_t count);
bool waitForPath(const std::string& path, int timeoutMs);
int freeLoopbackPort();
// The resident set (VmRSS) or its peak (VmHWM), in KiB; -1 when unreadable.
double memoryKiB(pid_t pid, const char* field);
// The process's processor time so far (utime + stime), in seconds; -1 when
// unreadable.
double cpuSeconds(pid_t pid);
std::string cpuModel();
// The load averages over 1, 5 and 15 minutes, as /proc/loadavg gives them.
std::string loadAverage();

// One program started: its pid, name and how it ended.
struct Child {
    pid_t pid = -1;
    std::string name;
    bool ended = false;  // reaped: its pid may already be another's
    int status = 0;
};

// Everything started, stopped in the reverse order (the server before the
// mounts it holds), once, from the end of main or from the signal thread.
class Children {
public:
    pid_t start(const std::string& name, std::vector<std::string> words, const std::string& logPath)
    {
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        std::lock_guard<std::mutex> lock(mutex);
        if (stopped)
            return -1;
        const pid_t pid = fork();
        if (pid == 0)
            becomeProgram(argv, logPath.c_str(), parent);
        if (pid > 0)
            started.push_back({pid, name});
        return pid;
    }

    bool running(pid_t pid)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Child* child = find(pid);
        return child && !reapIfEnded(*child);
    }

    // How a program that ended did; empty while it runs.
    std::string endedWith(pid_t pid)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Child* child = find(pid);
        return child && reapIfEnded(*child) ? describeStatus(child->status) : "";
    }

    // Sends `signal` to a program still running (not to a pid that may
    // be another's by now); false when it has ended.
    bool signal(pid_t pid, int number)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Child* child = find(pid);
        return child && !reapIfEnded(*child) && ::kill(pid, number) == 0;
    }

    // Ends one program as stopAll does; its wait status, -1 if unknown.
    int stopOne(pid_t pid)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Child* child = find(pid);
        return child ? stop(*child) : -1;
    }

    // SIGTERM, then SIGKILL after a few seconds; the wait statuses by name.
    std::vector<std::pair<std::string, int>> stopAll()
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
        std::vector<std::pair<std::string, int>> statuses;
        for (auto child = started.rbegin(); child != started.rend(); ++child)
            statuses.emplace_back(child->name, stop(*child));
        started.clear();
        return statuses;
    }

private:
    // In the child: only calls that are safe after fork in a threaded
    // program. It dies with the bench, whatever ends the bench.
    [[noreturn]] static void becomeProgram(std::vector<char*>& argv, const char* logPath, pid_t parent)
    {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        const int log = ::open(logPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        // The bench blocks its stop signals for its signal thread; the
        // programs must get theirs.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }

    Child* find(pid_t pid)
    {
        for (Child& child : started)
            if (child.pid == pid)
                return &child;
        return nullptr;
    }

    static bool reapIfEnded(Child& child)
    {
        if (!child.ended && waitpid(child.pid, &child.status, WNOHANG) == child.pid)
            child.ended = true;
        return child.ended;
    }

    static int stop(Child& child)
    {
        if (reapIfEnded(child))
            return child.status;
        kill(child.pid, SIGTERM);
        // One stopped (SIGSTOP) gets its SIGTERM once it goes on.
        kill(child.pid, SIGCONT);
        for (int waited = 0; waited < 5000; waited += 10) {
            if (reapIfEnded(child))
                return child.status;
            sleepMs(10);
        }
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &child.status, 0);
        child.ended = true;
        return child.status;
    }

    std::mutex mutex;
    std::vector<Child> started;
    bool stopped = false;
};

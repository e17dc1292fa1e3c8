// velmaro-mountsim: answers the mount protocol on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/mount_sim.h"
#include "core/options.h"
#include "core/reply_scheduler.h"
#include "pty/pty_port.h"

using velmaro::sim::FrontEndOptions;
using velmaro::sim::MountSim;
using velmaro::sim::MountSnapshot;
using velmaro::sim::ParsedCommandLine;
using velmaro::sim::PtyPort;
using velmaro::sim::Reply;
using velmaro::sim::ReplyScheduler;
using velmaro::sim::parseCommandLine;
using velmaro::sim::usageLine;

namespace {

volatile sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

// Bytes held back by a full line are dropped past this: no client is reading.
constexpr std::size_t kMaxBacklog = 64 * 1024;
// How often the motion is looked at for its log, in seconds.
constexpr double kMotionLogTick = 0.02;

// After EIO the master is not polled for this long, so a vanished client
// cannot turn the loop into a busy spin.
constexpr double kNoClientBackoff = 0.05;

double clockSeconds(clockid_t id) {
    timespec ts{};
    ::clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class Transcript {
public:
    ~Transcript() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(const std::string& path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }
    // One write per line, straight to the file: readers see it at once.
    void record(const std::string& command) {
        if (fd_ < 0) return;
        const std::string line = command + "\n";
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    const ParsedCommandLine parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.status == ParsedCommandLine::Status::Help) {
        std::printf("%s\n", usageLine().c_str());
        return 0;
    }
    if (parsed.status == ParsedCommandLine::Status::Error) {
        std::fprintf(stderr, "velmaro-mountsim: %s\n%s\n", parsed.error.c_str(), usageLine().c_str());
        return 2;
    }
    const FrontEndOptions& opts = parsed.options;

    // Stop signals stay blocked except inside ppoll, so one can never slip in
    // between the check of stopRequested and going to sleep.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGHUP);

    std::string error;
    PtyPort port;
    if (!port.open(&error)) {
        std::fprintf(stderr, "velmaro-mountsim: %s\n", error.c_str());
        return 1;
    }
    Transcript transcript;
    if (!opts.transcriptPath.empty() && !transcript.open(opts.transcriptPath)) {
        std::fprintf(stderr, "velmaro-mountsim: cannot open %s: %s\n", opts.transcriptPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // One line per injected fault: its kind, then the command it spoiled.
    Transcript faultLog;
    if (!opts.faultLogPath.empty() && !faultLog.open(opts.faultLogPath)) {
        std::fprintf(stderr, "velmaro-mountsim: cannot open %s: %s\n", opts.faultLogPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // A line each time the mount starts or stops moving, parks or tracks:
    // "<monotonic ms> slewing parked tracking", each 0 or 1.
    Transcript motionLog;
    if (!opts.motionLogPath.empty() && !motionLog.open(opts.motionLogPath)) {
        std::fprintf(stderr, "velmaro-mountsim: cannot open %s: %s\n", opts.motionLogPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::string lastMotion;
    const bool loggingMotion = !opts.motionLogPath.empty();

    if (!port.link(opts.linkPath, &error)) {
        std::fprintf(stderr, "velmaro-mountsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("velmaro-mountsim: model %d on %s -> %s\n", opts.sim.model, opts.linkPath.c_str(),
                port.slaveName().c_str());
    std::fflush(stdout);

    MountSim sim(opts.sim);
    ReplyScheduler scheduler(opts.pace ? ReplyScheduler::kSecondsPerByteAt9600 : 0.0);
    std::string backlog;  // released bytes the pty has not taken yet
    double quietUntil = 0;
    double reopenAt = 0;  // while the port is away: when it comes back
    int status = 0;

    while (!stopRequested) {
        double now = clockSeconds(CLOCK_MONOTONIC);
        if (!port.isOpen()) {
            if (now < reopenAt) {
                const double wait = reopenAt - now;
                timespec pause{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
                ::ppoll(nullptr, 0, &pause, &waitMask);
                continue;
            }
            if (!port.open(&error) || !port.link(opts.linkPath, &error)) {
                std::fprintf(stderr, "velmaro-mountsim: the port did not come back: %s\n", error.c_str());
                status = 1;
                break;
            }
            continue;
        }
        const bool quiet = now < quietUntil;
        std::optional<double> wake = scheduler.nextWake();
        if (quiet) wake = wake ? std::min(*wake, quietUntil) : quietUntil;
        // The motion is looked at often enough for its log to be on time.
        if (loggingMotion) wake = std::min(wake.value_or(now + kMotionLogTick), now + kMotionLogTick);

        pollfd pfd{};
        pfd.fd = quiet ? -1 : port.master();
        pfd.events = static_cast<short>(POLLIN | (backlog.empty() ? 0 : POLLOUT));
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wake) {
            const double wait = std::max(0.0, *wake - now);
            timeout.tv_sec = static_cast<time_t>(wait);
            timeout.tv_nsec = static_cast<long>((wait - std::floor(wait)) * 1e9);
            timeoutPtr = &timeout;
        }
        const int rc = ::ppoll(&pfd, 1, timeoutPtr, &waitMask);
        if (rc < 0 && errno != EINTR) {
            std::fprintf(stderr, "velmaro-mountsim: ppoll: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        now = clockSeconds(CLOCK_MONOTONIC);
        const double utc = clockSeconds(CLOCK_REALTIME);

        if (rc > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR))) {
            char buf[512];
            for (;;) {
                const ssize_t n = ::read(port.master(), buf, sizeof buf);
                if (n > 0) {
                    bool vanish = false;
                    for (Reply& r : sim.receive(std::string_view(buf, static_cast<std::size_t>(n)), now, utc)) {
                        transcript.record(r.command);
                        if (r.fault) faultLog.record(std::string(faultKindName(*r.fault)) + " " + r.command);
                        vanish = vanish || r.vanish;
                        scheduler.schedule(std::move(r.bytes), now + r.delaySeconds);
                    }
                    if (vanish) {
                        // Nothing queued survives the pulled cable.
                        port.close();
                        scheduler = ReplyScheduler(opts.pace ? ReplyScheduler::kSecondsPerByteAt9600 : 0.0);
                        backlog.clear();
                        reopenAt = now + opts.vanishSeconds;
                        break;
                    }
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                // EIO: no client on the line.  Not fatal; wait for the next one.
                quietUntil = now + kNoClientBackoff;
                backlog.clear();
                break;
            }
        }

        if (loggingMotion) {
            sim.update(now, utc);
            const MountSnapshot s = sim.state();
            const std::string motion = std::string(s.slewing ? "1" : "0") + " " + (s.parked ? "1" : "0") + " " +
                                       (s.tracking ? "1" : "0");
            if (motion != lastMotion) {
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "%.1f ", now * 1000.0);
                motionLog.record(stamp + motion);
                lastMotion = motion;
            }
        }

        if (!port.isOpen()) continue;
        backlog += scheduler.release(now);
        if (!backlog.empty() && now >= quietUntil) {
            const ssize_t n = ::write(port.master(), backlog.data(), backlog.size());
            if (n > 0) {
                backlog.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                backlog.clear();
            }
        }
        if (backlog.size() > kMaxBacklog) backlog.clear();
    }

    port.unlink();
    return status;
}

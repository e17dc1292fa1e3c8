// Decides when reply bytes go on the line: after their delay and, when
// pacing, no faster than a 9600 baud serial line (10 bits per byte).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace velmaro::sim {

class ReplyScheduler {
public:
    static constexpr double kSecondsPerByteAt9600 = 10.0 / 9600.0;
    // A client that writes without reading must not queue up minutes of
    // stale replies ahead of the next client's; the oldest give way.
    static constexpr std::size_t kMaxPendingBytes = 4096;

    // secondsPerByte 0 sends each reply whole as soon as it is due.
    explicit ReplyScheduler(double secondsPerByte = 0.0) : secondsPerByte_(secondsPerByte) {}

    void schedule(std::string bytes, double dueSeconds);

    // Everything that may be written by `now`, in line order.  Replies never
    // interleave: one that has started finishes before a later one begins.
    std::string release(double now);

    // When release() will next have something; nothing pending gives nullopt.
    std::optional<double> nextWake() const;

    bool idle() const { return pending_.empty(); }

private:
    double secondsPerByte_;
    std::multimap<double, std::string> pending_;  // due time -> bytes not yet sent
    std::size_t pendingBytes_ = 0;
    double lineFreeAt_ = 0.0;                      // when the previous paced byte has gone
    bool lineUsed_ = false;
};

}  // namespace velmaro::sim

// Reads that overlap share one exchange: a read of a member that comes
// while the same read is queued for the mount or under way takes that
// read's answer instead of queuing an exchange of its own. No answer is
// older than the exchange it came from; with a maximum age set, a read may
// also take an answer finished at most that many milliseconds ago.
#pragma once

#include "AlpacaResponse.h"
#include "Clock.h"
#include "Outcome.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class SharedReads {
public:
    struct Result {
        Outcome outcome;
        Json value;
    };

    explicit SharedReads(Clock& clock) : clock(clock) {}
    void setMaxAgeMs(std::uint32_t ms) { maxAgeMs = ms; }

    // The result of read() for key: this caller's own, or that of the same
    // read already queued or under way (or, within the maximum age, just
    // finished).
    Result read(const std::string& key, const std::function<Result()>& read);

    // Reads answered by another caller's exchange, and reads made.
    std::uint64_t shared() const;
    std::uint64_t made() const;

private:
    struct Pending {
        std::optional<Result> result;
        std::condition_variable done;
    };
    struct Finished {
        Result result;
        std::uint64_t atMs;
    };

    Clock& clock;
    std::uint32_t maxAgeMs = 0;
    mutable std::mutex mutex;
    std::map<std::string, std::shared_ptr<Pending>> pending;
    std::map<std::string, Finished> finished;
    std::uint64_t sharedCount = 0;
    std::uint64_t madeCount = 0;
};

// Reads that overlap share one exchange: a read of a member that comes
// while the same read is queued for the mount or under way takes that
// read's answer instead of queuing an exchange of its own. No answer is
// older than the exchange it came from; with a maximum age set, a read
// that would wait for the mount (another call holds it or waits for it)
// may also take a good answer finished at most that many milliseconds
// ago, as long as the link is open and, member by member (recentAnswerOf),
// never for the mount's clock or a pulse, and for what a motion changes
// only while the mount is still: programs polling the same members out of
// step then share one exchange a member, instead of each asking the mount
// again while the others wait. With the mount free, a read is made afresh.
//
// Each read's last good value is kept with when it was made, for those
// that answer from the freshest values (DeviceState). A write that may
// change what a read gives makes that read's kept values count as gone
// until it is read again, and a read asked after it never shares an
// exchange begun before it.
#pragma once

#include "AlpacaResponse.h"
#include "Clock.h"
#include "Outcome.h"
#include "TelescopeMembers.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class SharedReads {
public:
    struct Result {
        Outcome outcome;
        Json value;
    };
    // A read's last good value and when its exchange ended.
    struct Fresh {
        Json value;
        std::uint64_t steadyMs = 0;
        std::int64_t wallMs = 0;
    };

    // mountBusy: whether a read now would wait for the mount, over an open
    // link; mountMoving: whether a motion may be under way.
    explicit SharedReads(Clock& clock, std::function<bool()> mountBusy = [] { return true; },
                         std::function<bool()> mountMoving = [] { return false; })
        : clock(clock), mountBusy(std::move(mountBusy)), mountMoving(std::move(mountMoving))
    {
    }
    void setMaxAgeMs(std::uint32_t ms) { maxAgeMs = ms; }

    // The result of read() for key: this caller's own, or that of the same
    // read already queued or under way (or, within the maximum age, just
    // finished).
    Result read(Member key, const std::function<Result()>& read);

    // A read the device made within a turn it holds, kept as any other
    // (it does not go through read(), which could wait for a read queued
    // behind that very turn).
    void keep(Member key, const Json& value);
    // The last good value of key, unless a write has changed it since that
    // read began.
    std::optional<Fresh> fresh(Member key) const;
    // A write that may change what the reads of keys give has been asked
    // for: no answer finished before it is taken within the maximum age,
    // though the kept values stand until the write is over.
    void writeAsked(const std::vector<Member>& keys);
    // A write that may have changed what the reads of keys give is over.
    void changedByWrite(const std::vector<Member>& keys);
    // The link closed: nothing read before counts.
    void forgetAll();

    // Reads answered by another caller's exchange, and reads made.
    std::uint64_t shared() const;
    std::uint64_t made() const;

private:
    struct Pending {
        std::optional<Result> result;
        std::condition_variable done;
        // The count of writes when the read began.
        std::uint64_t startedAfterWrite = 0;
    };
    struct Finished {
        Result result;
        std::uint64_t atMs;
        // The count of writes when the read began.
        std::uint64_t startedAfterWrite;
        // Made while a motion may have been under way: what it says of the
        // position, or of the motion, may no longer hold.
        bool whileMoving;
    };
    struct Kept {
        Fresh fresh;
        std::uint64_t startedAfterWrite;
    };

    // Whether a read that began after write `started` is still good.
    bool unchangedSince(Member key, std::uint64_t started) const;
    // The answer just finished that a read of key may take now, if any.
    const Finished* recentFor(Member key);
    void finish(Member key, const Result& result, std::uint64_t started);
    void forgetPending(Member key, const std::shared_ptr<Pending>& read);

    Clock& clock;
    const std::function<bool()> mountBusy;
    const std::function<bool()> mountMoving;
    std::uint32_t maxAgeMs = 0;
    mutable std::mutex mutex;
    std::map<Member, std::shared_ptr<Pending>> pending;
    std::map<Member, Finished> finished;
    std::map<Member, Kept> kept;
    // Writes counted, and for each key the count at the last write that
    // changed it.
    std::uint64_t writes = 0;
    std::map<Member, std::uint64_t> changedAtWrite;
    // For each key the count at the last write asked for that may change it.
    std::map<Member, std::uint64_t> askedAtWrite;
    std::uint64_t sharedCount = 0;
    std::uint64_t madeCount = 0;
};

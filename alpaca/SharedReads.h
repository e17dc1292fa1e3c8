// Reads that overlap share one exchange: a read of a member that comes
// while the same read is queued for the mount or under way takes that
// read's answer instead of queuing an exchange of its own. No answer is
// older than the exchange it came from; with a maximum age set, a read
// that would wait for the mount (another call holds it or waits for it)
// may also take a good answer finished at most that many milliseconds
// ago (the settings and the mount's clock: kSettledAgeFactor times that),
// as long as the link is open and, member by member (recentAnswerOf),
// never for a pulse, for the mount's clock moved on by the time since, and
// for what a motion changes only while no such motion may be under way:
// programs polling the same members out of step then share one exchange a
// member, instead of each asking the mount again while the others wait.
// With the mount free, a read is made afresh.
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
        // For an answer taken from a moment ago, the wall-clock time its
        // value holds for: when it was made, or now for one moved on since;
        // 0 for one made for this read or a read it joined.
        std::int64_t heldAtWallMs = 0;
    };
    // A read's last good value and when its exchange ended.
    struct Fresh {
        Json value;
        std::uint64_t steadyMs = 0;
        std::int64_t wallMs = 0;
    };

    // mountBusy: whether a read now would wait for the mount, over an open
    // link; motion: the motion that may be under way.
    explicit SharedReads(Clock& clock, std::function<bool()> mountBusy = [] { return true; },
                         std::function<Motion()> motion = [] { return Motion::None; })
        : clock(clock), mountBusy(std::move(mountBusy)), motion(std::move(motion))
    {
    }
    void setMaxAgeMs(std::uint32_t ms) { maxAgeMs = ms; }

    // The result of read() for key: this caller's own, or that of the same
    // read already queued or under way (or, within the maximum age, just
    // finished).
    Result read(Member key, const std::function<Result()>& read);

    // The read this thread is making takes the mount for its exchange now:
    // its answer comes after every write over by now, whenever it was asked.
    // The device calls this within the turn, before the exchange.
    void exchangeBegins();
    // A read the device made within a turn it holds, kept as any other
    // (it does not go through read(), which could wait for a read queued
    // behind that very turn).
    void keep(Member key, const Json& value);
    // The last good value of key, unless a write has changed it since that
    // read began.
    std::optional<Fresh> fresh(Member key) const;
    // A write that may change what the reads of keys give has been asked
    // for: until it is over (writeOver, with the same keys), no answer to a
    // read asked before it is taken within the maximum age, though the kept
    // values stand.
    void writeAsked(const std::vector<Member>& keys);
    void writeOver(const std::vector<Member>& keys);
    // What the reads of keys give may have changed (a write over, or the
    // mount's own doing): no answer whose exchange began before counts.
    void changedByWrite(const std::vector<Member>& keys);
    // The link closed: nothing read before counts.
    void forgetAll();

    // Reads answered by another caller's exchange, and reads made.
    std::uint64_t shared() const;
    std::uint64_t made() const;

private:
    struct Pending {
        const SharedReads* owner = nullptr;
        std::optional<Result> result;
        std::condition_variable done;
        // The count of writes when the read began, and the count its answer
        // comes after: the same, or, once its exchange began, the count then.
        std::uint64_t startedAfterWrite = 0;
        std::uint64_t answerAfterWrite = 0;
        bool exchangeBegun = false;
    };
    struct Finished {
        Result result;
        std::uint64_t atMs;
        std::int64_t atWallMs;
        // The count of writes when the read began, and the count its answer
        // comes after.
        std::uint64_t startedAfterWrite;
        std::uint64_t answerAfterWrite;
        // The motion that may have been under way as it was made: what it
        // says of the position, or of the motion, may no longer hold.
        Motion madeDuring;
    };
    struct Kept {
        Fresh fresh;
        // The count of writes its answer comes after.
        std::uint64_t answerAfterWrite;
    };

    // Whether a read that began after write `started` is still good.
    bool unchangedSince(Member key, std::uint64_t started) const;
    // The motion that may be under way, a write that changes Slewing
    // counting as one; the mutex held.
    Motion motionNow() const;
    // The answer just finished that a read of key may take now, if any.
    const Finished* recentFor(Member key);
    // Whether a finished answer of this kind still holds, as to the motion.
    bool holdsThroughMotion(RecentAnswer kind, const Finished& recent) const;
    void finish(Member key, const Result& result, std::uint64_t started, std::uint64_t answerAfter);
    void forgetPending(Member key, const std::shared_ptr<Pending>& read);

    // The read this thread is making, while its read function runs.
    static thread_local Pending* making;

    Clock& clock;
    const std::function<bool()> mountBusy;
    const std::function<Motion()> motion;
    std::uint32_t maxAgeMs = 0;
    mutable std::mutex mutex;
    std::map<Member, std::shared_ptr<Pending>> pending;
    std::map<Member, Finished> finished;
    std::map<Member, Kept> kept;
    // Writes counted, and for each key the count at the last write that
    // changed it.
    std::uint64_t writes = 0;
    std::map<Member, std::uint64_t> changedAtWrite;
    // For each key, the count at the last write asked for that may change
    // it, and how many of those are not over.
    struct Asked {
        std::uint64_t atWrite = 0;
        unsigned underWay = 0;
    };
    std::map<Member, Asked> writesAsked;
    std::uint64_t sharedCount = 0;
    std::uint64_t madeCount = 0;
};

// A reading as read elapsedMs ago, moved on where it runs on by itself: the
// mount's date, and its sidereal time (wrapped within 24 hours); any other
// as read.
Json movedOn(Member member, const Json& value, std::int64_t elapsedMs);

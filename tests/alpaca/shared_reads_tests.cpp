// Reads that overlap share one exchange, but never across a write that
// changed the answer: a read asked after the write makes its own exchange
// rather than take one begun before it, and the older answer, ending last,
// does not take the newer one's place among the kept values.
#include "SharedReads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A read held under way until released, as a read waiting on the mount.
class HeldRead {
public:
    explicit HeldRead(Json value) : value(std::move(value)) {}
    SharedReads::Result operator()()
    {
        std::unique_lock<std::mutex> lock(mutex);
        started = true;
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        return {Outcome::success(), value};
    }
    void waitStarted()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return started; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

private:
    Json value;
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool released = false;
};

struct Case {
    const char* what;
    bool writeBetween;
    // What the second read gets, and the value kept once both ended.
    bool secondMadeItsOwn;
    Json kept;
};

const Case kCases[] = {
    {"two reads at once share one exchange", false, false, Json(false)},
    {"a read after a write that changed the answer makes its own", true, true, Json(true)},
};

} // namespace

TEST(SharedReads, OverlappingReadsShareButNeverAcrossAWrite)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        SharedReads reads(systemClock());
        HeldRead before(Json(false));
        auto first = std::async(std::launch::async, [&] { return reads.read(Member::Slewing, std::ref(before)); });
        before.waitStarted();
        if (c.writeBetween)
            reads.changedByWrite({Member::Slewing});
        bool secondRan = false;
        auto second = std::async(std::launch::async, [&] {
            return reads.read(Member::Slewing, [&] {
                secondRan = true;
                return SharedReads::Result{Outcome::success(), Json(true)};
            });
        });
        // The second ends on its own when it made its own read; when it
        // joined the first, only with it.
        if (c.secondMadeItsOwn) {
            EXPECT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready)
                << "the read after the write waited for the one begun before it";
        } else {
            // The second is under way only once it has joined the first.
            for (int waited = 0; reads.shared() == 0 && waited < 5000; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        before.release();
        EXPECT_EQ(first.get().value, Json(false));
        EXPECT_EQ(second.get().value, c.secondMadeItsOwn ? Json(true) : Json(false));
        EXPECT_EQ(secondRan, c.secondMadeItsOwn);
        ASSERT_TRUE(reads.fresh(Member::Slewing).has_value());
        EXPECT_EQ(reads.fresh(Member::Slewing)->value, c.kept);
        EXPECT_EQ(reads.made(), c.secondMadeItsOwn ? 2u : 1u);
    }
}

namespace {

// A clock that moves only when told.
class StillClock final : public Clock {
public:
    std::uint64_t steadyMs() override { return steady; }
    std::int64_t wallMs() override { return 1767225600000LL + std::int64_t(steady); }
    void sleepMs(std::uint32_t milliseconds) override { steady += milliseconds; }

    std::uint64_t steady = 1000000;
};

struct AgeCase {
    const char* what;
    std::uint32_t maxAgeMs;
    bool mountBusy;
    std::uint64_t ageMs; // of the first answer when the second read comes
    enum { NoWrite, WriteAsked, WriteOver } write;
    // Whether a motion may be under way as the first read ends, and as the
    // second comes.
    bool movingAtFirst;
    bool movingAtSecond;
    bool takesTheFirst;
};

const AgeCase kAgeCases[] = {
    {"the mount free: read afresh", 1000, false, 100, AgeCase::NoWrite, false, false, false},
    {"the mount busy, within the age: the first answer", 1000, true, 100, AgeCase::NoWrite, false, false, true},
    {"the mount busy, at the age: the first answer", 1000, true, 1000, AgeCase::NoWrite, false, false, true},
    {"the mount busy, past the age: read afresh", 1000, true, 1001, AgeCase::NoWrite, false, false, false},
    {"no age allowed: read afresh", 0, true, 0, AgeCase::NoWrite, false, false, false},
    {"a write asked since the first, not yet over: read afresh", 1000, true, 100, AgeCase::WriteAsked, false, false,
     false},
    {"a write over since the first: read afresh", 1000, true, 100, AgeCase::WriteOver, false, false, false},
    {"the mount moving now: read afresh", 1000, true, 100, AgeCase::NoWrite, false, true, false},
    {"the first made while the mount moved, now still: read afresh", 1000, true, 100, AgeCase::NoWrite, true, false,
     false},
};

} // namespace

// Declination: what a motion changes.
TEST(SharedReads, AFinishedAnswerIsTakenOnlyWhileTheMountIsBusyAndStillWithinTheAgeAndWithNoWriteSince)
{
    for (const AgeCase& c : kAgeCases) {
        SCOPED_TRACE(c.what);
        StillClock clock;
        bool moving = c.movingAtFirst;
        SharedReads reads(clock, [&] { return c.mountBusy; }, [&] { return moving; });
        reads.setMaxAgeMs(c.maxAgeMs);
        const auto answering = [](double value) {
            return [value] { return SharedReads::Result{Outcome::success(), Json(value)}; };
        };
        EXPECT_EQ(reads.read(Member::Declination, answering(10.0)).value, Json(10.0));
        clock.steady += c.ageMs;
        moving = c.movingAtSecond;
        if (c.write == AgeCase::WriteAsked)
            reads.writeAsked({Member::Declination});
        if (c.write == AgeCase::WriteOver)
            reads.changedByWrite({Member::Declination});
        EXPECT_EQ(reads.read(Member::Declination, answering(20.0)).value, Json(c.takesTheFirst ? 10.0 : 20.0));
        EXPECT_EQ(reads.made(), c.takesTheFirst ? 1u : 2u);
        // Another member's answer is never taken.
        EXPECT_EQ(reads.read(Member::Azimuth, answering(5.0)).value, Json(5.0));
        // A write only asked for leaves the kept value standing.
        if (c.write != AgeCase::WriteOver) {
            ASSERT_TRUE(reads.fresh(Member::Declination).has_value());
        }
    }
}

TEST(SharedReads, NeitherAClockNorAPulseNorAFailureIsTakenFromAMomentAgoASettingEvenWhileMoving)
{
    const struct {
        Member member;
        bool takesTheFirst;
    } cases[] = {
        {Member::SiderealTime, false}, {Member::UTCDate, false}, {Member::IsPulseGuiding, false},
        {Member::SiteLatitude, true},
        {Member::GuideRateDeclination, true}, {Member::TrackingRate, true}, {Member::RightAscension, false},
    };
    // A failure is never taken: the mount silent a moment ago may answer now.
    {
        StillClock clock;
        SharedReads reads(clock);
        reads.setMaxAgeMs(1000);
        reads.read(Member::SiteLatitude, [] {
            return SharedReads::Result{Outcome::failure(OutcomeKind::Failure, "The mount is not answering"), Json()};
        });
        clock.steady += 10;
        const SharedReads::Result second =
            reads.read(Member::SiteLatitude, [] { return SharedReads::Result{Outcome::success(), Json(48.5)}; });
        EXPECT_TRUE(second.outcome.isSuccess());
        EXPECT_EQ(second.value, Json(48.5));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(memberName(c.member)));
        StillClock clock;
        SharedReads reads(clock, [] { return true; }, [] { return true; });
        reads.setMaxAgeMs(1000);
        reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(1.0)}; });
        clock.steady += 10;
        EXPECT_EQ(reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(2.0)}; }).value,
                  Json(c.takesTheFirst ? 1.0 : 2.0));
    }
}

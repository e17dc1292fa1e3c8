// Reads that overlap share one exchange, but never across a write that
// changed the answer: a read asked after the write makes its own exchange
// rather than take one begun before it, and the older answer, ending last,
// does not take the newer one's place among the kept values.
#include "SharedReads.h"
#include "RequestValues.h"

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
    // The motion that may be under way as the first read ends, and as the
    // second comes.
    Motion atFirst;
    Motion atSecond;
    bool takesTheFirst;
};

constexpr Motion kStill = Motion::None;
constexpr Motion kSlew = Motion::Slew;
constexpr Motion kPark = Motion::ParkOrHomeSearch;

const AgeCase kAgeCases[] = {
    {"the mount free: read afresh", 1000, false, 100, AgeCase::NoWrite, kStill, kStill, false},
    {"the mount busy, within the age: the first answer", 1000, true, 100, AgeCase::NoWrite, kStill, kStill, true},
    {"the mount busy, at the age: the first answer", 1000, true, 1000, AgeCase::NoWrite, kStill, kStill, true},
    {"the mount busy, past the age: read afresh", 1000, true, 1001, AgeCase::NoWrite, kStill, kStill, false},
    {"no age allowed: read afresh", 0, true, 0, AgeCase::NoWrite, kStill, kStill, false},
    {"a write asked since the first, not yet over: read afresh", 1000, true, 100, AgeCase::WriteAsked, kStill,
     kStill, false},
    {"a write over since the first: read afresh", 1000, true, 100, AgeCase::WriteOver, kStill, kStill, false},
    {"the mount moving now: read afresh", 1000, true, 100, AgeCase::NoWrite, kStill, kSlew, false},
    {"the first made while the mount moved, now still: read afresh", 1000, true, 100, AgeCase::NoWrite, kSlew,
     kStill, false},
};

} // namespace

// Declination: what a motion changes.
TEST(SharedReads, AFinishedAnswerIsTakenOnlyWhileTheMountIsBusyAndStillWithinTheAgeAndWithNoWriteSince)
{
    for (const AgeCase& c : kAgeCases) {
        SCOPED_TRACE(c.what);
        StillClock clock;
        Motion motion = c.atFirst;
        SharedReads reads(clock, [&] { return c.mountBusy; }, [&] { return motion; });
        reads.setMaxAgeMs(c.maxAgeMs);
        const auto answering = [](double value) {
            return [value] { return SharedReads::Result{Outcome::success(), Json(value)}; };
        };
        EXPECT_EQ(reads.read(Member::Declination, answering(10.0)).value, Json(10.0));
        clock.steady += c.ageMs;
        motion = c.atSecond;
        if (c.write != AgeCase::NoWrite)
            reads.writeAsked({Member::Declination});
        if (c.write == AgeCase::WriteOver)
            reads.writeOver({Member::Declination});
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

TEST(SharedReads, NeitherAPulseNorAFailureIsTakenFromAMomentAgoASettingEvenWhileMoving)
{
    const struct {
        Member member;
        bool takesTheFirst;
    } cases[] = {
        {Member::IsPulseGuiding, false},       {Member::SiteLatitude, true},   {Member::GuideRateDeclination, true},
        {Member::TrackingRate, true},          {Member::RightAscension, false},
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
        SharedReads reads(clock, [] { return true; }, [] { return kPark; });
        reads.setMaxAgeMs(1000);
        reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(1.0)}; });
        clock.steady += 10;
        EXPECT_EQ(reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(2.0)}; }).value,
                  Json(c.takesTheFirst ? 1.0 : 2.0));
    }
}

// The mount's clock runs on by itself: a moment-old answer is given as it
// would read now, whatever the mount does.
TEST(SharedReads, TheMountsClockIsTakenFromAMomentAgoMovedOnByTheTimeSince)
{
    const struct {
        Member member;
        Json first;
        std::uint64_t ageMs;
        Json given;
    } cases[] = {
        {Member::SiderealTime, Json(6.0), 0, Json(6.0)},
        {Member::SiderealTime, Json(6.0), 1000, Json(6.0 + 1.00273790935 / 3600.0)},
        // Past 24 hours, round to 0.
        {Member::SiderealTime, Json(23.9999), 1000, Json(23.9999 + 1.00273790935 / 3600.0 - 24.0)},
        {Member::UTCDate, Json("2026-12-09T21:59:59.7500000Z"), 250, Json("2026-12-09T22:00:00.0000000Z")},
        {Member::UTCDate, Json("2026-12-31T23:59:59.5000000Z"), 1000, Json("2027-01-01T00:00:00.5000000Z")},
        // An answer that is no time is given as it came.
        {Member::UTCDate, Json("garbled"), 500, Json("garbled")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(memberName(c.member)) + " " + c.first.dump() + " after " + std::to_string(c.ageMs));
        StillClock clock;
        SharedReads reads(clock, [] { return true; }, [] { return kPark; });
        reads.setMaxAgeMs(1000);
        reads.read(c.member, [&] { return SharedReads::Result{Outcome::success(), c.first}; });
        clock.steady += c.ageMs;
        const SharedReads::Result taken =
            reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json()}; });
        const Json& given = taken.value;
        EXPECT_EQ(reads.made(), 1u);
        // Moved on, it holds for now.
        EXPECT_EQ(taken.heldAtWallMs, clock.wallMs());
        // A date holds its time to a few tenths of a microsecond.
        UtcTime expected{}, got{};
        if (c.given.is_number()) {
            ASSERT_TRUE(given.is_number());
            EXPECT_NEAR(given.get<double>(), c.given.get<double>(), 1e-9);
        } else if (readUtcDate(c.given.get<std::string>(), expected)) {
            ASSERT_TRUE(given.is_string() && readUtcDate(given.get<std::string>(), got)) << given;
            EXPECT_NEAR((got - expected).count() * 86400.0, 0.0, 1e-6) << given;
        } else {
            EXPECT_EQ(given, c.given);
        }
    }
}

// A slew moves the mount and ends by itself, but leaves parked, at home and
// tracking as its own write made them: those alone outlast it. A park or a
// home search changes them as it ends.
TEST(SharedReads, WhatASlewLeavesAloneIsTakenFromAMomentAgoDuringItButNotDuringAParkOrAHomeSearch)
{
    const struct {
        Member member;
        Motion atFirst;
        Motion atSecond;
        bool takesTheFirst;
    } cases[] = {
        {Member::Declination, kStill, kStill, true}, {Member::Declination, kSlew, kSlew, false},
        {Member::Declination, kStill, kSlew, false}, {Member::Slewing, kStill, kSlew, false},
        {Member::Tracking, kSlew, kSlew, true},      {Member::Tracking, kStill, kSlew, true},
        {Member::Tracking, kSlew, kStill, true},     {Member::Tracking, kPark, kStill, false},
        {Member::Tracking, kStill, kPark, false},    {Member::AtPark, kSlew, kSlew, true},
        {Member::AtPark, kPark, kPark, false},       {Member::AtPark, kSlew, kPark, false},
        {Member::AtHome, kSlew, kSlew, true},        {Member::AtHome, kPark, kSlew, false},
        {Member::SiteLatitude, kPark, kPark, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(memberName(c.member)) + ", motion " + std::to_string(int(c.atFirst)) + " then "
                     + std::to_string(int(c.atSecond)));
        StillClock clock;
        Motion motion = c.atFirst;
        SharedReads reads(clock, [] { return true; }, [&] { return motion; });
        reads.setMaxAgeMs(1000);
        reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(true)}; });
        clock.steady += 100;
        motion = c.atSecond;
        EXPECT_EQ(reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(false)}; }).value,
                  Json(c.takesTheFirst));
    }
}

// The settings and the mount's clock change only when written (which makes
// them stale at once) or from the hand pad: they are taken from longer ago
// than what the mount's own motion or limits change.
TEST(SharedReads, TheSettingsAndTheMountsClockAreTakenFromFiveTimesTheMaximumAgeAgo)
{
    const struct {
        Member member;
        std::uint64_t ageMs;
        bool writeOver;
        bool takesTheFirst;
    } cases[] = {
        {Member::SiteLatitude, 5000, false, true},          {Member::SiteLatitude, 5001, false, false},
        {Member::SiteLatitude, 100, true, false},           {Member::GuideRateDeclination, 4000, false, true},
        {Member::SiderealTime, 5000, false, true},          {Member::UTCDate, 5001, false, false},
        {Member::Tracking, 1000, false, true},              {Member::Tracking, 1001, false, false},
        {Member::Declination, 1001, false, false},          {Member::SideOfPier, 1001, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(memberName(c.member)) + " after " + std::to_string(c.ageMs) + " ms"
                     + (c.writeOver ? ", written since" : ""));
        StillClock clock;
        SharedReads reads(clock, [] { return true; });
        reads.setMaxAgeMs(1000);
        reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(1.0)}; });
        clock.steady += c.ageMs;
        if (c.writeOver) {
            reads.writeAsked({c.member});
            reads.writeOver({c.member});
        }
        reads.read(c.member, [] { return SharedReads::Result{Outcome::success(), Json(2.0)}; });
        EXPECT_EQ(reads.made(), c.takesTheFirst ? 1u : 2u);
    }
}

// "It moves", said during the motion that may still be under way, can only
// be late by its age in telling that the motion has ended; nothing else of
// the motion is taken while it lasts. The taken answer keeps its own time.
TEST(SharedReads, ThatTheMountMovesIsTakenFromAQuarterSecondAgoDuringTheMotionButNotThatItStopped)
{
    const struct {
        bool first;
        Motion atFirst;
        Motion atSecond;
        std::uint64_t ageMs;
        bool takesTheFirst;
    } cases[] = {
        {true, kSlew, kSlew, 250, true},    {true, kSlew, kSlew, 251, false},  {true, kPark, kPark, 100, true},
        {true, kSlew, kPark, 100, true},    {false, kSlew, kSlew, 100, false}, {false, kPark, kPark, 100, false},
        {true, kStill, kSlew, 100, false},  {true, kSlew, kStill, 100, false}, {false, kStill, kStill, 100, true},
        {false, kStill, kSlew, 100, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first ? "moving" : "still") + ", motion " + std::to_string(int(c.atFirst))
                     + " then " + std::to_string(int(c.atSecond)) + ", " + std::to_string(c.ageMs) + " ms");
        StillClock clock;
        Motion motion = c.atFirst;
        SharedReads reads(clock, [] { return true; }, [&] { return motion; });
        reads.setMaxAgeMs(1000);
        const std::int64_t firstMadeAt = clock.wallMs();
        reads.read(Member::Slewing, [&] { return SharedReads::Result{Outcome::success(), Json(c.first)}; });
        clock.steady += c.ageMs;
        motion = c.atSecond;
        const SharedReads::Result second =
            reads.read(Member::Slewing, [&] { return SharedReads::Result{Outcome::success(), Json(!c.first)}; });
        EXPECT_EQ(second.value, Json(c.takesTheFirst ? c.first : !c.first));
        EXPECT_EQ(second.heldAtWallMs, c.takesTheFirst ? firstMadeAt : 0);
        // The position is never taken during a motion, however fresh.
        reads.read(Member::RightAscension, [] { return SharedReads::Result{Outcome::success(), Json(1.0)}; });
        clock.steady += 1;
        EXPECT_EQ(reads.read(Member::RightAscension, [] { return SharedReads::Result{Outcome::success(), Json(2.0)}; })
                      .value,
                  Json(c.atSecond == kStill ? 1.0 : 2.0));
    }
}

// A read waits for the mount behind a write: its answer, made once the
// write is over, is from after it, and stands for it, though the read was
// asked before.
TEST(SharedReads, AnAnswerWhoseExchangeBeganOnceAWriteWasOverCountsAsFromAfterIt)
{
    enum When { BeforeTheExchange, AfterTheExchangeBegan, WithNoExchange };
    const struct {
        const char* what;
        When writeOver;
        bool countsAsAfter;
    } cases[] = {
        {"the write over before the exchange began", BeforeTheExchange, true},
        {"the write over once the exchange had begun", AfterTheExchangeBegan, false},
        {"the write over, and no exchange made (refused at once)", WithNoExchange, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StillClock clock;
        SharedReads reads(clock);
        reads.setMaxAgeMs(1000);
        const auto write = [&] {
            reads.writeAsked({Member::Tracking});
            reads.writeOver({Member::Tracking});
        };
        reads.read(Member::Tracking, [&] {
            if (c.writeOver != AfterTheExchangeBegan)
                write();
            if (c.writeOver != WithNoExchange)
                reads.exchangeBegins();
            if (c.writeOver == AfterTheExchangeBegan)
                write();
            return SharedReads::Result{Outcome::success(), Json(true)};
        });
        clock.steady += 10;
        EXPECT_EQ(reads.fresh(Member::Tracking).has_value(), c.countsAsAfter);
        const auto answeringFalse = [] { return SharedReads::Result{Outcome::success(), Json(false)}; };
        EXPECT_EQ(reads.read(Member::Tracking, answeringFalse).value, Json(c.countsAsAfter));
    }
}

// A slew asked for, a synchronous one above all, may have the mount moving
// before the device knows of a slew: until it is over, the position is
// asked afresh, and an answer made meanwhile is not taken after it either.
TEST(SharedReads, WhileAWriteThatMovesTheMountIsUnderWayThePositionIsAskedAfresh)
{
    StillClock clock;
    SharedReads reads(clock);
    reads.setMaxAgeMs(1000);
    const auto answering = [](Json value) {
        return [value] { return SharedReads::Result{Outcome::success(), value}; };
    };
    reads.read(Member::Declination, answering(Json(10.0)));
    reads.read(Member::Tracking, answering(Json(true)));
    const std::vector<Member> slew = {Member::SlewToCoordinates, Member::Slewing, Member::AtHome};
    reads.writeAsked(slew);
    clock.steady += 100;
    EXPECT_EQ(reads.read(Member::Declination, answering(Json(20.0))).value, Json(20.0));
    EXPECT_EQ(reads.read(Member::Tracking, answering(Json(false))).value, Json(true));
    reads.writeOver(slew);
    clock.steady += 100;
    EXPECT_EQ(reads.read(Member::Declination, answering(Json(30.0))).value, Json(30.0));
    EXPECT_EQ(reads.read(Member::Declination, answering(Json(40.0))).value, Json(30.0));
}

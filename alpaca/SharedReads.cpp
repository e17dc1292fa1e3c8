#include "SharedReads.h"

#include "RequestValues.h"

#include <chrono>
#include <cmath>

thread_local SharedReads::Pending* SharedReads::making = nullptr;

SharedReads::Result SharedReads::read(Member key, const std::function<Result()>& read)
{
    std::unique_lock<std::mutex> lock(mutex);
    // A read under way since before a write that changed its answer is
    // not joined: its answer may be from before the write.
    if (auto found = pending.find(key);
        found != pending.end() && unchangedSince(key, found->second->answerAfterWrite)) {
        std::shared_ptr<Pending> joined = found->second;
        ++sharedCount;
        joined->done.wait(lock, [&] { return joined->result.has_value(); });
        return *joined->result;
    }
    if (const Finished* recent = recentFor(key)) {
        ++sharedCount;
        const bool runsOn = recentAnswerOf(key) == RecentAnswer::MovedOn;
        return {recent->result.outcome,
                movedOn(key, recent->result.value, std::int64_t(clock.steadyMs() - recent->atMs)),
                runsOn ? clock.wallMs() : recent->atWallMs};
    }
    auto mine = std::make_shared<Pending>();
    mine->owner = this;
    mine->startedAfterWrite = writes;
    mine->answerAfterWrite = writes;
    pending[key] = mine;
    ++madeCount;
    lock.unlock();

    // Whatever the read does, those waiting on it are answered.
    std::optional<Result> result;
    struct Making {
        Pending* outer;
        explicit Making(Pending* read) : outer(making) { making = read; }
        ~Making() { making = outer; }
    };
    try {
        const Making underWay(mine.get());
        result.emplace(read());
    } catch (...) {
        lock.lock();
        mine->result.emplace(Result{Outcome::failure(OutcomeKind::Failure, "The read failed"), Json()});
        forgetPending(key, mine);
        mine->done.notify_all();
        throw;
    }
    lock.lock();
    mine->result = result;
    forgetPending(key, mine);
    finish(key, *result, mine->startedAfterWrite, mine->answerAfterWrite);
    mine->done.notify_all();
    return *result;
}

namespace {

// Sidereal hours gone by in an hour of the clock.
constexpr double kSiderealHoursPerHour = 1.00273790935;

// Whether an answer of this kind still holds through the motion.
bool outlastsMotion(RecentAnswer kind, Motion motion)
{
    switch (kind) {
    case RecentAnswer::WhileStill:
    case RecentAnswer::SaidMoving:
        return motion == Motion::None;
    case RecentAnswer::BesideSlews:
        return motion != Motion::ParkOrHomeSearch;
    default:
        return true;
    }
}

} // namespace

const SharedReads::Finished* SharedReads::recentFor(Member key)
{
    const RecentAnswer kind = recentAnswerOf(key);
    if (maxAgeMs == 0 || kind == RecentAnswer::Never)
        return nullptr;
    const bool settled = kind == RecentAnswer::Always || kind == RecentAnswer::MovedOn;
    const std::uint64_t ageLimitMs = std::uint64_t(maxAgeMs) * (settled ? kSettledAgeFactor : 1);
    // A failure tells of its moment only: the next read asks again.
    auto recent = finished.find(key);
    if (recent == finished.end() || !recent->second.result.outcome.isSuccess()
        || clock.steadyMs() - recent->second.atMs > ageLimitMs || !unchangedSince(key, recent->second.answerAfterWrite))
        return nullptr;
    // Nor to a read asked before a write that is not over yet.
    const auto asked = writesAsked.find(key);
    if (asked != writesAsked.end() && asked->second.underWay > 0
        && recent->second.startedAfterWrite < asked->second.atWrite)
        return nullptr;
    if (!holdsThroughMotion(kind, recent->second))
        return nullptr;
    return mountBusy() ? &recent->second : nullptr;
}

bool SharedReads::holdsThroughMotion(RecentAnswer kind, const Finished& recent) const
{
    const Motion now = motionNow();
    if (outlastsMotion(kind, recent.madeDuring) && outlastsMotion(kind, now))
        return true;
    // "It moves", said during the motion under way, a moment ago.
    return kind == RecentAnswer::SaidMoving && now != Motion::None && recent.madeDuring != Motion::None
        && recent.result.value == Json(true) && clock.steadyMs() - recent.atMs <= kSaidMovingMs;
}

Motion SharedReads::motionNow() const
{
    const Motion known = motion();
    // A write that starts or stops a motion (a slew, a synchronous one
    // too, an abort, a park) may have the mount moving before it is over.
    const auto asked = writesAsked.find(Member::Slewing);
    if (known == Motion::None && asked != writesAsked.end() && asked->second.underWay > 0)
        return Motion::Slew;
    return known;
}

void SharedReads::forgetPending(Member key, const std::shared_ptr<Pending>& read)
{
    // A later read of the key may have taken its place.
    if (auto found = pending.find(key); found != pending.end() && found->second == read)
        pending.erase(found);
}

void SharedReads::finish(Member key, const Result& result, std::uint64_t started, std::uint64_t answerAfter)
{
    const std::uint64_t now = clock.steadyMs();
    if (maxAgeMs > 0)
        finished.insert_or_assign(key, Finished{result, now, clock.wallMs(), started, answerAfter, motionNow()});
    if (!result.outcome.isSuccess())
        return;
    // A read that a write overtook does not take the place of a value kept
    // since that write.
    auto existing = kept.find(key);
    if (!unchangedSince(key, answerAfter) && existing != kept.end()
        && unchangedSince(key, existing->second.answerAfterWrite))
        return;
    kept.insert_or_assign(key, Kept{Fresh{result.value, now, clock.wallMs()}, answerAfter});
}

void SharedReads::exchangeBegins()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (making && making->owner == this && !making->exchangeBegun) {
        making->exchangeBegun = true;
        making->answerAfterWrite = writes;
    }
}

void SharedReads::keep(Member key, const Json& value)
{
    std::lock_guard<std::mutex> lock(mutex);
    finish(key, Result{Outcome::success(), value}, writes, writes);
}

bool SharedReads::unchangedSince(Member key, std::uint64_t started) const
{
    auto changed = changedAtWrite.find(key);
    return changed == changedAtWrite.end() || started >= changed->second;
}

std::optional<SharedReads::Fresh> SharedReads::fresh(Member key) const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto found = kept.find(key);
    if (found == kept.end() || !unchangedSince(key, found->second.answerAfterWrite))
        return std::nullopt;
    return found->second.fresh;
}

void SharedReads::changedByWrite(const std::vector<Member>& keys)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++writes;
    for (Member key : keys)
        changedAtWrite[key] = writes;
}

void SharedReads::writeAsked(const std::vector<Member>& keys)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++writes;
    for (Member key : keys) {
        writesAsked[key].atWrite = writes;
        ++writesAsked[key].underWay;
    }
}

void SharedReads::writeOver(const std::vector<Member>& keys)
{
    changedByWrite(keys);
    std::lock_guard<std::mutex> lock(mutex);
    for (Member key : keys)
        if (Asked& asked = writesAsked[key]; asked.underWay > 0)
            --asked.underWay;
}

void SharedReads::forgetAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    finished.clear();
    kept.clear();
    changedAtWrite.clear();
    // Writes under way stay so until they are over.
}

std::uint64_t SharedReads::shared() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sharedCount;
}

std::uint64_t SharedReads::made() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return madeCount;
}

Json movedOn(Member member, const Json& value, std::int64_t elapsedMs)
{
    UtcTime date{};
    if (member == Member::UTCDate && value.is_string() && readUtcDate(value.get<std::string>(), date))
        return formatUtcDate(date + std::chrono::duration_cast<MountDays>(std::chrono::milliseconds(elapsedMs)));
    if (member == Member::SiderealTime && value.is_number()) {
        const double hours = value.get<double>() + double(elapsedMs) / 3600000.0 * kSiderealHoursPerHour;
        return std::fmod(std::fmod(hours, 24.0) + 24.0, 24.0);
    }
    return value;
}

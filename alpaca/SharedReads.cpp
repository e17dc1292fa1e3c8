#include "SharedReads.h"

SharedReads::Result SharedReads::read(Member key, const std::function<Result()>& read)
{
    std::unique_lock<std::mutex> lock(mutex);
    // A read under way since before a write that changed its answer is
    // not joined: its answer may be from before the write.
    if (auto found = pending.find(key);
        found != pending.end() && unchangedSince(key, found->second->startedAfterWrite)) {
        std::shared_ptr<Pending> joined = found->second;
        ++sharedCount;
        joined->done.wait(lock, [&] { return joined->result.has_value(); });
        return *joined->result;
    }
    if (const Finished* recent = recentFor(key)) {
        ++sharedCount;
        return recent->result;
    }
    auto mine = std::make_shared<Pending>();
    mine->startedAfterWrite = writes;
    pending[key] = mine;
    ++madeCount;
    const std::uint64_t started = writes;
    lock.unlock();

    // Whatever the read does, those waiting on it are answered.
    std::optional<Result> result;
    try {
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
    finish(key, *result, started);
    mine->done.notify_all();
    return *result;
}

const SharedReads::Finished* SharedReads::recentFor(Member key)
{
    const RecentAnswer kind = recentAnswerOf(key);
    if (maxAgeMs == 0 || kind == RecentAnswer::Never)
        return nullptr;
    // A failure tells of its moment only: the next read asks again.
    auto recent = finished.find(key);
    if (recent == finished.end() || !recent->second.result.outcome.isSuccess()
        || clock.steadyMs() - recent->second.atMs > maxAgeMs || !unchangedSince(key, recent->second.startedAfterWrite))
        return nullptr;
    // Nor from before a write asked for and not over yet.
    const auto asked = askedAtWrite.find(key);
    if (asked != askedAtWrite.end() && recent->second.startedAfterWrite < asked->second)
        return nullptr;
    if (kind == RecentAnswer::WhileStill && (recent->second.whileMoving || mountMoving()))
        return nullptr;
    return mountBusy() ? &recent->second : nullptr;
}

void SharedReads::forgetPending(Member key, const std::shared_ptr<Pending>& read)
{
    // A later read of the key may have taken its place.
    if (auto found = pending.find(key); found != pending.end() && found->second == read)
        pending.erase(found);
}

void SharedReads::finish(Member key, const Result& result, std::uint64_t started)
{
    const std::uint64_t now = clock.steadyMs();
    if (maxAgeMs > 0)
        finished.insert_or_assign(key, Finished{result, now, started, mountMoving()});
    if (!result.outcome.isSuccess())
        return;
    // A read that a write overtook does not take the place of a value kept
    // since that write.
    auto existing = kept.find(key);
    if (!unchangedSince(key, started) && existing != kept.end()
        && unchangedSince(key, existing->second.startedAfterWrite))
        return;
    kept.insert_or_assign(key, Kept{Fresh{result.value, now, clock.wallMs()}, started});
}

void SharedReads::keep(Member key, const Json& value)
{
    std::lock_guard<std::mutex> lock(mutex);
    finish(key, Result{Outcome::success(), value}, writes);
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
    if (found == kept.end() || !unchangedSince(key, found->second.startedAfterWrite))
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
    for (Member key : keys)
        askedAtWrite[key] = writes;
}

void SharedReads::forgetAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    finished.clear();
    kept.clear();
    changedAtWrite.clear();
    askedAtWrite.clear();
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

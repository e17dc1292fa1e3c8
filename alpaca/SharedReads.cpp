#include "SharedReads.h"

SharedReads::Result SharedReads::read(const std::string& key, const std::function<Result()>& read)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (auto found = pending.find(key); found != pending.end()) {
        std::shared_ptr<Pending> joined = found->second;
        ++sharedCount;
        joined->done.wait(lock, [&] { return joined->result.has_value(); });
        return *joined->result;
    }
    if (maxAgeMs > 0) {
        auto recent = finished.find(key);
        if (recent != finished.end() && clock.steadyMs() - recent->second.atMs <= maxAgeMs) {
            ++sharedCount;
            return recent->second.result;
        }
    }
    auto mine = std::make_shared<Pending>();
    pending[key] = mine;
    ++madeCount;
    lock.unlock();

    // Whatever the read does, those waiting on it are answered.
    std::optional<Result> result;
    try {
        result.emplace(read());
    } catch (...) {
        lock.lock();
        mine->result.emplace(Result{Outcome::failure(OutcomeKind::Failure, "The read failed"), Json()});
        pending.erase(key);
        mine->done.notify_all();
        throw;
    }
    lock.lock();
    mine->result = result;
    pending.erase(key);
    if (maxAgeMs > 0)
        finished.insert_or_assign(key, Finished{*result, clock.steadyMs()});
    mine->done.notify_all();
    return *result;
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

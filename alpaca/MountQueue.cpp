#include "MountQueue.h"

#include <algorithm>

namespace {
// Clients remembered for the round; beyond it the longest idle is forgotten
// (a forgotten client counts as never served, so it loses nothing).
constexpr std::size_t kRememberedClients = 4096;
}

std::size_t MountQueue::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return waiters.size();
}

bool MountQueue::idle() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return !busy && waiters.empty();
}

void MountQueue::acquire(Urgency urgency, std::uint32_t client)
{
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t ticket = nextTicket++;
    if (!busy && waiters.empty()) {
        busy = true;
        lastTurn[client] = ++turns;
        return;
    }
    waiters.push_back({ticket, urgency, client});
    takeTurn(lock, ticket, client);
}

void MountQueue::takeTurn(std::unique_lock<std::mutex>& lock, std::uint64_t ticket, std::uint32_t client)
{
    turnChanged.wait(lock, [&] { return chosen == ticket; });
    chosen = 0;
    waiters.erase(std::find_if(waiters.begin(), waiters.end(), [&](const Waiter& w) { return w.ticket == ticket; }));
    lastTurn[client] = ++turns;
    if (lastTurn.size() > kRememberedClients) {
        auto oldest = std::min_element(lastTurn.begin(), lastTurn.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
        lastTurn.erase(oldest);
    }
}

void MountQueue::letStopsThrough(std::uint32_t client)
{
    std::unique_lock<std::mutex> lock(mutex);
    const auto isStop = [](const Waiter& waiter) { return waiter.urgency == Urgency::Motion; };
    if (std::none_of(waiters.begin(), waiters.end(), isStop))
        return;
    // Back in line as a stop, after those waiting (stops go in arrival
    // order), and so before every other call.
    const std::uint64_t ticket = nextTicket++;
    waiters.push_back({ticket, Urgency::Motion, client});
    chosen = chooseNext();
    turnChanged.notify_all();
    takeTurn(lock, ticket, client);
}

std::uint64_t MountQueue::chooseNext() const
{
    const Waiter* best = nullptr;
    auto servedAt = [this](std::uint32_t client) {
        auto found = lastTurn.find(client);
        return found == lastTurn.end() ? 0 : found->second;
    };
    for (const Waiter& waiter : waiters) {
        if (!best) {
            best = &waiter;
            continue;
        }
        if (waiter.urgency != best->urgency) {
            if (waiter.urgency == Urgency::Motion)
                best = &waiter;
            continue;
        }
        // Same urgency: motion in arrival order; the others by whose turn
        // came longest ago, then arrival (the deque is in arrival order).
        if (waiter.urgency == Urgency::Normal && servedAt(waiter.client) < servedAt(best->client))
            best = &waiter;
    }
    return best->ticket;
}

void MountQueue::release()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (waiters.empty()) {
        busy = false;
        return;
    }
    // The mount passes straight to the next caller: busy stays set.
    chosen = chooseNext();
    turnChanged.notify_all();
}

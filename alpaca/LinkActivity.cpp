#include "LinkActivity.h"

void LinkActivity::noteExchanges(std::uint64_t steadyMs, std::uint64_t total)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint64_t added = total >= lastTotal ? total - lastTotal : total;
    lastTotal = total;
    if (added == 0)
        return;
    const std::uint64_t second = steadyMs / 1000;
    Second& slot = seconds[second % kSeconds];
    if (slot.second != second)
        slot = Second{second, 0};
    slot.exchanges += added;
}

double LinkActivity::exchangesPerSecond(std::uint64_t steadyMs) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint64_t now = steadyMs / 1000;
    std::uint64_t sum = 0;
    for (const Second& slot : seconds)
        if (slot.second + kSeconds > now && slot.second <= now)
            sum += slot.exchanges;
    return double(sum) / double(kSeconds);
}

void LinkActivity::noteError(const std::string& text, std::int64_t wallMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    error = Error{text, wallMs};
}

LinkActivity::Error LinkActivity::lastError() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return error;
}

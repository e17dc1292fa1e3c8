#include "ClientLedger.h"

#include <algorithm>

namespace {

// Notes from several threads may come a little out of order.
std::uint64_t silentFor(std::uint64_t nowMs, std::uint64_t heardMs)
{
    return nowMs > heardMs ? nowMs - heardMs : 0;
}

} // namespace

void ClientLedger::forgetSilent(std::uint64_t steadyMs)
{
    for (auto it = clients.begin(); it != clients.end();)
        it = silentFor(steadyMs, it->second.lastHeardMs) >= kForgetAfterMs ? clients.erase(it) : std::next(it);
    if (clients.size() < kMostClients)
        return;
    auto longestSilent = std::min_element(clients.begin(), clients.end(), [](const auto& a, const auto& b) {
        return a.second.lastHeardMs < b.second.lastHeardMs;
    });
    clients.erase(longestSilent);
}

void ClientLedger::noteRequest(std::uint32_t client, std::uint64_t steadyMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (clients.find(client) == clients.end())
        forgetSilent(steadyMs);
    Client& entry = clients[client];
    entry.lastHeardMs = std::max(entry.lastHeardMs, steadyMs);
    const std::uint64_t second = steadyMs / 1000;
    Second& slot = entry.seconds[second % kSeconds];
    if (slot.second != second)
        slot = Second{second, 0};
    ++slot.requests;
}

std::vector<ClientLedger::Row> ClientLedger::rows(std::uint64_t steadyMs) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::uint64_t now = steadyMs / 1000;
    std::vector<Row> heard;
    for (const auto& [client, entry] : clients) {
        if (silentFor(steadyMs, entry.lastHeardMs) >= kForgetAfterMs)
            continue;
        Row row{client, 0, entry.lastHeardMs};
        for (const Second& slot : entry.seconds)
            if (slot.second + kSeconds > now && slot.second <= now)
                row.requestsLastMinute += slot.requests;
        heard.push_back(row);
    }
    std::sort(heard.begin(), heard.end(), [](const Row& a, const Row& b) { return a.lastHeardMs > b.lastHeardMs; });
    return heard;
}

// Who has been talking to a mount, for the status page: each ClientID heard
// lately, its requests over the last minute and when it was last heard.
// Bounded: a client silent for ten minutes is forgotten, and past the most
// kept the longest silent one makes room.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

class ClientLedger {
public:
    void noteRequest(std::uint32_t client, std::uint64_t steadyMs);

    struct Row {
        std::uint32_t client = 0;
        std::uint64_t requestsLastMinute = 0;
        std::uint64_t lastHeardMs = 0;
    };
    // The clients heard within the last ten minutes, most recent first.
    std::vector<Row> rows(std::uint64_t steadyMs) const;

    static constexpr std::size_t kMostClients = 64;
    static constexpr std::uint64_t kForgetAfterMs = 600000;

private:
    static constexpr std::size_t kSeconds = 60;
    struct Second {
        std::uint64_t second = 0;
        std::uint64_t requests = 0;
    };
    struct Client {
        std::array<Second, kSeconds> seconds{};
        std::uint64_t lastHeardMs = 0;
    };
    void forgetSilent(std::uint64_t steadyMs);

    mutable std::mutex mutex;
    std::map<std::uint32_t, Client> clients;
};

// What the status page tells of a mount's link besides its state: how busy
// it has been (exchanges a second over the last minute), and the last error
// it gave with its time. Noted by the device after each call on the mount;
// read by the status API at any time, without a turn.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

class LinkActivity {
public:
    // total: the link's exchanges so far (ExchangeTally::exchanges); a total
    // lower than the last one is a new connection's count.
    void noteExchanges(std::uint64_t steadyMs, std::uint64_t total);
    // Exchanges a second over the minute before steadyMs.
    double exchangesPerSecond(std::uint64_t steadyMs) const;

    struct Error {
        std::string text;
        // 0: none yet.
        std::int64_t wallMs = 0;
    };
    void noteError(const std::string& text, std::int64_t wallMs);
    Error lastError() const;

private:
    static constexpr std::size_t kSeconds = 60;
    struct Second {
        std::uint64_t second = 0;
        std::uint64_t exchanges = 0;
    };
    mutable std::mutex mutex;
    std::array<Second, kSeconds> seconds{};
    std::uint64_t lastTotal = 0;
    Error error;
};

// The link's most at 9600 baud with the mount's pause before each reply.
constexpr double kLinkCeilingPerSecond = 20.0;

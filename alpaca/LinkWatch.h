// The link to one mount as the server watches it, so that a device that
// goes and comes back, or a mount that falls silent for a while, costs the
// clients nothing but errors while it lasts: they stay connected, and each
// request that needs the mount is refused at once with a transient error
// instead of waiting out the silence. What the watch decides, and the
// texts it says, are here; TelescopeDevice does the exchanges.
#pragma once

#include "CommandChannel.h"
#include "Outcome.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

class LinkWatch {
public:
    enum class State { Open, DeviceGone, MountSilent };

    // device: how the log and the messages name the mount's device.
    explicit LinkWatch(std::string device) : device(std::move(device)) {}
    // The device the link opens now (the setup page may have changed it).
    void setDevice(std::string name);

    State state() const;
    // What a request that needs the mount is told while the link is down;
    // nothing while it is open.
    std::optional<Outcome> refusal() const;

    // A call's exchanges, from the tally before it to the one after: the
    // outcome its client gets. An exchange the mount left unanswered, or a
    // reply that could not be used, is an error to the client; the third
    // unanswered exchange in a row makes the mount silent (logLine then
    // says so).
    Outcome judge(const ExchangeTally& before, const ExchangeTally& after, const Outcome& outcome,
                  std::uint64_t steadyMs, std::int64_t wallMs, std::string& logLine);

    // The device went away under the open port: the log's line.
    std::string deviceGone(std::uint64_t steadyMs, std::int64_t wallMs);
    // Whether the handshake is due again: about once a second for a device
    // that went, every 1.5 s for a silent mount. Marks it tried.
    bool handshakeDue(std::uint64_t steadyMs);
    // The device is there again but the mount does not answer yet: the
    // log's line. It counts as silent from now on.
    std::string deviceBackButSilent(std::uint64_t steadyMs);
    // The mount answered the handshake again: the log's line, with how long
    // the link was down. The link is open again.
    std::string back(std::uint64_t steadyMs, const std::string& model);
    // Forgets any outage (a disconnect, or a model that changed).
    void reset();

    // For the setup page: "open", "gone since …", "silent since …" (UTC).
    std::string describe() const;
    // When the outage began, as wall milliseconds; 0 while open.
    std::int64_t downSinceWall() const;

private:
    std::string outageText(State state) const;

    mutable std::mutex mutex;
    std::string device;
    State current = State::Open;
    std::uint64_t downSinceSteadyMs = 0;
    std::int64_t downSinceWallMs = 0;
    std::uint64_t lastHandshakeMs = 0;
};

// Unanswered exchanges in a row that make the mount silent.
constexpr std::uint32_t kSilentExchanges = 3;
// How often the device is looked for while gone, and the handshake tried
// while the mount is silent: a mount back in the middle is served within
// 2 s (an attempt's read of 0.5 s, the models told apart in up to 0.6 s),
// and a stop sent into the silence seldom waits behind an attempt.
constexpr std::uint32_t kDeviceLookMs = 1000;
constexpr std::uint32_t kSilentHandshakeMs = 1500;

// The text of a read the mount left unanswered, and its start while the
// mount counts as silent.
constexpr const char* kMountNotAnswering = "The mount is not answering";

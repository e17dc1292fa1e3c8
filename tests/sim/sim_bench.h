// A mount simulator driven on a test clock.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "core/mount_sim.h"

namespace velmaro::sim::testing {

// 2026-03-20 03:00:00 UTC: an ordinary night, away from any date boundary.
constexpr double kTestUtc = 1773975600.0;

inline SimConfig modelConfig(int model, double latitude = 48.5) {
    SimConfig c;
    c.model = model;
    c.latitudeDeg = latitude;
    return c;
}

// Hours as the HH:MM:SS a client sends, from whole seconds.
inline std::string hms(long long seconds) {
    seconds = ((seconds % 86400) + 86400) % 86400;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return buf;
}

class Bench {
public:
    explicit Bench(SimConfig config, double utc = kTestUtc) : sim(std::move(config)), utc_(utc) {
        sim.update(now_, utc_);
    }

    // Sends bytes and returns everything that would go on the line.
    std::string ask(const std::string& bytes) {
        std::string out;
        for (const Reply& r : sim.receive(bytes, now_, utc_)) out += r.bytes;
        return out;
    }

    void wait(double seconds) {
        now_ += seconds;
        utc_ += seconds;
        sim.update(now_, utc_);
    }

    // Waits in small steps until a slew ends; returns the time it took.
    double waitForSlewEnd(double step = 0.05, double limit = 600) {
        double waited = 0;
        while (sim.state().slewing && waited < limit) {
            wait(step);
            waited += step;
        }
        return waited;
    }

    MountSnapshot state() const { return sim.state(); }
    double now() const { return now_; }

    MountSim sim;

private:
    double now_ = 1000.0;
    double utc_;
};

}  // namespace velmaro::sim::testing

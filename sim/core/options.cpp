#include "core/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

namespace velmaro::sim {

namespace {

std::optional<double> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<FaultKind> parseFaultKind(const std::string& text) { return faultKindFromName(text); }

std::optional<unsigned long long> parseCount(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
        return std::nullopt;
    }
    return std::stoull(text);
}

ParsedCommandLine failure(std::string message) {
    ParsedCommandLine r;
    r.status = ParsedCommandLine::Status::Error;
    r.error = std::move(message);
    return r;
}

}  // namespace

std::string usageLine() {
    return "usage: velmaro-mountsim --model 1|2|3 --link PATH [--transcript FILE] [--pace]"
           " [--fault CMD=silence|garbage|truncated|late|noise|overlong|out-of-range|vanish]..."
           " [--random-faults PERCENT] [--seed N] [--fault-log FILE] [--motion-log FILE] [--vanish-ms MS] [--slew-rate DEG_PER_S]"
           " [--latitude DEG] [--longitude DEG_EAST] [--utc-offset HOURS]";
}

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine out;
    FrontEndOptions& o = out.options;
    bool haveModel = false;

    struct Range {
        const char* name;
        double* target;
        double lo, hi;
        bool loOpen;
    };
    const Range ranges[] = {
        {"--slew-rate", &o.sim.slewRateDegPerSec, 0.0, 1000.0, true},
        {"--latitude", &o.sim.latitudeDeg, -90.0, 90.0, false},
        {"--longitude", &o.sim.longitudeDeg, -180.0, 180.0, false},
        {"--utc-offset", &o.sim.utcOffsetHours, -14.0, 14.0, false},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name == "--help" || name == "-h") {
            out.status = ParsedCommandLine::Status::Help;
            return out;
        }
        if (name == "--pace") {
            if (value) return failure("--pace takes no value");
            o.pace = true;
            continue;
        }
        if (name != "--model" && name != "--link" && name != "--transcript" && name != "--fault" &&
            name != "--slew-rate" && name != "--latitude" && name != "--longitude" && name != "--utc-offset" &&
            name != "--random-faults" && name != "--seed" && name != "--fault-log" && name != "--vanish-ms" &&
            name != "--motion-log") {
            return failure("unknown option '" + name + "'");
        }
        if (!value) {
            if (i + 1 >= args.size()) return failure(name + " needs a value");
            value = args[++i];
        }
        if (name == "--model") {
            if (*value != "1" && *value != "2" && *value != "3") return failure("--model must be 1, 2 or 3");
            o.sim.model = (*value)[0] - '0';
            haveModel = true;
        } else if (name == "--link") {
            if (value->empty()) return failure("--link needs a path");
            o.linkPath = *value;
        } else if (name == "--transcript") {
            if (value->empty()) return failure("--transcript needs a path");
            o.transcriptPath = *value;
        } else if (name == "--fault") {
            // Split at the last '=' so the command text may contain one.
            const auto at = value->rfind('=');
            if (at == std::string::npos || at == 0 || (*value)[0] != ':') {
                return failure("--fault wants CMD=KIND with CMD starting with ':'");
            }
            const auto kind = parseFaultKind(value->substr(at + 1));
            if (!kind) return failure("unknown fault kind in '" + *value + "'");
            o.sim.faults[value->substr(0, at)] = *kind;
        } else if (name == "--random-faults") {
            const auto v = parseCount(*value);
            if (!v || *v > 100) return failure("--random-faults wants a percent from 0 to 100");
            o.sim.randomFaultPercent = static_cast<int>(*v);
        } else if (name == "--seed") {
            const auto v = parseCount(*value);
            if (!v) return failure("--seed wants a whole number");
            o.sim.faultSeed = *v;
        } else if (name == "--fault-log") {
            if (value->empty()) return failure("--fault-log needs a path");
            o.faultLogPath = *value;
        } else if (name == "--motion-log") {
            if (value->empty()) return failure("--motion-log needs a path");
            o.motionLogPath = *value;
        } else if (name == "--vanish-ms") {
            const auto v = parseCount(*value);
            if (!v || *v > 60000) return failure("--vanish-ms wants milliseconds from 0 to 60000");
            o.vanishSeconds = static_cast<double>(*v) / 1000.0;
        } else {
            for (const Range& r : ranges) {
                if (name != r.name) continue;
                const auto v = parseNumber(*value);
                if (!v || *v > r.hi || *v < r.lo || (r.loOpen && *v == r.lo)) {
                    return failure(name + " value '" + *value + "' is not a number in range");
                }
                *r.target = *v;
            }
        }
    }
    if (!haveModel) return failure("--model is required");
    if (o.linkPath.empty()) return failure("--link is required");
    out.status = ParsedCommandLine::Status::Run;
    return out;
}

}  // namespace velmaro::sim

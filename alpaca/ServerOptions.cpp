// The velmaro-alpaca command line. Every option is one row of kOptions, so
// the parser and the --help text cannot disagree about names or defaults.
#include "ServerOptions.h"

#include "SimulatedSerialPort.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace {

// Model: a mount model, 1 to 3. Simulator: one of the simulator's own
// options, handed to it as given (its ranges, its reasons).
enum class Kind { Text, Address, Port, Flag, Model, Simulator };

struct Option {
    const char* name;      // without the leading "--"
    Kind kind;
    const char* argName;   // for --help; nullptr for a flag
    std::string ServerOptions::*text;
    int ServerOptions::*number;
    bool ServerOptions::*flag;
    int lowest;            // the smallest port accepted (Port only)
    const char* help;
    // The simulator's setting it gives, for its default (Simulator only).
    double velmaro::sim::SimConfig::*simulated = nullptr;
};

using velmaro::sim::SimConfig;

const Option kOptions[] = {
    {"serial", Kind::Text, "DEVICE", &ServerOptions::serial, nullptr, nullptr, 0,
     "the mount's serial device (default: the one saved in the config file)"},
    {"simulate", Kind::Model, "MODEL", nullptr, &ServerOptions::simulate, nullptr, 0,
     "serve a simulated mount of model MODEL (1, 2 or 3) inside the server as mount 0, in place of a serial"
     " device (not with --serial)"},
    {"latitude", Kind::Simulator, "DEG", nullptr, nullptr, nullptr, 0,
     "the simulated mount's site latitude, north positive, -90 to 90",
     &SimConfig::latitudeDeg},
    {"longitude", Kind::Simulator, "DEG", nullptr, nullptr, nullptr, 0,
     "the simulated mount's site longitude, east positive, -180 to 180",
     &SimConfig::longitudeDeg},
    {"utc-offset", Kind::Simulator, "HOURS", nullptr, nullptr, nullptr, 0,
     "the simulated mount's clock's hours ahead of UTC, -14 to 14",
     &SimConfig::utcOffsetHours},
    {"slew-rate", Kind::Simulator, "DEG_PER_S", nullptr, nullptr, nullptr, 0,
     "the simulated mount's slew rate on each axis in degrees a second, above 0 to 1000",
     &SimConfig::slewRateDegPerSec},
    {"http-port", Kind::Port, "N", nullptr, &ServerOptions::httpPort, nullptr, 1,
     "the HTTP port for Alpaca clients and the setup page, 1 to 65535"},
    {"listen", Kind::Address, "ADDRESS", &ServerOptions::listen, nullptr, nullptr, 0,
     "the numeric IPv4 or IPv6 address to serve on; 0.0.0.0 or :: for every interface"},
    {"discovery-port", Kind::Port, "N", nullptr, &ServerOptions::discoveryPort, nullptr, 0,
     "the UDP discovery port, 0 to turn discovery off"},
    {"config", Kind::Text, "FILE", &ServerOptions::configPath, nullptr, nullptr, 0,
     "the config file (default: $XDG_CONFIG_HOME/velmaro/alpaca.conf, else ~/.config/velmaro/alpaca.conf)"},
    {"state-dir", Kind::Text, "DIR", &ServerOptions::stateDir, nullptr, nullptr, 0,
     "keep what the server writes (UniqueID, the setup page's choices) in DIR/alpaca.conf, and only read"
     " --config (default: the server writes its config file)"},
    {"trace-dir", Kind::Text, "DIR", &ServerOptions::traceDir, nullptr, nullptr, 0,
     "write a trace of every connection into DIR (default: no trace)"},
    {"client-timeout", Kind::Port, "SECONDS", nullptr, &ServerOptions::clientTimeoutSeconds, nullptr, 1,
     "a connected client silent for SECONDS counts as gone, 1 to 65535"},
    {"max-age-ms", Kind::Port, "N", nullptr, &ServerOptions::maxAgeMs, nullptr, 0,
     "while the mount is busy, a read may take an answer finished up to N ms ago (the settings and the mount's"
     " clock: 5 N), 0 to 65535; 0: only one still to come"},
    {"fresh-ms", Kind::Port, "N", nullptr, &ServerOptions::freshMs, nullptr, 0,
     "while clients are connected, the server's own reads keep the position (and, while DeviceState is"
     " asked, its readings) no older than N ms, 0 to 65535; 0 turns them off"},
    {"allow-remote-setup", Kind::Flag, nullptr, nullptr, nullptr, &ServerOptions::allowRemoteSetup, 0,
     "let other machines change the settings on the setup page (default: only this machine)"},
    {"help", Kind::Flag, nullptr, nullptr, nullptr, &ServerOptions::help, 0, "print this help and exit"},
    {"version", Kind::Flag, nullptr, nullptr, nullptr, &ServerOptions::version, 0, "print the version and exit"},
};

constexpr int kHighestPort = 65535;
constexpr std::size_t kLongestEcho = 64;

const Option* findOption(const std::string& name)
{
    for (const Option& option : kOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

// Text from the command line as it may be quoted in a reason: printable
// ASCII only and bounded, so the reason stays one short line.
std::string printable(const std::string& text)
{
    std::string shown;
    for (char c : text) {
        if (shown.size() == kLongestEcho) {
            shown += "...";
            break;
        }
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return shown;
}

// Strict decimal: digits only, no sign, no spaces; false above `highest`
// (checked while reading, so no length of digits overflows).
bool readNumber(const std::string& text, int highest, int& value)
{
    if (text.empty())
        return false;
    long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
        if (result > highest)
            return false;
    }
    value = int(result);
    return true;
}

std::string portReason(const Option& option)
{
    return std::string("--") + option.name + " needs a number from " + std::to_string(option.lowest) + " to " +
           std::to_string(kHighestPort);
}

bool applyValue(const Option& option, const std::string& value, ServerOptions& options, std::string& error)
{
    switch (option.kind) {
    case Kind::Port: {
        int port = 0;
        if (!readNumber(value, kHighestPort, port) || port < option.lowest) {
            error = portReason(option);
            return false;
        }
        options.*option.number = port;
        return true;
    }
    case Kind::Address:
        if (!isNumericAddress(value)) {
            error = std::string("--") + option.name + " needs a numeric IPv4 or IPv6 address, not \"" +
                    printable(value) + "\"";
            return false;
        }
        options.*option.text = value;
        options.listenGiven = true;
        return true;
    case Kind::Text:
        if (value.empty()) {
            error = std::string("--") + option.name + " needs a value";
            return false;
        }
        options.*option.text = value;
        return true;
    case Kind::Model:
        if (value != "1" && value != "2" && value != "3") {
            error = std::string("--") + option.name + " needs a mount model: 1, 2 or 3";
            return false;
        }
        options.*option.number = value[0] - '0';
        return true;
    case Kind::Simulator:
        options.simulatorOptions.push_back(std::string("--") + option.name);
        options.simulatorOptions.push_back(value);
        return true;
    case Kind::Flag:
        break;
    }
    return false;
}

// The simulator's reason, as one line of printable text.
std::string printableLine(const std::string& text)
{
    std::string shown;
    for (char c : text)
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    return shown;
}

// What only a whole command line can refuse: a simulated mount and a
// serial device for the one mount, or the simulator's settings with no
// simulator.
bool checkTogether(const ServerOptions& options, std::string& error)
{
    if (options.simulate != 0 && !options.serial.empty()) {
        error = "--simulate and --serial cannot be given together: the simulated mount takes mount 0's serial"
                " device's place";
        return false;
    }
    if (options.simulate == 0 && !options.simulatorOptions.empty()) {
        error = options.simulatorOptions.front() + " sets the simulated mount: give --simulate too";
        return false;
    }
    if (options.simulate != 0) {
        SimConfig config;
        std::string reason;
        if (!simulatorConfig(options.simulate, options.simulatorOptions, config, reason)) {
            error = printableLine(reason);
            return false;
        }
    }
    return true;
}

// Reads the option at argv[index], and its value when it takes one;
// index ends on the last argument used.
bool readOption(int argc, const char* const* argv, int& index, ServerOptions& options, std::string& error)
{
    const std::string argument = argv[index];
    if (argument.size() < 3 || argument.compare(0, 2, "--") != 0) {
        error = argument.size() > 1 && argument[0] == '-' ? "unknown option " + printable(argument)
                                                          : "unexpected argument \"" + printable(argument) + "\"";
        return false;
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const Option* option = findOption(name);
    if (!option) {
        error = "unknown option --" + printable(name);
        return false;
    }
    if (option->kind == Kind::Flag) {
        if (equals != std::string::npos) {
            error = "--" + name + " takes no value";
            return false;
        }
        options.*option->flag = true;
        return true;
    }
    if (equals != std::string::npos)
        return applyValue(*option, argument.substr(equals + 1), options, error);
    // "--serial --http-port 80" is a forgotten value, not a device named
    // "--http-port"; such a value can still be given as --serial=--odd.
    const bool haveNext = index + 1 < argc && argv[index + 1] && std::strncmp(argv[index + 1], "--", 2) != 0;
    if (!haveNext) {
        error = option->kind == Kind::Port    ? portReason(*option)
                : option->kind == Kind::Model ? "--" + name + " needs a mount model: 1, 2 or 3"
                                              : "--" + name + " needs a value";
        return false;
    }
    ++index;
    return applyValue(*option, argv[index], options, error);
}

} // namespace

bool isNumericAddress(const std::string& text)
{
    in6_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1 || inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

bool parseOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error)
{
    ServerOptions parsed;
    for (int index = 1; index < argc && argv[index]; ++index)
        if (!readOption(argc, argv, index, parsed, error))
            return false;
    if (!checkTogether(parsed, error))
        return false;
    options = parsed;
    error.clear();
    return true;
}

std::string usageText()
{
    const ServerOptions defaults;
    std::string text = "Usage: velmaro-alpaca [options]\n";
    for (const Option& option : kOptions) {
        std::string left = std::string("  --") + option.name;
        if (option.argName)
            left += std::string(" ") + option.argName;
        left.resize(left.size() < 25 ? 25 : left.size() + 1, ' ');
        text += left + option.help;
        if (option.kind == Kind::Port)
            text += " (default: " + std::to_string(defaults.*option.number) + ")";
        if (option.kind == Kind::Address)
            text += " (default: " + defaults.*option.text + ", this machine only)";
        if (option.kind == Kind::Simulator) {
            char shown[32];
            std::snprintf(shown, sizeof shown, "%g", SimConfig().*option.simulated);
            text += std::string(" (default: ") + shown + "; only with --simulate)";
        }
        text += '\n';
    }
    return text;
}

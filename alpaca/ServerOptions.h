// The velmaro-alpaca command line: what each option means, its default, and
// the one-line reason a bad command line is refused with.
#pragma once

#include <string>
#include <vector>

struct ServerOptions {
    std::string serial;            // empty: the config's device (or none)
    // 1 to 3: mount 0 is a simulated mount of that model, inside the server,
    // in place of a serial device; 0: none.
    int simulate = 0;
    // The simulator's own options given beside --simulate, as it reads
    // them: "--latitude", "40.5", ...
    std::vector<std::string> simulatorOptions;
    int httpPort = 11111;          // 1..65535
    std::string listen = "127.0.0.1";
    bool listenGiven = false;      // --listen was on the command line (it then beats the config's)
    int discoveryPort = 32227;     // 0 turns discovery off
    std::string configPath;        // empty: defaultConfigPath()
    // Non-empty: the server writes DIR/alpaca.conf, and --config (the
    // administrator's, its serial and listen) is only read.
    std::string stateDir;
    std::string traceDir;          // non-empty: trace every connection into DIR
    bool allowRemoteSetup = false;
    // A connected client silent this long has vanished: it is disconnected.
    int clientTimeoutSeconds = 300;
    // How old an answer a read may share (0: none finished before it came).
    int maxAgeMs = 1000;
    // The age the server's own reads keep the position within (0: none).
    int freshMs = 2000;
    bool help = false, version = false;
};

// Reads argv[1..argc-1] into options, starting from the defaults above.
// Accepts "--name value" and "--name=value"; an option given twice keeps the
// last value. False with one line of reason ("unknown option --foo",
// "--http-port needs a number from 1 to 65535", "--serial needs a value") on
// a bad command line, and options is then left as it was. --simulate is
// refused beside --serial, and the simulator's options without --simulate.
bool parseOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error);

// The --help text: a usage line, then one line per option saying what it
// does and its default. Ends with a newline.
std::string usageText();

// Whether text is a numeric IPv4 or IPv6 address (no host names, no scope).
bool isNumericAddress(const std::string& text);

// The velmaro-alpaca command line: every option in both spellings, the
// last of a repeated option winning, the port limits, and the exact reason
// for each kind of bad command line.
#include "ServerOptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Parsed {
    bool ok = false;
    ServerOptions options;
    std::string error;
};

Parsed parse(const std::vector<std::string>& arguments)
{
    std::vector<const char*> argv{"velmaro-alpaca"};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    Parsed parsed;
    parsed.ok = parseOptions(int(argv.size() - 1), argv.data(), parsed.options, parsed.error);
    return parsed;
}

std::string joined(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments)
        line += "[" + argument + "] ";
    return line;
}

void expectSame(const ServerOptions& actual, const ServerOptions& expected, const std::string& context)
{
    EXPECT_EQ(actual.serial, expected.serial) << context;
    EXPECT_EQ(actual.httpPort, expected.httpPort) << context;
    EXPECT_EQ(actual.listen, expected.listen) << context;
    EXPECT_EQ(actual.listenGiven, expected.listenGiven) << context;
    EXPECT_EQ(actual.discoveryPort, expected.discoveryPort) << context;
    EXPECT_EQ(actual.configPath, expected.configPath) << context;
    EXPECT_EQ(actual.traceDir, expected.traceDir) << context;
    EXPECT_EQ(actual.allowRemoteSetup, expected.allowRemoteSetup) << context;
    EXPECT_EQ(actual.help, expected.help) << context;
    EXPECT_EQ(actual.version, expected.version) << context;
}

TEST(ServerOptions, NoArgumentsGiveTheSafeDefaults)
{
    const Parsed parsed = parse({});
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.options.serial, "");
    EXPECT_EQ(parsed.options.httpPort, 11111);
    EXPECT_EQ(parsed.options.listen, "127.0.0.1");
    EXPECT_FALSE(parsed.options.listenGiven);
    EXPECT_EQ(parsed.options.discoveryPort, 32227);
    EXPECT_EQ(parsed.options.configPath, "");
    EXPECT_EQ(parsed.options.traceDir, "");
    EXPECT_FALSE(parsed.options.allowRemoteSetup);
    EXPECT_FALSE(parsed.options.help);
    EXPECT_FALSE(parsed.options.version);

    ServerOptions options;
    std::string error;
    EXPECT_TRUE(parseOptions(0, nullptr, options, error)) << error;
}

TEST(ServerOptions, GoodCommandLines)
{
    const auto with = [](auto change) {
        ServerOptions options;
        change(options);
        return options;
    };
    const struct {
        std::vector<std::string> arguments;
        ServerOptions expected;
    } cases[] = {
        {{"--serial", "/dev/ttyUSB0"}, with([](ServerOptions& o) { o.serial = "/dev/ttyUSB0"; })},
        {{"--serial=/dev/serial/by-id/usb-A=B"},
         with([](ServerOptions& o) { o.serial = "/dev/serial/by-id/usb-A=B"; })},
        {{"--serial=--odd"}, with([](ServerOptions& o) { o.serial = "--odd"; })},
        {{"--serial", "-"}, with([](ServerOptions& o) { o.serial = "-"; })},
        {{"--http-port", "8080"}, with([](ServerOptions& o) { o.httpPort = 8080; })},
        {{"--http-port=80"}, with([](ServerOptions& o) { o.httpPort = 80; })},
        {{"--http-port", "00080"}, with([](ServerOptions& o) { o.httpPort = 80; })},
        {{"--listen", "0.0.0.0"}, with([](ServerOptions& o) { o.listen = "0.0.0.0", o.listenGiven = true; })},
        {{"--listen=::"}, with([](ServerOptions& o) { o.listen = "::", o.listenGiven = true; })},
        {{"--listen", "fe80::1:2"}, with([](ServerOptions& o) { o.listen = "fe80::1:2", o.listenGiven = true; })},
        {{"--listen", "::ffff:192.168.1.5"}, with([](ServerOptions& o) { o.listen = "::ffff:192.168.1.5", o.listenGiven = true; })},
        {{"--discovery-port", "0"}, with([](ServerOptions& o) { o.discoveryPort = 0; })},
        {{"--discovery-port=40000"}, with([](ServerOptions& o) { o.discoveryPort = 40000; })},
        {{"--config", "/etc/velmaro.conf"}, with([](ServerOptions& o) { o.configPath = "/etc/velmaro.conf"; })},
        {{"--trace-dir=/var/log/velmaro"}, with([](ServerOptions& o) { o.traceDir = "/var/log/velmaro"; })},
        {{"--state-dir", "/var/lib/velmaro"}, with([](ServerOptions& o) { o.stateDir = "/var/lib/velmaro"; })},
        {{"--allow-remote-setup"}, with([](ServerOptions& o) { o.allowRemoteSetup = true; })},
        {{"--client-timeout", "5"}, with([](ServerOptions& o) { o.clientTimeoutSeconds = 5; })},
        {{"--max-age-ms=250"}, with([](ServerOptions& o) { o.maxAgeMs = 250; })},
        {{"--fresh-ms", "0"}, with([](ServerOptions& o) { o.freshMs = 0; })},
        {{"--help"}, with([](ServerOptions& o) { o.help = true; })},
        {{"--version"}, with([](ServerOptions& o) { o.version = true; })},
        // Naming the default address still counts as naming one.
        {{"--listen", "127.0.0.1"}, with([](ServerOptions& o) { o.listenGiven = true; })},
        // The last of a repeated option wins, whichever spelling each used.
        {{"--http-port", "1000", "--http-port=2000"}, with([](ServerOptions& o) { o.httpPort = 2000; })},
        {{"--serial=/dev/a", "--serial", "/dev/b"}, with([](ServerOptions& o) { o.serial = "/dev/b"; })},
        {{"--listen", "::1", "--listen", "10.0.0.2"}, with([](ServerOptions& o) { o.listen = "10.0.0.2", o.listenGiven = true; })},
        {{"--help", "--help"}, with([](ServerOptions& o) { o.help = true; })},
        {{"--serial", "/dev/ttyACM0", "--http-port", "11112", "--listen", "192.168.0.10", "--discovery-port",
          "32228", "--config", "c.conf", "--trace-dir", "t", "--allow-remote-setup", "--version"},
         with([](ServerOptions& o) {
             o.serial = "/dev/ttyACM0";
             o.httpPort = 11112;
             o.listen = "192.168.0.10";
             o.listenGiven = true;
             o.discoveryPort = 32228;
             o.configPath = "c.conf";
             o.traceDir = "t";
             o.allowRemoteSetup = true;
             o.version = true;
         })},
    };
    for (const auto& c : cases) {
        const Parsed parsed = parse(c.arguments);
        ASSERT_TRUE(parsed.ok) << joined(c.arguments) << parsed.error;
        EXPECT_EQ(parsed.error, "") << joined(c.arguments);
        expectSame(parsed.options, c.expected, joined(c.arguments));
    }
}

TEST(ServerOptions, PortLimits)
{
    const struct {
        const char* option;
        const char* value;
        int expected;   // -1: refused
    } cases[] = {
        {"--http-port", "0", -1},           {"--http-port", "1", 1},
        {"--http-port", "65535", 65535},    {"--http-port", "65536", -1},
        {"--http-port", "-1", -1},          {"--http-port", "1e3", -1},
        {"--http-port", "99999999999999999999999", -1},
        {"--http-port", "000000000000000000000000443", 443},
        {"--discovery-port", "0", 0},       {"--discovery-port", "1", 1},
        {"--discovery-port", "65535", 65535}, {"--discovery-port", "65536", -1},
        {"--discovery-port", "-1", -1},     {"--discovery-port", "1e3", -1},
        {"--discovery-port", "4294967296", -1},
    };
    for (const auto& c : cases) {
        for (const auto& arguments : {std::vector<std::string>{c.option, c.value},
                                      std::vector<std::string>{std::string(c.option) + "=" + c.value}}) {
            const Parsed parsed = parse(arguments);
            EXPECT_EQ(parsed.ok, c.expected >= 0) << joined(arguments) << parsed.error;
            if (!parsed.ok)
                continue;
            const int port =
                std::string(c.option) == "--http-port" ? parsed.options.httpPort : parsed.options.discoveryPort;
            EXPECT_EQ(port, c.expected) << joined(arguments);
        }
    }
}

TEST(ServerOptions, BadCommandLinesSayWhy)
{
    const std::string http = "--http-port needs a number from 1 to 65535";
    const std::string discovery = "--discovery-port needs a number from 0 to 65535";
    const struct {
        std::vector<std::string> arguments;
        std::string reason;
    } cases[] = {
        {{"--foo"}, "unknown option --foo"},
        {{"--client-timeout", "0"}, "--client-timeout needs a number from 1 to 65535"},
        {{"--max-age-ms", "x"}, "--max-age-ms needs a number from 0 to 65535"},
        {{"--fresh-ms=-1"}, "--fresh-ms needs a number from 0 to 65535"},
        {{"--client-timeout", "-5"}, "--client-timeout needs a number from 1 to 65535"},
        {{"--foo=bar"}, "unknown option --foo"},
        {{"--Serial", "x"}, "unknown option --Serial"},
        {{"--http"}, "unknown option --http"},
        {{"-h"}, "unknown option -h"},
        {{"--"}, "unknown option --"},
        {{"--=x"}, "unknown option --"},
        {{"--bad\nname"}, "unknown option --bad?name"},
        {{"extra"}, "unexpected argument \"extra\""},
        {{"-"}, "unexpected argument \"-\""},
        {{"--serial", "/dev/ttyUSB0", "stray"}, "unexpected argument \"stray\""},
        {{"--serial"}, "--serial needs a value"},
        {{"--serial="}, "--serial needs a value"},
        {{"--serial", ""}, "--serial needs a value"},
        {{"--serial", "--http-port", "80"}, "--serial needs a value"},
        {{"--config"}, "--config needs a value"},
        {{"--trace-dir", "--allow-remote-setup"}, "--trace-dir needs a value"},
        {{"--listen"}, "--listen needs a value"},
        {{"--http-port"}, http},
        {{"--http-port="}, http},
        {{"--http-port", "0x50"}, http},
        {{"--http-port", " 80"}, http},
        {{"--http-port", "80 "}, http},
        {{"--http-port", "+80"}, http},
        {{"--http-port", "８０"}, http},
        {{"--http-port", "80", "--http-port", "0"}, http},
        {{"--discovery-port"}, discovery},
        {{"--discovery-port", "-0"}, discovery},
        {{"--discovery-port", "off"}, discovery},
        {{"--listen", "localhost"}, "--listen needs a numeric IPv4 or IPv6 address, not \"localhost\""},
        {{"--listen="}, "--listen needs a numeric IPv4 or IPv6 address, not \"\""},
        {{"--listen", "127.0.0.1 "}, "--listen needs a numeric IPv4 or IPv6 address, not \"127.0.0.1 \""},
        {{"--listen", "256.0.0.1"}, "--listen needs a numeric IPv4 or IPv6 address, not \"256.0.0.1\""},
        {{"--listen", "fe80::1%eth0"}, "--listen needs a numeric IPv4 or IPv6 address, not \"fe80::1%eth0\""},
        {{"--listen", "[::1]"}, "--listen needs a numeric IPv4 or IPv6 address, not \"[::1]\""},
        {{"--listen", std::string(100, '9')},
         "--listen needs a numeric IPv4 or IPv6 address, not \"" + std::string(64, '9') + "...\""},
        {{"--help=yes"}, "--help takes no value"},
        {{"--version="}, "--version takes no value"},
        {{"--allow-remote-setup=1"}, "--allow-remote-setup takes no value"},
        // The first fault is the one reported, even after a good option.
        {{"--http-port", "80", "--foo", "--bar"}, "unknown option --foo"},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        options.serial = "kept";
        std::vector<const char*> argv{"velmaro-alpaca"};
        for (const std::string& argument : c.arguments)
            argv.push_back(argument.c_str());
        std::string error;
        EXPECT_FALSE(parseOptions(int(argv.size()), argv.data(), options, error)) << joined(c.arguments);
        EXPECT_EQ(error, c.reason) << joined(c.arguments);
        EXPECT_EQ(options.serial, "kept") << joined(c.arguments) << ": a refused line changed the options";
    }
}

TEST(ServerOptions, HelpHasOneLinePerOptionWithItsDefault)
{
    const std::string text = usageText();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const struct {
        const char* start;
        const char* mentions;   // the default the line must state, or what it does
    } lines[] = {
        {"  --serial DEVICE ", "config"},
        {"  --simulate MODEL ", "(1, 2 or 3)"},
        {"  --latitude DEG ", "(default: 48.5; only with --simulate)"},
        {"  --longitude DEG ", "(default: -71.25; only with --simulate)"},
        {"  --utc-offset HOURS ", "(default: -5; only with --simulate)"},
        {"  --slew-rate DEG_PER_S ", "(default: 4; only with --simulate)"},
        {"  --http-port N ", "(default: 11111)"},
        {"  --listen ADDRESS ", "127.0.0.1"},   {"  --discovery-port N ", "(default: 32227)"},
        {"  --config FILE ", "alpaca.conf"},    {"  --state-dir DIR ", "default"},
        {"  --trace-dir DIR ", "default"},
        {"  --client-timeout SECONDS ", "(default: 300)"},
        {"  --max-age-ms N ", "(default: 1000)"},
        {"  --fresh-ms N ", "(default: 2000)"},
        {"  --allow-remote-setup ", "default"}, {"  --help ", "help"},
        {"  --version ", "version"},
    };
    std::istringstream in(text);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    ASSERT_EQ(all.size(), 1 + std::size(lines)) << text;
    EXPECT_EQ(all[0].rfind("Usage: velmaro-alpaca", 0), 0u) << all[0];
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        EXPECT_EQ(all[i + 1].rfind(lines[i].start, 0), 0u) << all[i + 1];
        EXPECT_NE(all[i + 1].find(lines[i].mentions), std::string::npos) << all[i + 1];
    }
    EXPECT_NE(all[9].find(" 0 "), std::string::npos) << "--discovery-port should say 0 turns it off";
}

TEST(ServerOptions, NumericAddresses)
{
    for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "::", "::1", "2001:db8::7"})
        EXPECT_TRUE(isNumericAddress(good)) << good;
    for (const char* bad : {"", "localhost", "1.2.3", "1.2.3.4.5", "01.2.3.4", "::g", "1.2.3.4/24", " ::1"})
        EXPECT_FALSE(isNumericAddress(bad)) << bad;
}

} // namespace

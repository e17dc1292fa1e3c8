// The real programs, for the server's tests: a simulated mount on a
// pseudo-terminal with its transcript, and velmaro-alpaca started as a
// user starts it, on a free port, with a config of the test's own.
#pragma once

#include <httplib.h>

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// A folder under /tmp for one test, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::string& path() const { return folder; }
    std::string file(const std::string& name) const { return folder + "/" + name; }

private:
    std::string folder;
};

class SimulatorProcess {
public:
    // model 1 to 3; extra: more options (--fault ..., --vanish-ms ...).
    SimulatorProcess(const ScratchFolder& scratch, int model, std::vector<std::string> extra = {});
    ~SimulatorProcess();
    bool ready() const;
    // Every command the mount received so far, one per line, in order.
    std::vector<std::string> commands() const;
    // The commands received after the first `since` of them.
    std::vector<std::string> commandsSince(std::size_t since) const;
    void stop();
    // The mount falls silent (the process stops where it is, the device
    // stays), and answers again.
    void freeze();
    void thaw();

    std::string link;
    std::string transcript;

private:
    pid_t process = -1;
};

class ServerProcess {
public:
    // Starts the server with --http-port (a free one), --discovery-port 0,
    // --config (a file in scratch) and --fresh-ms 0 unless args name them,
    // then args.
    // Waits until it answers HTTP, or gives up after a few seconds.
    ServerProcess(const ScratchFolder& scratch, std::vector<std::string> args,
                  std::vector<std::string> environment = {});
    ~ServerProcess();
    // True once it answers /management/apiversions.
    bool ready() const { return answering; }
    int port() const { return httpPort; }
    const std::string& configPath() const { return config; }
    // Sends signal and waits for the exit; the exit status as waitpid
    // gives it (WIFEXITED/WEXITSTATUS), or -1 when it did not end within
    // timeoutMs (it is then killed).
    int stop(int signal = 15, int timeoutMs = 10000);
    bool running() const;
    // Its process (the one that runs it under qemu or Wine too).
    pid_t pid() const { return process; }
    // What it wrote to stderr so far.
    std::string log() const;

    // A client of this server.
    std::unique_ptr<httplib::Client> client() const;
    // GET path with query, PUT path with a form body; the result (null on
    // no answer at all).
    httplib::Result get(const std::string& path) const;
    httplib::Result put(const std::string& path, const std::string& form) const;

private:
    pid_t process = -1;
    int httpPort = 0;
    std::string config;
    std::string logPath;
    bool answering = false;
};

// The server program and its first words: VELMARO_ALPACA_SERVER, or the
// words of $VELMARO_TEST_SERVER, for another build run another way
// ("qemu-aarch64-static /path/to/velmaro-alpaca", "wine64 VelmaroAlpaca.exe"
// with $VELMARO_TEST_WINE_PREFIX naming the prefix, whose COM ports then
// stand for the devices given to --serial).
std::vector<std::string> serverCommand();

// True when the server under test is the Windows one, under Wine.
bool serverIsWindows();
// Its Wine prefix then, empty for the Linux server.
std::string serverWinePrefix();
// What the server under test calls a device given to it: under Wine the
// COM port that stands for it (the same one each time), else its path.
std::string serverDeviceName(const std::string& device);
// How the server's log names the stop that ServerProcess::stop(signal)
// asks for ("SIGTERM"; under Wine both SIGTERM and SIGINT arrive as Ctrl+C).
std::string stopRequestName(int signal);

// The server's output with the Windows console's CR LF made LF, so that the
// tests read either server's lines alike (unchanged for the Linux server).
std::string withLinuxLineEnds(std::string text);

// A TCP port on loopback that nothing listens on just now.
int freeLoopbackPort();

// Runs a program to its end: its exit status (as waitpid) and its stderr.
struct RunResult {
    int status = -1;
    std::string output;
};
RunResult runServerToEnd(std::vector<std::string> args, int timeoutMs = 10000);

// The telescope's path of a member: "/api/v1/telescope/0/" + member.
std::string telescope(const std::string& member);

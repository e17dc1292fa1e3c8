#include "ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<char*> argumentVector(std::vector<std::string>& words)
{
    std::vector<char*> vector;
    for (std::string& word : words)
        vector.push_back(word.data());
    vector.push_back(nullptr);
    return vector;
}

bool names(const std::vector<std::string>& args, const std::string& option)
{
    for (const std::string& arg : args)
        if (arg == option || arg.rfind(option + "=", 0) == 0)
            return true;
    return false;
}

// Starts program with args, stderr (and stdout) into logPath.
pid_t startProcess(std::vector<std::string> words, const std::string& logPath,
                   const std::vector<std::string>& environment)
{
    pid_t child = fork();
    if (child != 0)
        return child;
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0)
        dup2(null, 0);
    for (const std::string& setting : environment)
        putenv(strdup(setting.c_str()));
    std::vector<char*> argv = argumentVector(words);
    execv(argv[0], argv.data());
    _exit(127);
}

int waitForExit(pid_t process, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(process, &status, WNOHANG) == process)
            return status;
        sleepMs(10);
    }
    kill(process, SIGKILL);
    waitpid(process, nullptr, 0);
    return -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

ScratchFolder::ScratchFolder()
{
    char pattern[] = "/tmp/velmaro-alpaca-test-XXXXXX";
    folder = mkdtemp(pattern) ? pattern : "/tmp";
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    if (folder != "/tmp")
        std::filesystem::remove_all(folder, ignored);
}

SimulatorProcess::SimulatorProcess(const ScratchFolder& scratch, int model, std::vector<std::string> extra)
    : link(scratch.file("mount")), transcript(scratch.file("transcript"))
{
    std::vector<std::string> words = {VELMARO_SIMULATOR, "--model", std::to_string(model), "--link", link,
                                      "--transcript", transcript};
    words.insert(words.end(), extra.begin(), extra.end());
    process = startProcess(words, scratch.file("simulator.log"), {});
    for (int wait = 0; wait < 300 && !ready(); ++wait)
        sleepMs(10);
}

SimulatorProcess::~SimulatorProcess()
{
    stop();
}

void SimulatorProcess::stop()
{
    if (process <= 0)
        return;
    // A frozen one ends too.
    kill(process, SIGTERM);
    kill(process, SIGCONT);
    waitForExit(process, 5000);
    process = -1;
}

void SimulatorProcess::freeze()
{
    if (process > 0)
        kill(process, SIGSTOP);
}

void SimulatorProcess::thaw()
{
    if (process > 0)
        kill(process, SIGCONT);
}

bool SimulatorProcess::ready() const
{
    return process > 0 && access(link.c_str(), F_OK) == 0;
}

std::vector<std::string> SimulatorProcess::commands() const
{
    std::vector<std::string> lines;
    std::ifstream in(transcript);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> SimulatorProcess::commandsSince(std::size_t since) const
{
    std::vector<std::string> all = commands();
    if (since >= all.size())
        return {};
    return std::vector<std::string>(all.begin() + long(since), all.end());
}

std::vector<std::string> serverCommand()
{
    const char* other = std::getenv("VELMARO_TEST_SERVER");
    if (!other || !*other)
        return {VELMARO_ALPACA_SERVER};
    std::vector<std::string> words;
    std::istringstream in(other);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

namespace {

// The Wine prefix when the server under test is the Windows one.
const char* winePrefix()
{
    const char* prefix = std::getenv("VELMARO_TEST_WINE_PREFIX");
    return prefix && *prefix ? prefix : nullptr;
}

} // namespace

std::string withLinuxLineEnds(std::string text)
{
    if (!winePrefix())
        return text;
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            lines += text[i];
    return lines;
}

bool serverIsWindows()
{
    return winePrefix() != nullptr;
}

std::string serverWinePrefix()
{
    return serverIsWindows() ? winePrefix() : "";
}

// Under Wine the Windows server reaches a device through a COM port: each
// device gets one of the prefix's, COM20 and up (a lane's tests run one at
// a time), linked to it as the DLL's tests link theirs, and keeps it for
// the program's run, as a device keeps its number on Windows.
std::string serverDeviceName(const std::string& device)
{
    if (!winePrefix() || device.rfind("/", 0) != 0)
        return device;
    static std::mutex mutex;
    static std::map<std::string, std::string> ports;
    static int next = 20;
    std::lock_guard<std::mutex> lock(mutex);
    auto known = ports.find(device);
    if (known != ports.end())
        return known->second;
    const std::string name = "com" + std::to_string(next++);
    const std::string link = std::string(winePrefix()) + "/dosdevices/" + name;
    std::filesystem::remove(link);
    std::filesystem::create_symlink(device, link);
    return ports[device] = "COM" + name.substr(3);
}

std::string stopRequestName(int signal)
{
    if (winePrefix() && (signal == SIGTERM || signal == SIGINT))
        return "Ctrl+C";
    return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "signal " + std::to_string(signal);
}

int freeLoopbackPort()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (probe >= 0)
        close(probe);
    return port;
}

ServerProcess::ServerProcess(const ScratchFolder& scratch, std::vector<std::string> args,
                             std::vector<std::string> environment)
    : config(scratch.file("alpaca.conf")), logPath(scratch.file("server.log"))
{
    std::vector<std::string> words = serverCommand();
    if (!names(args, "--http-port")) {
        httpPort = freeLoopbackPort();
        words.insert(words.end(), {"--http-port", std::to_string(httpPort)});
    }
    if (!names(args, "--discovery-port"))
        words.insert(words.end(), {"--discovery-port", "0"});
    if (!names(args, "--config"))
        words.insert(words.end(), {"--config", config});
    // The tests count every command the mount receives: the server's own
    // reads only where a test asks for them.
    if (!names(args, "--fresh-ms"))
        words.insert(words.end(), {"--fresh-ms", "0"});
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--http-port" && i + 1 < args.size())
            httpPort = std::atoi(args[i + 1].c_str());
        if (args[i] == "--config" && i + 1 < args.size())
            config = args[i + 1];
    }
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--serial")
            args[i + 1] = serverDeviceName(args[i + 1]);
    words.insert(words.end(), args.begin(), args.end());
    process = startProcess(words, logPath, environment);
    // Some seconds: a server under Wine or qemu takes a while to start.
    for (int wait = 0; wait < 1500 && running(); ++wait) {
        if (get("/management/apiversions")) {
            answering = true;
            break;
        }
        sleepMs(10);
    }
}

ServerProcess::~ServerProcess()
{
    if (running())
        stop(SIGTERM);
}

bool ServerProcess::running() const
{
    if (process <= 0)
        return false;
    return waitpid(process, nullptr, WNOHANG) == 0;
}

int ServerProcess::stop(int signal, int timeoutMs)
{
    if (process <= 0)
        return -1;
    // Windows has no SIGTERM: Wine turns SIGINT into the console's Ctrl+C,
    // which is the Windows server's request to stop.
    if (winePrefix() && signal == SIGTERM)
        signal = SIGINT;
    kill(process, signal);
    int status = waitForExit(process, timeoutMs);
    process = -1;
    return status;
}

std::string ServerProcess::log() const
{
    return withLinuxLineEnds(readFile(logPath));
}

std::unique_ptr<httplib::Client> ServerProcess::client() const
{
    auto made = std::make_unique<httplib::Client>("127.0.0.1", httpPort);
    made->set_connection_timeout(2, 0);
    made->set_read_timeout(60, 0);
    return made;
}

httplib::Result ServerProcess::get(const std::string& path) const
{
    return client()->Get(path);
}

httplib::Result ServerProcess::put(const std::string& path, const std::string& form) const
{
    return client()->Put(path, form, "application/x-www-form-urlencoded");
}

RunResult runServerToEnd(std::vector<std::string> args, int timeoutMs)
{
    ScratchFolder scratch;
    std::vector<std::string> words = serverCommand();
    words.insert(words.end(), args.begin(), args.end());
    const std::string logPath = scratch.file("run.log");
    pid_t process = startProcess(words, logPath, {});
    RunResult result;
    result.status = waitForExit(process, timeoutMs);
    result.output = withLinuxLineEnds(readFile(logPath));
    return result;
}

std::string telescope(const std::string& member)
{
    return "/api/v1/telescope/0/" + member;
}

// A mount in memory behind the core's SerialPort: a script answers each
// command, every command written is recorded with the moment it went out
// on the virtual clock, and a read that gets fewer bytes than it asked for
// costs the port's read time-out on that clock, as a real port would.
//
// One script stands for one mount and its devices; every port the core
// makes from script.maker() talks to it. A device opens for one port at a
// time, as a serial device does.
#pragma once

#include "SerialPort.h"
#include "VirtualClock.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ScriptedPort;

// The device path of a port number as the tests' settings give it.
std::string scriptedDevicePath(int portNumber);

// The ":MountInfo#" answer of a model (1 to 3) as a mount gives it.
const char* mountInfoAnswer(int model);

class MountScript {
public:
    explicit MountScript(VirtualClock& clock);
    ~MountScript();
    MountScript(const MountScript&) = delete;
    MountScript& operator=(const MountScript&) = delete;

    // Every later `command` is answered with `reply`.
    void answer(const std::string& command, const std::string& reply);
    // The next `command` only; queued answers go before the standing one.
    void answerOnce(const std::string& command, const std::string& reply);
    // `command` gets no answer at all.
    void silence(const std::string& command);
    // The handshake and the model query as `model` answers them (1 to 3).
    void answerAsModel(int model);

    // Bytes that arrive unasked on the open port: a stale reply.
    void sendUnasked(const std::string& bytes);

    // Devices: COM1 exists at first. A busy device is held by another
    // program: every open is refused.
    void addDevice(const std::string& path) { devices.insert(path); }
    void removeDevice(const std::string& path) { devices.erase(path); }
    void setBusy(const std::string& path, bool busy);

    struct SentCommand {
        std::string command;
        std::uint64_t atMs;  // steady time on the virtual clock
    };
    // Commands as written, framed at each "#" (a write's tail without one,
    // such as ":KA", is a command of its own).
    std::vector<std::string> commands() const;
    std::vector<SentCommand> timedCommands() const { return commandLog; }
    // Every byte written, exactly as it went out.
    std::string received() const { return rawLog; }
    // Device paths the ports were asked to open, in order, and the rates.
    const std::vector<std::string>& openAttempts() const { return openLog; }
    const std::vector<std::uint32_t>& baudRates() const { return baudLog; }
    void forget();

    // Ports open on this mount's devices now.
    int openPorts() const;

    // Makes ports that talk to this script.
    SerialPortMaker maker();

private:
    friend class ScriptedPort;
    struct Answers {
        std::deque<std::string> once;
        bool standing = false;
        std::string reply;
    };

    bool tryOpen(ScriptedPort& port, const std::string& path);
    void closed(ScriptedPort& port);
    // Frames the bytes into commands; returns the replies they get.
    std::string take(const char* bytes, std::uint32_t count);
    std::string replyTo(const std::string& command);

    VirtualClock& clock;
    std::map<std::string, Answers> answers;
    std::set<std::string> devices;
    std::set<std::string> busyDevices;
    std::map<std::string, ScriptedPort*> holders;
    std::vector<SentCommand> commandLog;
    std::string rawLog;
    std::vector<std::string> openLog;
    std::vector<std::uint32_t> baudLog;
};

class ScriptedPort final : public SerialPort {
public:
    explicit ScriptedPort(MountScript& script) : script(script) {}
    ~ScriptedPort() override;

    bool open(const char* devicePath, std::uint32_t baudRate) override;
    void close() override;
    bool purge() override;
    bool write(const void* bytes, std::uint32_t count) override;
    std::uint32_t read(void* buffer, std::uint32_t count) override;
    bool isOpen() const override { return opened; }

private:
    friend class MountScript;
    MountScript& script;
    bool opened = false;
    std::string path;
    // Bytes arrived and not yet read.
    std::string input;
};

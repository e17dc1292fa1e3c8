#include "ScriptedPort.h"

#include <algorithm>
#include <cstring>

std::string scriptedDevicePath(int portNumber)
{
    return "scripted/COM" + std::to_string(portNumber);
}

const char* mountInfoAnswer(int model)
{
    switch (model) {
    case 2:
        return ":KV72#";
    case 3:
        return "6150";
    default:
        return "LT1000";
    }
}

MountScript::MountScript(VirtualClock& clock) : clock(clock)
{
    devices.insert(scriptedDevicePath(1));
}

MountScript::~MountScript()
{
    // Ports that outlive their mount talk to nobody.
    for (auto& holder : holders)
        holder.second->opened = false;
}

void MountScript::answer(const std::string& command, const std::string& reply)
{
    Answers& entry = answers[command];
    entry.standing = true;
    entry.reply = reply;
}

void MountScript::answerOnce(const std::string& command, const std::string& reply)
{
    answers[command].once.push_back(reply);
}

void MountScript::silence(const std::string& command)
{
    answers.erase(command);
}

void MountScript::answerAsModel(int model)
{
    answer(":V#", "V1.00#");
    answer(":MountInfo#", mountInfoAnswer(model));
}

void MountScript::sendUnasked(const std::string& bytes)
{
    for (auto& holder : holders)
        holder.second->input += bytes;
}

void MountScript::setBusy(const std::string& path, bool busy)
{
    if (busy)
        busyDevices.insert(path);
    else
        busyDevices.erase(path);
}

std::vector<std::string> MountScript::commands() const
{
    std::vector<std::string> texts;
    for (const SentCommand& sent : commandLog)
        texts.push_back(sent.command);
    return texts;
}

void MountScript::forget()
{
    commandLog.clear();
    rawLog.clear();
    openLog.clear();
    baudLog.clear();
}

int MountScript::openPorts() const
{
    return static_cast<int>(holders.size());
}

SerialPortMaker MountScript::maker()
{
    return [this] { return std::unique_ptr<SerialPort>(new ScriptedPort(*this)); };
}

bool MountScript::tryOpen(ScriptedPort& port, const std::string& path)
{
    openLog.push_back(path);
    if (!devices.count(path) || busyDevices.count(path) || holders.count(path))
        return false;
    holders[path] = &port;
    return true;
}

void MountScript::closed(ScriptedPort& port)
{
    auto held = holders.find(port.path);
    if (held != holders.end() && held->second == &port)
        holders.erase(held);
}

std::string MountScript::take(const char* bytes, std::uint32_t count)
{
    std::string replies;
    std::string pending;
    for (std::uint32_t i = 0; i < count; ++i) {
        rawLog += bytes[i];
        pending += bytes[i];
        if (bytes[i] == '#') {
            commandLog.push_back({pending, clock.steadyMs()});
            replies += replyTo(pending);
            pending.clear();
        }
    }
    if (!pending.empty()) {
        commandLog.push_back({pending, clock.steadyMs()});
        replies += replyTo(pending);
    }
    return replies;
}

std::string MountScript::replyTo(const std::string& command)
{
    auto found = answers.find(command);
    if (found == answers.end())
        return std::string();
    Answers& entry = found->second;
    if (!entry.once.empty()) {
        std::string reply = entry.once.front();
        entry.once.pop_front();
        return reply;
    }
    return entry.standing ? entry.reply : std::string();
}

ScriptedPort::~ScriptedPort()
{
    close();
}

bool ScriptedPort::open(const char* devicePath, std::uint32_t baudRate)
{
    script.baudLog.push_back(baudRate);
    if (opened)
        return false;
    path = devicePath ? devicePath : "";
    opened = script.tryOpen(*this, path);
    return opened;
}

void ScriptedPort::close()
{
    if (!opened)
        return;
    script.closed(*this);
    opened = false;
    input.clear();
}

bool ScriptedPort::purge()
{
    input.clear();
    return opened;
}

bool ScriptedPort::write(const void* bytes, std::uint32_t count)
{
    if (!opened)
        return false;
    input += script.take(static_cast<const char*>(bytes), count);
    return true;
}

std::uint32_t ScriptedPort::read(void* buffer, std::uint32_t count)
{
    std::uint32_t available = opened ? static_cast<std::uint32_t>(input.size()) : 0;
    std::uint32_t given = std::min(count, available);
    if (given > 0) {
        std::memcpy(buffer, input.data(), given);
        input.erase(0, given);
    }
    // Short of what was asked: the read waits out its whole time-out.
    if (given < count)
        script.clock.advance(kReadTotalConstantMs + kReadTotalPerByteMs * std::uint64_t(count));
    return given;
}

#include "ScriptedMount.h"

namespace {
// Longest command a mount keeps before it gives up on a missing "#".
constexpr std::size_t kLongestCommand = 64;
}

ScriptedMount::ScriptedMount(const char* devicePath)
{
    handle = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    DCB line{};
    line.DCBlength = sizeof line;
    GetCommState(handle, &line);
    line.BaudRate = 9600;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    SetCommState(handle, &line);
    // Blocking reads of one byte: Wine hands such a read its byte the moment
    // the byte arrives, so each arrival is timed as it comes, and an idle
    // mount costs a wake-up per 50 ms, which is only there so the thread
    // notices the end of the test. (Reads that return whatever has come
    // within a short limit had to poll every 2 ms to time arrivals well,
    // and a dozen mounts polling at once kept Wine's server busy.)
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 50;
    SetCommTimeouts(handle, &timeouts);
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    server = std::thread([this] { serve(); });
}

ScriptedMount::~ScriptedMount()
{
    stopping = true;
    if (server.joinable())
        server.join();
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

void ScriptedMount::answer(const std::string& command, const std::string& reply, int delayMs)
{
    std::lock_guard<std::mutex> guard(lock);
    standing[command] = Answer{reply, delayMs};
}

void ScriptedMount::answerOnce(const std::string& command, const std::string& reply, int delayMs)
{
    std::lock_guard<std::mutex> guard(lock);
    once[command].push_back(Answer{reply, delayMs});
}

void ScriptedMount::silence(const std::string& command)
{
    std::lock_guard<std::mutex> guard(lock);
    standing.erase(command);
    once.erase(command);
}

void ScriptedMount::sendUnasked(const std::string& bytes)
{
    writeAll(bytes);
}

std::vector<std::string> ScriptedMount::commands()
{
    std::lock_guard<std::mutex> guard(lock);
    return commandLog;
}

std::vector<ScriptedMount::TimedCommand> ScriptedMount::timedCommands()
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<TimedCommand> timed;
    for (std::size_t i = 0; i < commandLog.size(); ++i)
        timed.push_back({commandLog[i], commandTimes[i]});
    return timed;
}

std::string ScriptedMount::received()
{
    std::lock_guard<std::mutex> guard(lock);
    return rawLog;
}

void ScriptedMount::forget()
{
    std::lock_guard<std::mutex> guard(lock);
    commandLog.clear();
    commandTimes.clear();
    rawLog.clear();
    pending.clear();
}

bool ScriptedMount::waitForCommands(std::size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> guard(lock);
    return arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return commandLog.size() >= count; });
}

void ScriptedMount::writeAll(const std::string& bytes)
{
    DWORD written = 0;
    if (!bytes.empty())
        WriteFile(handle, bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

void ScriptedMount::serve()
{
    while (!stopping) {
        char byte = 0;
        DWORD got = 0;
        if (!ReadFile(handle, &byte, 1, &got, nullptr) || got == 0)
            continue;
        readAt = std::chrono::steady_clock::now();
        frame(byte);
    }
}

void ScriptedMount::frame(char byte)
{
    std::string complete;
    {
        std::lock_guard<std::mutex> guard(lock);
        rawLog += byte;
        // A command starts at ":"; later colons belong to its arguments.
        if (pending.empty() && byte != ':')
            return;
        pending += byte;
        if (byte == '#' || pending == ":KA") {
            complete = pending;
            pending.clear();
            commandLog.push_back(complete);
            commandTimes.push_back(readAt);
        } else if (pending.size() > kLongestCommand) {
            pending.clear();
        }
    }
    if (!complete.empty()) {
        arrived.notify_all();
        respond(complete);
    }
}

void ScriptedMount::respond(const std::string& command)
{
    Answer reply;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto queued = once.find(command);
        if (queued != once.end() && !queued->second.empty()) {
            reply = queued->second.front();
            queued->second.pop_front();
        } else {
            auto found = standing.find(command);
            if (found == standing.end())
                return;
            reply = found->second;
        }
    }
    if (reply.delayMs > 0)
        Sleep(reply.delayMs);
    writeAll(reply.reply);
}

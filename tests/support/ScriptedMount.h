// A mount played by the test itself on the far end of the null modem
// (COM2): it records every command the driver sends and answers from a
// script, so a test can check the exact bytes and steer every reply.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedMount {
public:
    explicit ScriptedMount(const char* devicePath = "\\\\.\\COM2");
    ~ScriptedMount();
    ScriptedMount(const ScriptedMount&) = delete;
    ScriptedMount& operator=(const ScriptedMount&) = delete;

    bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }

    // Every later `command` is answered with `reply` (after delayMs).
    void answer(const std::string& command, const std::string& reply, int delayMs = 0);
    // The next `command` only is answered with `reply`; queued answers are
    // used before the standing one.
    void answerOnce(const std::string& command, const std::string& reply, int delayMs = 0);
    // `command` gets no answer at all.
    void silence(const std::string& command);

    // Bytes written now, unasked: a stale reply still on the line.
    void sendUnasked(const std::string& bytes);

    // Commands received so far, framed from ":" to "#" (":KA" has no "#").
    std::vector<std::string> commands();
    // The same, each with the moment its last byte was read, taken on the
    // reading thread itself: timing tests measure the line, not how soon a
    // watching thread happened to look.
    struct TimedCommand {
        std::string command;
        std::chrono::steady_clock::time_point at;
    };
    std::vector<TimedCommand> timedCommands();
    // All bytes received so far, exactly as they came.
    std::string received();
    void forget();
    // Waits until at least count commands arrived; false on time-out.
    bool waitForCommands(std::size_t count, int timeoutMs = 3000);

private:
    struct Answer {
        std::string reply;
        int delayMs = 0;
    };

    void serve();
    void frame(char byte);
    void respond(const std::string& command);
    void writeAll(const std::string& bytes);

    HANDLE handle = INVALID_HANDLE_VALUE;
    std::mutex lock;
    std::condition_variable arrived;
    std::map<std::string, Answer> standing;
    std::map<std::string, std::deque<Answer>> once;
    std::vector<std::string> commandLog;
    std::vector<std::chrono::steady_clock::time_point> commandTimes;
    // When the bytes being framed were read (the reading thread's own).
    std::chrono::steady_clock::time_point readAt;
    std::string rawLog;
    std::string pending;
    std::atomic<bool> stopping{false};
    std::thread server;
};

// Milliseconds elapsed while running f.
template <typename F>
double elapsedMs(F&& f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

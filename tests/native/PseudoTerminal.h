// A pseudo-terminal pair for the native link tests: the slave's path is
// the port under test, the master is the mount's end of the line.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ready() const { return master >= 0 && slave >= 0; }
    const std::string& path() const { return slavePath; }
    // A descriptor of the slave of the test's own, kept open: the line's
    // settings are the slave's, so tcgetattr on it shows what the port set.
    int slaveDescriptor() const { return slave; }

    // Writes every byte on the mount's end; false when the line did not
    // take them within a second.
    bool send(const std::string& bytes);
    // What arrives on the mount's end until `count` bytes came or `withinMs`
    // passed.
    std::string receive(std::size_t count, int withinMs);
    // The mount's end goes away: the port's side hangs up.
    void closeMaster();

private:
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

// Milliseconds that `work` took, on the steady clock.
template <typename Work>
double elapsedMs(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

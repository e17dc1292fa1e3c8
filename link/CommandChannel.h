// The command exchange with the mount: one command text, one reply buffer
// and the port they travel on. The driver and the settings object each own
// one of these.
#pragma once

#include "Clock.h"
#include "SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// What the exchanges on a channel have met with so far, for a front end
// that watches the link: one count per exchange (the tries of an
// acknowledged command are one), whether the mount answered at all, and
// whether a reply could be used.
struct ExchangeTally {
    std::uint64_t exchanges = 0;
    std::uint64_t unanswered = 0;
    // Unanswered ones since the last answer.
    std::uint32_t unansweredInARow = 0;
    std::uint64_t unusable = 0;
    // The last unusable reply, and the command it answered.
    std::string unusableReply;
    std::string unusableCommand;
};

class CommandChannel {
public:
    static constexpr std::size_t kReplySize = 100;

    std::string command;
    char reply[kReplySize] = {};
    std::unique_ptr<SerialPort> port;
    // What the pauses sleep on, and what makes the port at each open.
    Clock* clock = &systemClock();
    SerialPortMaker makePort = makeSystemSerialPort;

    // Purges the port, then writes every character of command. A failed
    // write goes unnoticed: the reply that does not come tells the caller.
    void sendCommand();
    // Pauses 50 ms for the mount, clears reply and reads up to count bytes.
    void readReply(std::uint32_t count);
    // sendCommand plus a one-character read, at most two tries, until the
    // mount answers "1" or "0"; 200 ms pause after each failed try.
    void exchangeAck();

    // Opens the device at 9600 baud 8N1; on failure no port is kept.
    bool openDevice(const std::string& devicePath);
    // Opens "\\.\COMn".
    bool openPort(int portNumber) { return openDevice(comPortPath(portNumber)); }
    void closePort();
    bool hasOpenPort() const { return port && port->isOpen(); }
    // The open port's device went away: only a new open can help.
    bool portHungUp() const { return port && port->hasHungUp(); }

    bool replyEquals(const char* text) const;
    std::size_t replyLength() const;
    char replyFirst() const { return reply[0]; }
    // The mount's "1": accepted, or true.
    bool acknowledged() const { return reply[0] == '1'; }

    const ExchangeTally& tally() const { return exchangeTally; }
    // The reply in hand came, but it is not what the command's answer
    // looks like.
    void noteUnusableReply();

    // Formats command from a printf format; numbers only, so no locale enters.
    void formatCommand(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    void clearReply();
    void countExchange(bool answered);

    ExchangeTally exchangeTally;
    // Inside exchangeAck, whose tries count as one exchange.
    bool countingTries = false;
};

// Pauses that pace the exchange with the mount.
constexpr std::uint32_t kReplyPauseMs = 50;
constexpr std::uint32_t kRetryPauseMs = 200;
constexpr std::uint32_t kLinkBaudRate = 9600;

#include "CommandChannel.h"

#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
// The reply stays a zero-terminated string: at most 98 characters arrive.
constexpr std::uint32_t kLongestRead = CommandChannel::kReplySize - 2;
constexpr int kAckTries = 2;
}

void CommandChannel::sendCommand()
{
    if (!hasOpenPort())
        return;
    port->purge();
    bool written = port->write(command.data(), static_cast<std::uint32_t>(command.size()));
    if (traceIsOn())
        traceSent(command.data(), command.size(), written);
}

void CommandChannel::clearReply()
{
    std::memset(reply, 0, sizeof reply);
}

void CommandChannel::readReply(std::uint32_t count)
{
    // Without a port there is nobody to wait for: an empty reply at once.
    if (!hasOpenPort()) {
        clearReply();
        return;
    }
    // The clock is read only for a trace: none is the usual case.
    const bool tracing = traceIsOn();
    const double start = tracing ? traceClockMs() : 0.0;
    clock->sleepMs(kReplyPauseMs);
    clearReply();
    std::uint32_t requested = count < kLongestRead ? count : kLongestRead;
    std::uint32_t received = port->read(reply, requested);
    if (tracing)
        traceReceived(reply, received, requested, traceClockMs() - start);
    if (!countingTries)
        countExchange(received != 0);
}

void CommandChannel::countExchange(bool answered)
{
    ++exchangeTally.exchanges;
    if (answered) {
        exchangeTally.unansweredInARow = 0;
        return;
    }
    ++exchangeTally.unanswered;
    ++exchangeTally.unansweredInARow;
}

void CommandChannel::noteUnusableReply()
{
    ++exchangeTally.unusable;
    exchangeTally.unusableReply = reply;
    exchangeTally.unusableCommand = command;
}

void CommandChannel::exchangeAck()
{
    if (!hasOpenPort()) {
        clearReply();
        return;
    }
    countingTries = true;
    for (int tries = 0; tries < kAckTries; ++tries) {
        sendCommand();
        readReply(1);
        if (reply[0] == '1' || reply[0] == '0')
            break;
        if (traceIsOn())
            traceLine("-- no acknowledgement, try " + std::to_string(tries + 1) + " of " + std::to_string(kAckTries)
                      + ", " + std::to_string(kRetryPauseMs) + " ms pause");
        clock->sleepMs(kRetryPauseMs);
    }
    countingTries = false;
    countExchange(reply[0] != 0);
}

bool CommandChannel::openDevice(const std::string& devicePath)
{
    port = makePort ? makePort() : nullptr;
    if (!port)
        return false;
    if (port->open(devicePath.c_str(), kLinkBaudRate))
        return true;
    closePort();
    return false;
}

std::string comPortPath(int portNumber)
{
    return "\\\\.\\COM" + std::to_string(portNumber);
}

void CommandChannel::closePort()
{
    if (port)
        port->close();
    port.reset();
}

bool CommandChannel::replyEquals(const char* text) const
{
    return std::strcmp(reply, text) == 0;
}

std::size_t CommandChannel::replyLength() const
{
    return std::strlen(reply);
}

void CommandChannel::formatCommand(const char* format, ...)
{
    char text[64];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    command.assign(text, length < 0 ? 0 : (length < int(sizeof text) ? length : int(sizeof text) - 1));
}

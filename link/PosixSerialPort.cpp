// Windows has its own port (Win32SerialPort.cpp): there this file is empty.
#ifndef _WIN32

#include "PosixSerialPort.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// How long a write waits for the line to take another byte.
constexpr std::uint64_t kWriteStallMs = 1000;

struct Rate {
    std::uint32_t baud;
    speed_t speed;
};

// The rates termios names; any other is refused rather than rounded.
constexpr Rate kRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool speedOf(std::uint32_t baudRate, speed_t& speed)
{
    for (const Rate& rate : kRates)
        if (rate.baud == baudRate) {
            speed = rate.speed;
            return true;
        }
    return false;
}

std::uint64_t nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000u + std::uint64_t(now.tv_nsec) / 1000000u;
}

// Waits for `events` until `deadline` (nowMs); the revents, or 0 when the
// deadline passed first or poll failed. A signal does not end the wait.
short waitFor(int descriptor, short events, std::uint64_t deadline)
{
    for (;;) {
        const std::uint64_t now = nowMs();
        if (now >= deadline)
            return 0;
        // Whole milliseconds, rounded up by one so the wait never ends
        // before the deadline.
        const std::uint64_t left = deadline - now + 1;
        pollfd watch{descriptor, events, 0};
        const int ready = ::poll(&watch, 1, left > 60000 ? 60000 : int(left));
        if (ready > 0)
            return watch.revents;
        if (ready < 0 && errno != EINTR)
            return 0;
    }
}

} // namespace

PosixSerialPort::~PosixSerialPort() { close(); }

bool PosixSerialPort::failOpen()
{
    ::close(descriptor);
    descriptor = -1;
    return false;
}

bool PosixSerialPort::open(const char* devicePath, std::uint32_t baudRate)
{
    close();
    speed_t speed;
    if (!devicePath || !speedOf(baudRate, speed))
        return false;
    // Non-blocking: the open does not wait for carrier, and reads and
    // writes wait in poll, where the time-outs are.
    do
        descriptor = ::open(devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return false;

    // The lock holds against every other opener, root included; the tty's
    // exclusive mode (set at the end) refuses others a plain open as well,
    // but not root.
    int locked;
    do
        locked = ::flock(descriptor, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return failOpen();

    termios settings{};
    if (::tcgetattr(descriptor, &settings) != 0)
        return failOpen();

    // Raw bytes both ways: no echo, no signals, no line editing, no CR/LF
    // translation, no XON/XOFF either way (cfmakeraw leaves IXOFF, which
    // would send the mount XOFF bytes when our input fills).
    ::cfmakeraw(&settings);
    settings.c_iflag &= ~tcflag_t(IXOFF | IXANY);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
    settings.c_cflag &= ~tcflag_t(CRTSCTS);
#endif
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // With O_NONBLOCK and one byte wanted, "nothing yet" is EAGAIN and a
    // read of 0 bytes means a hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (::cfsetspeed(&settings, speed) != 0)
        return failOpen();
    if (::tcsetattr(descriptor, TCSANOW, &settings) != 0)
        return failOpen();

    // tcsetattr succeeds when any part was taken: check the parts we need.
    termios applied{};
    if (::tcgetattr(descriptor, &applied) != 0 || ::cfgetospeed(&applied) != speed
        || ::cfgetispeed(&applied) != speed || (applied.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8)
        return failOpen();
    // Last, so that no failure above leaves the device exclusive.
    return ::ioctl(descriptor, TIOCEXCL) == 0 || failOpen();
}

void PosixSerialPort::noteFailure(int error)
{
    if (error == EIO || error == ENXIO || error == ENODEV || error == EBADF)
        hungUp = true;
}

void PosixSerialPort::close()
{
    hungUp = false;
    if (descriptor < 0)
        return;
    // A pseudo-terminal's slave keeps the exclusive mode while its master
    // lives: undone, so the next opener is not refused.
    ::ioctl(descriptor, TIOCNXCL);
    ::close(descriptor);
    descriptor = -1;
}

bool PosixSerialPort::purge()
{
    // Input only, as on Windows: output still in the system's buffer is a
    // command the mount has not read yet, and must not be cut off.
    return descriptor >= 0 && ::tcflush(descriptor, TCIFLUSH) == 0;
}

bool PosixSerialPort::write(const void* bytes, std::uint32_t count)
{
    if (descriptor < 0 || (!bytes && count > 0))
        return false;
    const unsigned char* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t left = count;
    std::uint64_t deadline = nowMs() + kWriteStallMs;
    while (left > 0) {
        const ssize_t written = ::write(descriptor, next, left);
        if (written > 0) {
            next += written;
            left -= static_cast<std::uint32_t>(written);
            deadline = nowMs() + kWriteStallMs;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            noteFailure(errno);
            return false;
        }
        const short ready = waitFor(descriptor, POLLOUT, deadline);
        if (ready & (POLLHUP | POLLERR | POLLNVAL))
            hungUp = true;
        if (!(ready & POLLOUT) || (ready & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    return true;
}

std::uint32_t PosixSerialPort::read(void* buffer, std::uint32_t count)
{
    if (descriptor < 0 || !buffer || count == 0)
        return 0;
    unsigned char* into = static_cast<unsigned char*>(buffer);
    std::uint32_t received = 0;
    // One deadline for the whole read, as Windows' total time-out: no gap
    // limit between bytes, so a slow reply inside it is read whole.
    const std::uint64_t deadline = nowMs() + kReadTotalConstantMs + std::uint64_t(kReadTotalPerByteMs) * count;
    while (received < count) {
        const ssize_t got = ::read(descriptor, into + received, count - received);
        if (got > 0) {
            received += static_cast<std::uint32_t>(got);
            continue;
        }
        if (got == 0) {
            hungUp = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            noteFailure(errno);
            break;
        }
        // The deadline passed, or the line hung up or failed with nothing
        // left to read (bytes that came before a hang-up show as POLLIN and
        // are read first).
        const short ready = waitFor(descriptor, POLLIN, deadline);
        if (!(ready & POLLIN)) {
            if (ready & (POLLHUP | POLLERR | POLLNVAL))
                hungUp = true;
            break;
        }
    }
    return received;
}

std::unique_ptr<SerialPort> makeSystemSerialPort()
{
    return std::unique_ptr<SerialPort>(new (std::nothrow) PosixSerialPort);
}

#endif // _WIN32

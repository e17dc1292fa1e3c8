#include "PseudoTerminal.h"

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    char name[PATH_MAX] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        master = slave = -1;
        return;
    }
    slavePath = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (slave >= 0)
        close(slave);
}

bool PseudoTerminal::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (master < 0)
            return false;
        ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd watch{master, POLLOUT, 0};
        if (poll(&watch, 1, 1000) <= 0)
            return false;
    }
    return true;
}

std::string PseudoTerminal::receive(std::size_t count, int withinMs)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    while (master >= 0 && got.size() < count) {
        char buffer[4096];
        std::size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
        ssize_t n = read(master, buffer, want);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EIO: no slave is open at the moment; keep waiting like for EAGAIN.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd watch{master, POLLIN, 0};
        poll(&watch, 1, left.count() < 20 ? int(left.count()) : 20);
    }
    return got;
}

void PseudoTerminal::closeMaster()
{
    if (master >= 0)
        close(master);
    master = -1;
}

// The connection cap with its 503s, and the keep-alive loop whose stream
// gives each request a total time to arrive (see HttpConnections.h). The
// socket calls are the few small functions at the top, for POSIX and
// Winsock.
#include "HttpConnections.h"

#ifndef _WIN32
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Two refusing threads answer a burst of refusals within a second or two;
// beyond the few that wait for them, a connection is only closed.
constexpr std::size_t kRefusingThreads = 2;
constexpr std::size_t kRefusalsWaiting = 8;
// A refused client is heard to the end of its request head (a close before
// that may reset the connection before it reads the 503), within bounds.
constexpr Milliseconds kRefusalHeadWait{1000};
constexpr std::size_t kRefusalHeadBytes = 8 * 1024;
constexpr Milliseconds kRefusalWriteWait{1000};
// Bytes of a refused request past its head, thrown away before the close
// (unread, they would have it reset the connection under the 503).
constexpr std::size_t kRefusalDiscardBytes = 64 * 1024;
// How often a wait looks whether the server was stopped.
constexpr Milliseconds kStopCheck{50};
constexpr std::size_t kReadBufferBytes = 4 * 1024;

// ---- The socket calls --------------------------------------------------------

// Waits up to `wait` for the socket to be readable (or closed, or failed):
// 1 when it is, 0 when the time passed, -1 when the wait failed.
#ifdef _WIN32
int pollOne(pollfd& watch, int timeoutMs)
{
    return ::WSAPoll(&watch, 1, timeoutMs);
}
#else
int pollOne(pollfd& watch, int timeoutMs)
{
    return ::poll(&watch, 1, timeoutMs);
}
#endif

int waitUntilReadable(socket_t sock, Milliseconds wait)
{
    for (;;) {
        pollfd watch{sock, POLLIN, 0};
        const int ready = pollOne(watch, int(wait.count()));
        if (ready >= 0 || errno != EINTR)
            return ready > 0 ? 1 : ready;
    }
}

int waitUntilWritable(socket_t sock, Milliseconds wait)
{
    for (;;) {
        pollfd watch{sock, POLLOUT, 0};
        const int ready = pollOne(watch, int(wait.count()));
        if (ready >= 0 || errno != EINTR)
            return ready > 0 ? 1 : ready;
    }
}

#ifdef _WIN32
// Winsock: no EINTR, no MSG_DONTWAIT or MSG_NOSIGNAL (no SIGPIPE either).
ssize_t receive(socket_t sock, char* into, std::size_t size)
{
    return ::recv(sock, into, int(std::min<std::size_t>(size, 1 << 30)), 0);
}

ssize_t receiveArrived(socket_t sock, char* into, std::size_t size)
{
    u_long waiting = 0;
    if (::ioctlsocket(sock, FIONREAD, &waiting) != 0 || waiting == 0)
        return 0;
    return receive(sock, into, std::min<std::size_t>(size, waiting));
}

ssize_t sendSome(socket_t sock, const char* data, std::size_t size)
{
    return ::send(sock, data, int(std::min<std::size_t>(size, 1 << 30)), 0);
}

void closeConnection(socket_t sock)
{
    ::shutdown(sock, SD_BOTH);
    ::closesocket(sock);
}
#else
// What recv gives: the bytes read, 0 at the client's end, -1 on failure.
ssize_t receive(socket_t sock, char* into, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::recv(sock, into, size, 0);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

// Only what has already arrived; never waits.
ssize_t receiveArrived(socket_t sock, char* into, std::size_t size)
{
    return ::recv(sock, into, size, MSG_DONTWAIT);
}

ssize_t sendSome(socket_t sock, const char* data, std::size_t size)
{
    for (;;) {
        const ssize_t sent = ::send(sock, data, size, MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR)
            return sent;
    }
}

void closeConnection(socket_t sock)
{
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}
#endif

// The address as httplib gives it (numeric: "127.0.0.1",
// "::ffff:127.0.0.1"), since the server trusts loopback by that text.
void addressOf(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port)
{
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    else
        return;
    std::array<char, NI_MAXHOST> text{};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, text.data(),
                      socklen_t(text.size()), nullptr, 0, NI_NUMERICHOST)
        == 0)
        ip = text.data();
}

void peerAddressOf(socket_t sock, std::string& ip, int& port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        addressOf(address, length, ip, port);
}

void ownAddressOf(socket_t sock, std::string& ip, int& port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        addressOf(address, length, ip, port);
}

// ---- Time ------------------------------------------------------------------------

// What is left until `until`, in whole milliseconds rounded up (a wait
// never ends before it), at most `most`.
Milliseconds leftUntil(Clock::time_point until, Milliseconds most)
{
    const auto left = std::chrono::ceil<Milliseconds>(until - Clock::now());
    return std::clamp(left, Milliseconds(0), most);
}

Milliseconds timeoutOf(time_t seconds, time_t microseconds)
{
    return std::chrono::duration_cast<Milliseconds>(std::chrono::seconds(seconds)
                                                    + std::chrono::microseconds(microseconds));
}

// ---- The connection's way, as the pool chose it ----------------------------------

// The pool runs every connection through the library's own task, which
// calls the server's process_and_close_socket: this tells that call which
// way the pool chose for the connection.
enum class Treatment { Serve, Refuse, CloseAtOnce };
thread_local Treatment treatment = Treatment::Serve;

void runAs(Treatment way, const std::function<void()>& connection)
{
    treatment = way;
    connection();
    treatment = Treatment::Serve;
}

// ---- The stream of one served connection ---------------------------------------

// The connection as httplib reads and writes it, buffered (the library
// reads the request line a byte at a time). Every read waits at most the
// per-read time-out and what is left of the request's arrival deadline;
// once that deadline has gone the request is given up: every read and
// write after fails, so nothing is answered, and the connection closes.
class ArrivalTimedStream : public httplib::Stream {
public:
    ArrivalTimedStream(socket_t sock, const std::atomic<socket_t>& listening, Milliseconds readTimeout,
                       Milliseconds writeTimeout)
        : sock(sock), listening(listening), readTimeout(readTimeout), writeTimeout(writeTimeout)
    {
    }

    // Waits, up to `idle`, for the next request to start; false when it did
    // not, or when the server stopped.
    bool awaitRequest(Milliseconds idle) const
    {
        return buffered() || waitReadable(Clock::now() + idle) == Wait::Ready;
    }

    // The request that has just started must have arrived by `deadline`.
    void startRequest(Clock::time_point deadline) { arrivalDeadline = deadline; }

    bool is_readable() const override
    {
        return buffered() || (!late && waitReadable(readUntil()) == Wait::Ready);
    }

    bool is_writable() const override { return !late && waitUntilWritable(sock, writeTimeout) > 0; }

    ssize_t read(char* into, std::size_t size) override
    {
        if (size == 0)
            return 0;
        if (buffered())
            return takeBuffered(into, size);
        if (late)
            return -1;
        const Clock::time_point until = readUntil();
        const Wait waited = waitReadable(until);
        if (waited != Wait::Ready) {
            late = waited == Wait::TimedOut && until == arrivalDeadline;
            failed = true;
            return -1;
        }
        if (size >= buffer.size())
            return noteFailure(receive(sock, into, size));
        const ssize_t got = noteFailure(receive(sock, buffer.data(), buffer.size()));
        if (got <= 0)
            return got;
        bufferStart = 0;
        bufferEnd = std::size_t(got);
        return takeBuffered(into, size);
    }

    // All of it, or -1: the library sends some of its text in one call.
    ssize_t write(const char* data, std::size_t size) override
    {
        if (late)
            return -1;
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t now
                = waitUntilWritable(sock, writeTimeout) > 0 ? sendSome(sock, data + sent, size - sent) : -1;
            if (now < 0) {
                failed = true;
                return -1;
            }
            sent += std::size_t(now);
        }
        return ssize_t(size);
    }

    // True once a read or write has failed: the library goes on after some
    // failures (it answers 400 when a head stops coming, and does not look
    // whether an answer went out), but the connection is done with.
    bool broken() const { return failed; }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { peerAddressOf(sock, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { ownAddressOf(sock, ip, port); }
    socket_t socket() const override { return sock; }

private:
    enum class Wait { Ready, TimedOut, Stopped, Failed };

    bool buffered() const { return bufferStart < bufferEnd; }

    ssize_t noteFailure(ssize_t got)
    {
        failed = failed || got < 0;
        return got;
    }

    ssize_t takeBuffered(char* into, std::size_t size)
    {
        const std::size_t taken = std::min(size, bufferEnd - bufferStart);
        std::copy_n(buffer.data() + bufferStart, taken, into);
        bufferStart += taken;
        return ssize_t(taken);
    }

    Clock::time_point readUntil() const { return std::min(Clock::now() + readTimeout, arrivalDeadline); }

    // In short slices, so that a stop of the server ends it soon.
    Wait waitReadable(Clock::time_point until) const
    {
        for (;;) {
            if (listening == INVALID_SOCKET)
                return Wait::Stopped;
            const Milliseconds slice = leftUntil(until, kStopCheck);
            if (slice.count() == 0)
                return Wait::TimedOut;
            const int ready = waitUntilReadable(sock, slice);
            if (ready != 0)
                return ready > 0 ? Wait::Ready : Wait::Failed;
        }
    }

    const socket_t sock;
    const std::atomic<socket_t>& listening;
    const Milliseconds readTimeout;
    const Milliseconds writeTimeout;
    Clock::time_point arrivalDeadline = Clock::time_point::max();
    bool late = false;
    bool failed = false;
    std::array<char, kReadBufferBytes> buffer{};
    std::size_t bufferStart = 0;
    std::size_t bufferEnd = 0;
};

std::string refusalOf(std::size_t connectionsAtOnce)
{
    const std::string body = "The server has its fill of connections (" + std::to_string(connectionsAtOnce)
        + " at once); try again shortly";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "Content-Length: "
        + std::to_string(body.size())
        + "\r\n"
          "Retry-After: 1\r\n"
          "Connection: close\r\n"
          "\r\n"
        + body;
}

// True when `received` holds the blank line that ends a head; the search
// starts at `from`, as the bytes before it were searched already.
bool holdsHeadEnd(std::string_view received, std::size_t from)
{
    const std::string_view fresh = received.substr(std::min(from, received.size()));
    return fresh.find("\r\n\r\n") != std::string_view::npos || fresh.find("\n\n") != std::string_view::npos;
}

void sendWithin(socket_t sock, const std::string& text, Milliseconds wait)
{
    const Clock::time_point until = Clock::now() + wait;
    std::size_t sent = 0;
    while (sent < text.size()) {
        const Milliseconds left = leftUntil(until, wait);
        if (left.count() == 0 || waitUntilWritable(sock, left) <= 0)
            return;
        const ssize_t now = sendSome(sock, text.data() + sent, text.size() - sent);
        if (now < 0)
            return;
        sent += std::size_t(now);
    }
}

void discardArrived(socket_t sock)
{
    std::array<char, kReadBufferBytes> sink;
    for (std::size_t discarded = 0; discarded < kRefusalDiscardBytes;) {
        const ssize_t got = receiveArrived(sock, sink.data(), sink.size());
        if (got <= 0)
            return;
        discarded += std::size_t(got);
    }
}

} // namespace

// ---- ConnectionPool ----------------------------------------------------------------

ConnectionPool::ConnectionPool(std::size_t cap, std::size_t refusingThreads, std::size_t refusalsWaiting)
    : cap(cap), refusalsWaitingAtMost(refusalsWaiting)
{
    try {
        for (std::size_t i = 0; i < cap; ++i)
            threads.emplace_back([this] { serveConnections(); });
        for (std::size_t i = 0; i < refusingThreads; ++i)
            threads.emplace_back([this] { refuseConnections(); });
    } catch (...) {
        shutdown();
        throw;
    }
}

ConnectionPool::~ConnectionPool()
{
    shutdown();
}

void ConnectionPool::enqueue(std::function<void()> connection)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopping && admitted < cap) {
            ++admitted;
            toServe.push_back(std::move(connection));
            servingWake.notify_one();
            return;
        }
        if (!stopping && toRefuse.size() < refusalsWaitingAtMost) {
            toRefuse.push_back(std::move(connection));
            refusingWake.notify_one();
            return;
        }
    }
    runAs(Treatment::CloseAtOnce, connection);
}

void ConnectionPool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    servingWake.notify_all();
    refusingWake.notify_all();
    for (std::thread& thread : threads)
        if (thread.joinable())
            thread.join();
}

std::function<void()> ConnectionPool::next(std::deque<std::function<void()>>& queue, std::condition_variable& wake)
{
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [&] { return stopping || !queue.empty(); });
    if (queue.empty())
        return nullptr;
    std::function<void()> connection = std::move(queue.front());
    queue.pop_front();
    return connection;
}

void ConnectionPool::serveConnections()
{
    while (std::function<void()> connection = next(toServe, servingWake)) {
        runAs(Treatment::Serve, connection);
        std::lock_guard<std::mutex> lock(mutex);
        --admitted;
    }
}

void ConnectionPool::refuseConnections()
{
    while (std::function<void()> connection = next(toRefuse, refusingWake))
        runAs(Treatment::Refuse, connection);
}

// ---- LimitedHttpServer ---------------------------------------------------------------

LimitedHttpServer::LimitedHttpServer(std::size_t connectionsAtOnce, std::chrono::seconds requestArrival)
    : requestArrival(requestArrival), refusal(refusalOf(connectionsAtOnce))
{
    new_task_queue
        = [connectionsAtOnce] { return new ConnectionPool(connectionsAtOnce, kRefusingThreads, kRefusalsWaiting); };
}

bool LimitedHttpServer::process_and_close_socket(socket_t sock)
{
    switch (treatment) {
    case Treatment::CloseAtOnce:
        closeConnection(sock);
        return false;
    case Treatment::Refuse:
        refuse(sock);
        return false;
    case Treatment::Serve:
        break;
    }
    const bool served = serve(sock);
    closeConnection(sock);
    return served;
}

// httplib's keep-alive loop, with the arrival deadline started as each
// request starts.
bool LimitedHttpServer::serve(socket_t sock)
{
    ArrivalTimedStream stream(sock, svr_sock_, timeoutOf(read_timeout_sec_, read_timeout_usec_),
                              timeoutOf(write_timeout_sec_, write_timeout_usec_));
    const Milliseconds idle = timeoutOf(keep_alive_timeout_sec_, 0);
    bool served = false;
    for (std::size_t left = keep_alive_max_count_; left > 0 && !stopped(); --left) {
        if (!stream.awaitRequest(idle))
            break;
        stream.startRequest(Clock::now() + requestArrival);
        bool closedByClient = false;
        served = process_request(stream, left == 1, closedByClient, nullptr) && !stream.broken();
        if (!served || closedByClient)
            break;
    }
    return served;
}

void LimitedHttpServer::refuse(socket_t sock)
{
    awaitRequestHead(sock);
    sendWithin(sock, refusal, kRefusalWriteWait);
    discardArrived(sock);
    closeConnection(sock);
}

void LimitedHttpServer::awaitRequestHead(socket_t sock) const
{
    std::array<char, kRefusalHeadBytes> head;
    std::size_t length = 0;
    const Clock::time_point until = Clock::now() + kRefusalHeadWait;
    while (length < head.size() && !stopped()) {
        const Milliseconds slice = leftUntil(until, kStopCheck);
        if (slice.count() == 0)
            return;
        const int ready = waitUntilReadable(sock, slice);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        const ssize_t got = receive(sock, head.data() + length, head.size() - length);
        if (got <= 0)
            return;
        const std::size_t searchedTo = length >= 3 ? length - 3 : 0;
        length += std::size_t(got);
        if (holdsHeadEnd(std::string_view(head.data(), length), searchedTo))
            return;
    }
}

#include "DriverCall.h"

#include "Telescope.h"
#include "Trace.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {
// The innermost call under way on this thread: an error reported on
// another thread (outside any call) never lands in it.
thread_local DriverCall* current = nullptr;
}

std::recursive_mutex& driverCallLock()
{
    static std::recursive_mutex lock;
    return lock;
}

DriverCall::DriverCall(const char* member) : guard(driverCallLock()), member(member), outer(current)
{
    current = this;
}

DriverCall::~DriverCall()
{
    if (traceIsOn() && member)
        writeTraceLine();
    current = outer;
    // The trace of a connection ends with the call that leaves the process
    // unconnected (a disconnect, a failed connect, the release of the
    // object that held the port), its own line written first.
    if (!outer && traceIsOn() && !processIsConnected())
        closeTrace();
}

void DriverCall::noteError(const char* text)
{
    if (!traceIsOn() || !current || !text)
        return;
    // The enclosing calls too: the client of an outer call that fails
    // with an inner one's status reads the inner one's text.
    try {
        for (DriverCall* call = current; call; call = call->outer)
            call->errorText = text;
    } catch (const std::bad_alloc&) {
    }
}

void DriverCall::writeTraceLine()
{
    try {
        std::string line = memberName(member);
        if (!hasResult) {
            traceLine(line);
            return;
        }
        char status[16];
        std::snprintf(status, sizeof status, ": 0x%08lX", static_cast<unsigned long>(returned));
        line += status;
        // A status other than S_OK may come with a text for the client.
        if (returned != S_OK && !errorText.empty())
            line += ' ' + quotedBytes(errorText.data(), errorText.size());
        traceLine(line);
    } catch (const std::bad_alloc&) {
    }
}

std::string memberName(const char* function)
{
    if (std::strncmp(function, "get_", 4) == 0)
        return std::string(function + 4) + " get";
    if (std::strncmp(function, "put_", 4) == 0)
        return std::string(function + 4) + " set";
    return function;
}

// One call at a time in the whole process: the mount state is shared by
// every driver object, and clients may call from any thread. Recursive,
// because the object's creation connects through its own interface.
//
// Each member's call is also what the trace shows: its name (the member's
// own, given by the compiler) and the status it returns through result().
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

std::recursive_mutex& driverCallLock();

class DriverCall {
public:
    // A call without a name (the object's creation) writes no line itself.
    explicit DriverCall(const char* member = __builtin_FUNCTION());
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

    // Every member returns through here, so the trace sees its status.
    HRESULT result(HRESULT status)
    {
        returned = status;
        hasResult = true;
        return status;
    }

    // The text of an error reported to the client during the calls under
    // way, for their lines in the trace.
    static void noteError(const char* text);

private:
    void writeTraceLine();

    std::lock_guard<std::recursive_mutex> guard;
    const char* member;
    DriverCall* outer;
    HRESULT returned = S_OK;
    bool hasResult = false;
    std::string errorText;
};

// The member's name as clients know it: "RightAscension get" for
// get_RightAscension, "Connected set" for put_Connected.
std::string memberName(const char* function);

// Writes a member's result through the client's pointer; a client may pass
// none at all.
template <typename T>
HRESULT returnValue(T* result, T value)
{
    if (!result)
        return E_POINTER;
    *result = value;
    return S_OK;
}

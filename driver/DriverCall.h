// One call at a time in the whole process: the mount state is shared by
// every driver object, and clients may call from any thread. Recursive,
// because members call each other through the interface.
#pragma once

#include <windows.h>

#include <mutex>

std::recursive_mutex& driverCallLock();

class DriverCall {
public:
    DriverCall() : guard(driverCallLock()) {}

private:
    std::lock_guard<std::recursive_mutex> guard;
};

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

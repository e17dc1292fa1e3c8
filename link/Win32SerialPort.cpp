#include "Win32SerialPort.h"

#include <new>

Win32SerialPort::~Win32SerialPort() { close(); }

bool Win32SerialPort::failOpen()
{
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return false;
}

bool Win32SerialPort::open(const char* devicePath, std::uint32_t baudRate)
{
    close();
    handle = CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;

    settings.DCBlength = sizeof settings;
    if (!GetCommState(handle, &settings))
        return failOpen();

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = kReadTotalPerByteMs;
    timeouts.ReadTotalTimeoutConstant = kReadTotalConstantMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts))
        return failOpen();

    settings.BaudRate = baudRate;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    // On failure the handle stays open; the owner closes and deletes us.
    return SetCommState(handle, &settings) != FALSE;
}

// What a call on a COM handle fails with once its device has gone: a USB
// adapter pulled out (access denied, not connected, general failure, bad
// command, as drivers differ), or under Wine the far end of a
// pseudo-terminal closed (not ready).
static bool meansDeviceGone(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

void Win32SerialPort::noteFailure(DWORD error)
{
    if (meansDeviceGone(error))
        hungUp = true;
}

void Win32SerialPort::checkDeviceAfterEmptyRead()
{
    // A read on a vanished device may just time out empty; the port's
    // error state tells it from a mount that is only silent.
    DWORD errors = 0;
    if (!ClearCommError(handle, &errors, nullptr))
        noteFailure(GetLastError());
}

void Win32SerialPort::close()
{
    hungUp = false;
    if (handle == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

bool Win32SerialPort::purge()
{
    // Input only. Writes are synchronous, so no output of ours is ever left
    // to discard on Windows; where the system buffers output (Wine on a
    // pseudo-terminal), clearing it would cut off the command before, one
    // the mount does not answer and may not have read yet.
    return PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR) != FALSE;
}

bool Win32SerialPort::write(const void* bytes, std::uint32_t count)
{
    DWORD written = 0;
    if (!WriteFile(handle, bytes, count, &written, nullptr)) {
        noteFailure(GetLastError());
        return false;
    }
    return written == count;
}

std::uint32_t Win32SerialPort::read(void* buffer, std::uint32_t count)
{
    DWORD received = 0;
    if (!ReadFile(handle, buffer, count, &received, nullptr)) {
        noteFailure(GetLastError());
        return 0;
    }
    if (received == 0 && count > 0)
        checkDeviceAfterEmptyRead();
    return received <= count ? received : count;
}

std::unique_ptr<SerialPort> makeSystemSerialPort()
{
    return std::unique_ptr<SerialPort>(new (std::nothrow) Win32SerialPort);
}

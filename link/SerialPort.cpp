#include "SerialPort.h"

#include <cstdio>

namespace {
// A read gives up 500 ms plus 1 ms per requested byte after it started; no
// gap limit between characters, so a slow mount still delivers a whole reply.
constexpr DWORD kReadTotalConstantMs = 500;
constexpr DWORD kReadTotalPerByteMs = 1;
}

SerialPort::~SerialPort() { close(); }

bool SerialPort::failOpen()
{
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    return false;
}

bool SerialPort::open(const char* devicePath, std::uint32_t baudRate)
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

void SerialPort::close()
{
    if (handle == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

bool SerialPort::purge()
{
    // Input only. Writes are synchronous, so no output of ours is ever left
    // to discard on Windows; where the system buffers output (Wine on a
    // pseudo-terminal), clearing it would cut off the command before, one
    // the mount does not answer and may not have read yet.
    return PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR) != FALSE;
}

bool SerialPort::write(const void* bytes, std::uint32_t count)
{
    DWORD written = 0;
    BOOL ok = WriteFile(handle, bytes, count, &written, nullptr);
    return ok && written == count;
}

std::uint32_t SerialPort::read(void* buffer, std::uint32_t count)
{
    DWORD received = 0;
    if (!ReadFile(handle, buffer, count, &received, nullptr))
        return 0;
    return received <= count ? received : count;
}

void formatPortPath(char (&path)[16], int portNumber)
{
    std::snprintf(path, sizeof path, "\\\\.\\COM%i", portNumber);
}

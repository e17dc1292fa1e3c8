// The serial port on Windows: a COM device through CreateFile and the
// communications functions.
#pragma once

#include "SerialPort.h"

#include <windows.h>

class Win32SerialPort final : public SerialPort {
public:
    Win32SerialPort() = default;
    ~Win32SerialPort() override;

    // Flow control stays as the device had it.
    bool open(const char* devicePath, std::uint32_t baudRate) override;
    void close() override;
    // A pending read is aborted too.
    bool purge() override;
    bool write(const void* bytes, std::uint32_t count) override;
    std::uint32_t read(void* buffer, std::uint32_t count) override;
    bool isOpen() const override { return handle != INVALID_HANDLE_VALUE; }
    bool hasHungUp() const override { return hungUp; }

private:
    bool failOpen();
    // Notes a hang-up that a call on the handle failed with.
    void noteFailure(DWORD error);
    // A read that brought nothing: silence, or a device that went away.
    void checkDeviceAfterEmptyRead();

    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB settings{};
    bool hungUp = false;
};

// One open serial device with fixed line settings and time-outs.
#pragma once

#include <windows.h>

#include <cstdint>

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device exclusively and configures baudRate, 8 data bits,
    // no parity, 1 stop bit. Flow control stays as the device had it.
    bool open(const char* devicePath, std::uint32_t baudRate);
    void close();
    // Drops unread input; a pending read is aborted.
    bool purge();
    // True only when every byte went out.
    bool write(const void* bytes, std::uint32_t count);
    // Returns as soon as count bytes arrived, or after 500 ms + 1 ms per
    // requested byte, with however many bytes came.
    std::uint32_t read(void* buffer, std::uint32_t count);
    bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }

private:
    bool failOpen();

    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB settings{};
};

// "\\.\COMn": the device path of a port number.
void formatPortPath(char (&path)[16], int portNumber);

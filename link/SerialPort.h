// One serial device with fixed line settings and time-outs: one small
// interface, an implementation per system (Win32SerialPort on Windows,
// PosixSerialPort on Linux), so the command channel above never sees a
// system call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class SerialPort {
public:
    SerialPort() = default;
    virtual ~SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the device exclusively (a second opener is refused) and
    // configures baudRate, 8 data bits, no parity, 1 stop bit.
    virtual bool open(const char* devicePath, std::uint32_t baudRate) = 0;
    virtual void close() = 0;
    // Drops unread input.
    virtual bool purge() = 0;
    // True only when every byte went out.
    virtual bool write(const void* bytes, std::uint32_t count) = 0;
    // Returns as soon as count bytes arrived, or after 500 ms + 1 ms per
    // requested byte, with however many bytes came.
    virtual std::uint32_t read(void* buffer, std::uint32_t count) = 0;
    virtual bool isOpen() const = 0;
    // True once the device has gone away under the open port (an adapter
    // pulled out, the other end of a pseudo-terminal closed): no exchange
    // can succeed until it is opened again.
    virtual bool hasHungUp() const { return false; }
};

// A read gives up 500 ms plus 1 ms per requested byte after it started; no
// gap limit between characters, so a slow mount still delivers a whole reply.
constexpr std::uint32_t kReadTotalConstantMs = 500;
constexpr std::uint32_t kReadTotalPerByteMs = 1;

// Makes the port a channel opens; tests put a scripted one in its place.
using SerialPortMaker = std::function<std::unique_ptr<SerialPort>()>;
// This system's own serial port.
std::unique_ptr<SerialPort> makeSystemSerialPort();

// "\\.\COMn": the device path of a Windows port number.
std::string comPortPath(int portNumber);

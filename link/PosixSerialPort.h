// The serial port on Linux and other POSIX systems: a tty device through
// termios, exclusive by a lock on the device and the tty's own exclusive
// mode, reads bounded by poll against one deadline.
#pragma once

#include "SerialPort.h"

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort() = default;
    ~PosixSerialPort() override;

    // Raw 8N1 at baudRate, no flow control, modem lines ignored. False, and
    // nothing held, for a rate the system has no setting for, a device that
    // is missing, held by another opener or no terminal.
    bool open(const char* devicePath, std::uint32_t baudRate) override;
    void close() override;
    bool purge() override;
    // Gives up when the line takes no byte for a second.
    bool write(const void* bytes, std::uint32_t count) override;
    // A hang-up or an error ends the read early, with what came.
    std::uint32_t read(void* buffer, std::uint32_t count) override;
    bool isOpen() const override { return descriptor >= 0; }
    bool hasHungUp() const override { return hungUp; }

private:
    bool failOpen();
    // Notes a hang-up that a read or write met.
    void noteFailure(int error);

    int descriptor = -1;
    bool hungUp = false;
};

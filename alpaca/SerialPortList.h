// The serial ports the setup page offers: the stable names udev makes for
// USB adapters first, then the kernel's own tty names that a mount can be on.
#pragma once

#include <string>
#include <vector>

struct SerialPortEntry {
    std::string path;          // what to open, e.g. /dev/serial/by-id/usb-...
    std::string description;   // for people: the device behind it, or the kind of port
};

// Stable names first (devRoot/serial/by-id/*, described by the device they
// point to; links to nothing are left out), then devRoot/ttyUSB*, ttyACM*,
// ttyAMA*, rfcomm*, and the ttyS* that have a real device behind them
// (sysRoot/class/tty/<name>/device/driver exists). Natural order within each
// group ("ttyUSB2" before "ttyUSB10"), and a device a stable name already
// offers is not listed again under its kernel name. A folder that cannot be
// read gives no entries, never an error.
std::vector<SerialPortEntry> listSerialPorts(const std::string& devRoot = "/dev",
                                             const std::string& sysRoot = "/sys");

// On Windows, how COM port `port` is described: Device Manager's name for
// it without the " (COMn)" it ends in ("Prolific USB-to-Serial Comm Port"),
// else its driver's device name ("serial port (\\Device\\Serial0)").
std::string windowsPortDescription(const std::string& port, const std::string& driverDevice,
                                   const std::string& friendlyName);

// Natural order: runs of digits compare by value, everything else byte by
// byte; a strict weak order (equal values like "01"/"1" fall back to bytes).
bool naturalLess(const std::string& a, const std::string& b);

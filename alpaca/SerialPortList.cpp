// The serial ports the setup page offers, from plain directory reads of /dev
// and /sys: no device is opened, so listing never disturbs a port in use.
#include "SerialPortList.h"

#ifdef _WIN32
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
#endif

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Far more than any machine has; keeps a strange tree from growing the list
// without bound.
constexpr std::size_t kMostNames = 10000;

struct KernelGroup {
    const char* prefix;
    const char* kind;
    bool needsDriver;   // ttyS names exist for every possible UART, fitted or not
};

const KernelGroup kKernelGroups[] = {
    {"ttyUSB", "USB serial adapter", false},
    {"ttyACM", "USB serial device (modem class)", false},
    {"ttyAMA", "on-board serial port", false},
    {"rfcomm", "Bluetooth serial link", false},
    {"ttyS", "serial port", true},
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The folder's entry names that are not folders themselves, sorted
// naturally; none when it cannot be read.
std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        std::error_code typeError;
        if (entry->is_directory(typeError))
            continue;
        names.push_back(entry->path().filename().string());
        if (names.size() == kMostNames)
            break;
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

// "ttyUSB0" is in the ttyUSB group; "ttyUSB", "ttySAC0" and "ttyS0a" are not.
bool inGroup(const std::string& name, const KernelGroup& group)
{
    const std::string prefix = group.prefix;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + std::ptrdiff_t(prefix.size()), name.end(), isDigit);
}

const KernelGroup* groupOf(const std::string& name)
{
    for (const KernelGroup& group : kKernelGroups)
        if (inGroup(name, group))
            return &group;
    return nullptr;
}

// The device a path finally names, links followed; empty when it names
// nothing (an unplugged adapter's leftover link).
std::string deviceBehind(const fs::path& path)
{
    std::error_code error;
    const fs::path device = fs::canonical(path, error);
    if (error || fs::is_directory(device, error))
        return {};
    return device.string();
}

bool hasDriver(const std::string& sysRoot, const std::string& name)
{
    std::error_code error;
    return fs::exists(fs::path(sysRoot) / "class" / "tty" / name / "device" / "driver", error);
}

void addStableNames(const std::string& devRoot, std::vector<SerialPortEntry>& ports, std::set<std::string>& seen)
{
    const fs::path folder = fs::path(devRoot) / "serial" / "by-id";
    for (const std::string& name : namesIn(folder)) {
        const std::string device = deviceBehind(folder / name);
        if (device.empty() || !seen.insert(device).second)
            continue;
        std::string description = device;
        if (const KernelGroup* group = groupOf(fs::path(device).filename().string()))
            description += std::string(" (") + group->kind + ")";
        ports.push_back({(folder / name).string(), description});
    }
}

void addKernelNames(const std::string& devRoot, const std::string& sysRoot, std::vector<SerialPortEntry>& ports,
                    std::set<std::string>& seen)
{
    const std::vector<std::string> names = namesIn(devRoot);
    for (const KernelGroup& group : kKernelGroups)
        for (const std::string& name : names) {
            if (!inGroup(name, group) || (group.needsDriver && !hasDriver(sysRoot, name)))
                continue;
            const fs::path path = fs::path(devRoot) / name;
            const std::string device = deviceBehind(path);
            if (!seen.insert(device.empty() ? path.string() : device).second)
                continue;
            ports.push_back({path.string(), group.kind});
        }
}

} // namespace

bool naturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (!isDigit(a[i]) || !isDigit(b[j])) {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i, ++j;
            continue;
        }
        std::size_t aEnd = i, bEnd = j;
        while (aEnd < a.size() && isDigit(a[aEnd]))
            ++aEnd;
        while (bEnd < b.size() && isDigit(b[bEnd]))
            ++bEnd;
        // Leading zeros do not change the value; keep at least one digit.
        while (i + 1 < aEnd && a[i] == '0')
            ++i;
        while (j + 1 < bEnd && b[j] == '0')
            ++j;
        if (aEnd - i != bEnd - j)
            return aEnd - i < bEnd - j;
        const int order = a.compare(i, aEnd - i, b, j, bEnd - j);
        if (order != 0)
            return order < 0;
        i = aEnd, j = bEnd;
    }
    if (i < a.size() || j < b.size())
        return j < b.size();
    return a < b;
}

#ifdef _WIN32
// The names Device Manager shows for the ports present, by COM port:
// "Prolific USB-to-Serial Comm Port (COM3)". None where the system keeps
// none (Wine).
static std::map<std::string, std::string> friendlyPortNames()
{
    std::map<std::string, std::string> names;
    HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; names.size() < kMostNames && SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        char friendly[256] = {}, port[64] = {};
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, &type,
                                               reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1, nullptr)
            || type != REG_SZ)
            continue;
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        DWORD length = sizeof port - 1;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &length) == ERROR_SUCCESS
            && type == REG_SZ)
            names[std::string(port, strnlen(port, length))] = friendly;
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return names;
}

// Windows names its serial ports in the registry: COMn, with the driver's
// device name ("\\Device\\VCP0" for a USB adapter); Device Manager's name
// for it describes it where there is one.
static std::vector<SerialPortEntry> windowsPorts()
{
    std::vector<SerialPortEntry> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    const std::map<std::string, std::string> friendly = friendlyPortNames();
    for (DWORD index = 0; ports.size() < kMostNames; ++index) {
        char name[256], value[256];
        DWORD nameLength = sizeof name, valueLength = sizeof value - 1, type = 0;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &valueLength)
            != ERROR_SUCCESS)
            break;
        if (type != REG_SZ)
            continue;
        value[valueLength] = 0;
        const auto named = friendly.find(value);
        ports.push_back({value, windowsPortDescription(value, name, named == friendly.end() ? "" : named->second)});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const SerialPortEntry& a, const SerialPortEntry& b) { return naturalLess(a.path, b.path); });
    return ports;
}
#endif

std::string windowsPortDescription(const std::string& port, const std::string& driverDevice,
                                   const std::string& friendlyName)
{
    std::string name = friendlyName;
    const std::string suffix = " (" + port + ")";
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.erase(name.size() - suffix.size());
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    if (!name.empty())
        return name;
    return driverDevice.empty() ? std::string("serial port") : "serial port (" + driverDevice + ")";
}

std::vector<SerialPortEntry> listSerialPorts(const std::string& devRoot, const std::string& sysRoot)
{
#ifdef _WIN32
    (void)devRoot;
    (void)sysRoot;
    return windowsPorts();
#endif
    std::vector<SerialPortEntry> ports;
    std::set<std::string> seen;
    addStableNames(devRoot, ports, seen);
    addKernelNames(devRoot, sysRoot, ports, seen);
    return ports;
}

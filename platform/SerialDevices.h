#pragma once
// The machine's serial-device list: the real serial ports found under
// /sys/class/tty (8250 placeholders without a UART skipped), the entries the
// user wrote under HKEY_LOCAL_MACHINE\hardware\devicemap\serialcomm in the
// registry file (any path: /dev/serial/by-id/..., a socat pty, /dev/rfcomm0),
// and the built-in loopback plug.
//
// Every device keeps its port name COMn for good: the first time a device is
// seen it gets the lowest free number and the assignment is stored in the
// registry file.

#include <string>
#include <vector>

namespace serialdevices {

struct Entry {
    std::string devicePath;  // "/dev/ttyUSB0", or the loopback plug's name
    std::string portName;    // "COM3"
    std::string description; // shown as a tool tip with the path
};

// Tests point discovery at fixture folders instead of /sys and /dev.
void SetDiscoveryRoots(const std::string& sysRoot, const std::string& devRoot);

// The current list, assigning and storing COM numbers for new devices.
std::vector<Entry> List();

// Device path for a port name ("COM3", compared without regard to case),
// or "" when no device carries it.
std::string PathForPort(const std::string& portName);

} // namespace serialdevices

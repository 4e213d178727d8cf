#pragma once
// The machine's serial-device list: the real serial ports found under
// /sys/class/tty (8250 placeholders without a UART skipped), the entries the
// user wrote under HKEY_LOCAL_MACHINE\hardware\devicemap\serialcomm in the
// registry file (any path: /dev/serial/by-id/..., a socat pty, /dev/rfcomm0,
// or a network port "rfc2217://host:port"),
// and the built-in loopback plug.
//
// Every device keeps its port name COMn for good: the first time a device is
// seen it gets the lowest free number and the assignment is stored in the
// registry file, keyed by the adapter's /dev/serial/by-id link where it has
// one (so the number follows the adapter whatever ttyUSBn the kernel gives
// it), by its kernel name otherwise. A user's entry whose name is not
// "COM" and a number of 1 or more is kept the same way under its path.
//
// Every listed name is "COMn" and names exactly one entry: on a clash the
// user's entry beats a handed-out number and the first user entry in the
// file beats a later one; the loser is lent a free number for the listing
// (nothing is stored for it).

#include <string>
#include <vector>

namespace serialdevices {

struct Entry {
    std::string devicePath;  // "/dev/serial/by-id/usb-...", "/dev/ttyS0", a user's path, or the loopback plug's name
    std::string portName;    // "COM3"
    std::string description; // shown as a tool tip with the path
    // What tells this device from another that takes its place under the
    // same name: the by-id link says it all; a kernel name is joined by
    // the driver and product behind it; a user's path is only itself.
    std::string identity;
    // False for a user's entry whose path is not there now (a socat link
    // that has gone); the entry is listed all the same.
    bool present = true;
};

// Tests point discovery at fixture folders instead of /sys and /dev.
void SetDiscoveryRoots(const std::string& sysRoot, const std::string& devRoot);

// The current list, assigning and storing COM numbers for new devices.
std::vector<Entry> List();

// Device path for a port name ("COM3"; case and leading zeros do not
// matter), or "" when no entry of List() carries it.
std::string PathForPort(const std::string& portName);

// The device folder discovery looks at ("/dev", or a test's).
std::string DeviceRoot();
// The user's entries that are paths ("/tmp/ttyV0", a by-id link), in file
// order; their folders are watched for the path coming and going.
std::vector<std::string> UserPaths();

} // namespace serialdevices

#pragma once
// Why a port did not open, and which line setting a device refused, in
// terms a user can act on. The comm API reports only an error code through
// GetLastError; what lies behind it (the group that owns the device, the
// process that holds it, what a network server answered, the field the
// driver would not take) is kept here for the thread whose call failed,
// until that thread's next open or setting.

#include "CommApi.h"

#include <string>

namespace commreasons {

enum class OpenProblem {
    None,             // the thread's last open succeeded (or there was none)
    NoSuchPort,       // the name is in no list
    Missing,          // the device path does not exist (adapter out, socat not running)
    NoUart,           // a serial port without a UART behind it
    NotSerial,        // the path exists but is no serial device
    Permission,       // the device may not be opened by this user
    Busy,             // another program (or handle) holds the device
    BadAddress,       // a network port's path holds no usable address
    NameUnknown,      // a network port's host name cannot be resolved
    ServerUnreachable, // no TCP connection (refused, timed out, no route)
    ServerBusy,       // the server turned the connection away at once
    NotComPortServer, // the server does not speak RFC 2217 as it should
    Other,
};

struct OpenFailure {
    OpenProblem problem = OpenProblem::None;
    std::string name;  // as given to CreateFile
    std::string path;  // the device path; "host:port" for a network port
    win::DWORD error = 0;
    // Permission: the group that owns the device ("" when unknown) and
    // whether this process is a member of it.
    std::string group;
    bool inGroup = false;
    // Busy: a process holding the device (0 when none could be found) and
    // its command name.
    int holderPid = 0;
    std::string holderName;
    // A network port: what the server answered, in its own words.
    std::string serverText;
};

// The calling thread's last CreateFile.
OpenFailure LastOpenFailure();

enum class Setting {
    None,
    Rate,
    DataBits,
    Parity,
    StopBits,         // 1.5 or 2 stop bits at all
    StopBitsForSize,  // 1.5 with 6..8 data bits, 2 with 5
    CtsFlow,          // CTS output flow / RTS handshake
    DsrFlow,          // DSR output flow, DSR sensitivity
    DtrHandshake,
    XonXoff,
    XonXoffChars,     // XON and XOFF the same character
    ParityCheck,
    NonBinary,
    Server,           // a network server's refusal, in serverText
    Other,
};

struct RefusedSetting {
    Setting setting = Setting::None;
    win::DCB asked{};
    // Rate: what the driver would have used instead; 0 when not known.
    win::DWORD grantedRate = 0;
    std::string serverText;
};

// The calling thread's last SetCommState, when it was refused.
RefusedSetting LastRefusedSetting();

} // namespace commreasons

#pragma once
// What a network port needs before and after its device exists: the
// address in its path, a TCP connection made within a time-out, and a
// connection kept for a moment after its handle was closed.

#include "CommApi.h"
#include "Rfc2217.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace win::detail::netport {

constexpr const char* Scheme = "rfc2217://";

// "host:port" or "[v6]:port" after the scheme; false for anything else.
bool SplitAddress(const std::string& path, std::string& host, std::string& port);

// Connects within the connect time-out; the socket (non-blocking, small
// writes sent at once, a silent server noticed by keep-alive), or -1 with
// `error` set: the system's code, or ERROR_PORT_SERVER with the server
// answer's text set when the name cannot be resolved.
int Connect(const std::string& host, const std::string& port, DWORD& error);
void SetConnectTimeout(std::chrono::milliseconds timeout);

// A connection whose handle was closed, kept for a reopen (see Park).
struct Parked {
    int fd = -1;
    rfc2217::Parser parser;
    rfc2217::Negotiator negotiator;
    DCB settings;
    bool hasModemLines = false;
    int pings = 0;
    uint64_t ticket = 0;
};

// The port object reopens its device for every change of a line setting
// and for a break. A new connection each time would make the server close
// and reopen its serial port (raising DTR there, keying a transceiver whose
// transmit enable is on it), and a server that notices the old connection's
// end only a moment later turns the new one away as a second user. So a
// closed network port keeps its connection for Linger; an open of the same
// address in that while takes it over, and nothing on the far side moves.
class ParkingLot {
public:
    static constexpr std::chrono::milliseconds Linger{250};

    // Keeps the connection of `path` (closing one kept before) for Linger.
    void Park(const std::string& path, std::unique_ptr<Parked> parked);

    // The kept connection of `path`, now the caller's; null when there is none.
    std::unique_ptr<Parked> Take(const std::string& path);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::unique_ptr<Parked>> slots_;
    uint64_t tickets_ = 0;
};

// The one lot; never destroyed, as the threads that let parked connections
// go may outlive every port.
ParkingLot& Lot();

} // namespace win::detail::netport

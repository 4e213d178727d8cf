#pragma once
// What a network port needs before and after its device exists: the
// address in its path, a TCP connection made within a time-out, and a
// connection kept for a moment after its handle was closed.

#include "CommApi.h"
#include "HandleParking.h"
#include "Rfc2217.h"

#include <netdb.h>

#include <chrono>
#include <memory>
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
// The same for addresses already looked up: the first that answers. The
// connect time-out is the total; each address has its share of what is
// left of it.
int ConnectFirst(const addrinfo* list, DWORD& error);
void SetConnectTimeout(std::chrono::milliseconds timeout);

// A connection whose handle was closed, kept for a reopen (see Lot).
struct Parked {
    int fd = -1;
    rfc2217::Parser parser;
    rfc2217::Negotiator negotiator;
    DCB settings;
    bool hasModemLines = false;
    int pings = 0;
    std::chrono::milliseconds roundTrip{0};
};

// Connections of closed network ports, kept for a reopen of the same
// address: a new connection each time would make the server close and
// reopen its serial port (raising DTR there), and a server that notices the
// old connection's end only a moment later turns the new one away as a
// second user.
constexpr std::chrono::milliseconds Linger{250};
using ParkingLot = HandleParking<std::string, std::unique_ptr<Parked>>;
ParkingLot& Lot();

} // namespace win::detail::netport

#pragma once
// Turns a pty into something closer to a UART for the length of one test.
//
// A pty has no modem lines (the modem ioctls fail with ENOTTY) and forces 8
// data bits without parity, so the line levels and frame formats the device
// code asks for cannot be seen on it. While a SimulatedUart exists, the
// ioctls that this process sends to the given tty are answered by it: it
// keeps the termios2 it was given (passing it on to the pty as well, so that
// data still flows), holds DTR/RTS/break/output-suspension state, and can
// be told to behave like particular hardware (a rate limit, a port without a
// UART whose modem status read fails).
//
// It works by defining ioctl() in the test binary, which the device code in
// the statically linked platform library then calls.

#include "Pty.h"

#include <cstdint>
#include <functional>
#include <string>

class SimulatedUart {
public:
    explicit SimulatedUart(const std::string& ttyPath);
    ~SimulatedUart();
    SimulatedUart(const SimulatedUart&) = delete;
    SimulatedUart& operator=(const SimulatedUart&) = delete;

    // What the simulated driver holds.
    TtySettings Settings() const;
    bool Dtr() const;
    bool Rts() const;
    bool BreakOn() const;
    bool OutputSuspended() const;

    void SetLines(bool dtr, bool rts);
    // The rate the driver really uses for a requested one.
    void SetRateRule(std::function<uint32_t(uint32_t)> rule);
    // TIOCMGET fails with `error` (0: works).
    void FailModemStatus(int error);
};

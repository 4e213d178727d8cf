#pragma once
// A transceiver's transmit enable, let go by the device itself.
//
// On a half-duplex bus the program keys the transmitter (TXEN, carried on
// DTR) before a send and must let go of the bus as soon as the last stop bit
// has left, before the far end's answer begins. The device knows that
// moment first: the release is done where the device finds its transmitter
// empty (the drain rule of each device kind, never before the computed wire
// end), as a UART with hardware direction control does it, not after the
// news has travelled to the window.
//
// Armed for one transmission: the writes queued from the arming on. Any
// other setting of DTR before the transmitter runs empty (a hand switch,
// new settings) takes the arming back: the last word on the line is the
// caller's.

#include "CommApi.h"

namespace linerelease {

// After the next write, when the transmitter has run empty, the device sets
// DTR to `dtr` itself. False for a handle that is not an open device.
bool ArmDtr(win::HANDLE device, bool dtr);

} // namespace linerelease

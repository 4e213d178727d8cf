#pragma once
// Closed ttys kept open for a moment.
//
// The port object reopens its device for every change of a line setting
// and for a break, and each reopen of a tty takes it through B0 (left at
// close so that an open raises no modem line) and back to a rate, which
// raises DTR and RTS inside the kernel until the program sets them again: a
// transceiver whose transmit enable is on DTR is keyed for that moment. A
// handle closed here therefore keeps its descriptor (with its lock, its
// exclusivity and its line levels) for a short while; an open of the same
// device in that while takes it over and nothing on the lines moves. What
// is not taken over in time is let go for good: B0, exclusivity cleared,
// closed.

#include <chrono>
#include <string>

namespace win::detail::ttyparking {

constexpr std::chrono::milliseconds Linger{250};

// Keeps `fd` (exclusively held, settled, nothing pending) for Linger.
void Park(int fd);
// The parked descriptor of the device at `path`, now the caller's; -1 when
// there is none, or when the device has gone meanwhile.
int Take(const std::string& path);
// Lets a descriptor go for good: B0, exclusivity cleared, closed.
void Release(int fd);
// Lets every parked descriptor go now (at the end of the program; tests).
void ReleaseAll();

} // namespace win::detail::ttyparking

#pragma once
#include <string>

namespace terminal {

// Display form of bytes: every byte below 32 or above 126 becomes "<", its
// decimal value and ">" (0 -> "<0>", CR LF -> "<13><10>"); 32..126 stay.
// The transmit path accepts the same form as an escape, so rewritten text
// copied from a pane can be sent back.
std::string DecodeText(const std::string& text);

} // namespace terminal

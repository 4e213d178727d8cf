#pragma once
#include <string>

namespace terminal {

// Turns an entry text into the bytes written to the port:
//   "##" -> "#", "<<" -> "<";
//   "#" or "<" followed by up to three decimal digits -> one byte, the value
//   modulo 256; after "<digits" an optional ">" is consumed as well;
//   any other character, a lone "#" or "<" included, is itself.
// "<13>" is the form DecodeText produces, so rewritten pane text can be sent
// back as it stands.
std::string ExpandSendEscapes(const std::string& text);

} // namespace terminal

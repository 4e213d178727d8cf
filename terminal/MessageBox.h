#pragma once
// The program's modal message box: application title, no icon, one "OK",
// centred on the screen. Tests replace it by a recorder.

#include <functional>
#include <string>

namespace terminal {

// text is an 8-bit string in the program's code page; CR LF breaks lines.
void ShowMessage(const std::string& text);

// Closes every box that is open, as if its "OK" had been pressed; each
// ShowMessage returns once control is back in it.
void CloseMessageBoxes();

// Replaces the box (for tests); an empty function restores it.
void SetMessageBoxSink(std::function<void(const std::string& text)> sink);

} // namespace terminal

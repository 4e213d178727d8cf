#pragma once
// The log pane's line for a port that did not open or a line setting the
// device refused: the reason, and what the user can do about it, in the
// window's language. "COM7: " goes in front.

#include "CommReasons.h"

#include <string>

namespace terminal {

std::string OpenFailureText(const commreasons::OpenFailure& failure);
std::string RefusedSettingText(const commreasons::RefusedSetting& refused);

} // namespace terminal

#pragma once
// The port's special characters as one persistent object, so that the window
// definition (or the program) can hand over all four at once and the port
// rewrites its control block once for them.

#include "VaClasses.h"

#include <cstdint>

class TVaEventChars : public TVaPersistent {
public:
    std::string ClassName() const override { return "TVaEventChars"; }

    uint8_t XonChar() const { return xonChar_; }
    uint8_t XoffChar() const { return xoffChar_; }
    uint8_t ErrorChar() const { return errorChar_; }
    uint8_t EventChar() const { return eventChar_; }

    // Each setter reports a change even for an unchanged value: the owner
    // rewrites its settings every time a character is set.
    void SetXonChar(uint8_t value);
    void SetXoffChar(uint8_t value);
    void SetErrorChar(uint8_t value);
    void SetEventChar(uint8_t value);

    // Copies all four characters from another TVaEventChars with a single
    // change report; any other source raises EConvertError.
    void CopyFrom(const TVaPersistent* source);

private:
    uint8_t xonChar_ = 17;  // DC1
    uint8_t xoffChar_ = 19; // DC3
    uint8_t errorChar_ = 0;
    uint8_t eventChar_ = 0;
};

#pragma once
// Modbus RTU as the monitor checks it: the CRC at the frame's end, the slave
// address, the function and an exception answer's code. Nothing here needs
// to know whether a frame is a request or an answer.

#include <cstdint>
#include <string_view>

namespace monitor::modbus {

// CRC-16 as Modbus RTU sends it (reflected polynomial 0xA001, start value
// 0xFFFF); the frame carries it low byte first.
uint16_t Crc16(std::string_view bytes);

struct Decoded {
    bool tooShort = false; // under 4 bytes: no room for address, function and CRC
    bool crcOk = false;
    uint8_t address = 0;
    uint8_t function = 0;  // without the exception bit
    bool exception = false;
    bool exceptionCodeKnown = false; // false for an exception frame cut too short
    uint8_t exceptionCode = 0;
};

Decoded Decode(std::string_view frame);

// Short German names; nullptr where the code has none here.
const char* ExceptionName(uint8_t code);
const char* FunctionName(uint8_t function);

} // namespace monitor::modbus

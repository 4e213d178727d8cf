#include "Modbus.h"

namespace monitor::modbus {

uint16_t Crc16(std::string_view bytes)
{
    uint16_t crc = 0xFFFF;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

Decoded Decode(std::string_view frame)
{
    Decoded d;
    if (frame.size() < 4) {
        // Still name what is there: a technician wants to see the address of
        // a truncated frame.
        d.tooShort = true;
        if (frame.size() >= 1)
            d.address = static_cast<uint8_t>(frame[0]);
        if (frame.size() >= 2) {
            d.function = static_cast<uint8_t>(frame[1]) & 0x7F;
            d.exception = (static_cast<uint8_t>(frame[1]) & 0x80) != 0;
        }
        return d;
    }
    const size_t body = frame.size() - 2;
    const uint16_t carried = static_cast<uint16_t>(static_cast<uint8_t>(frame[body]) |
                                                   (static_cast<uint8_t>(frame[body + 1]) << 8));
    d.crcOk = Crc16(frame.substr(0, body)) == carried;
    d.address = static_cast<uint8_t>(frame[0]);
    d.function = static_cast<uint8_t>(frame[1]) & 0x7F;
    d.exception = (static_cast<uint8_t>(frame[1]) & 0x80) != 0;
    if (d.exception && body >= 3) {
        d.exceptionCodeKnown = true;
        d.exceptionCode = static_cast<uint8_t>(frame[2]);
    }
    return d;
}

const char* ExceptionName(uint8_t code)
{
    switch (code) {
    case 0x01: return "Unzulässige Funktion";
    case 0x02: return "Unzulässige Datenadresse";
    case 0x03: return "Unzulässiger Datenwert";
    case 0x04: return "Gerätefehler";
    case 0x05: return "Bestätigt, in Arbeit";
    case 0x06: return "Gerät beschäftigt";
    case 0x08: return "Speicher-Paritätsfehler";
    case 0x0A: return "Gateway-Pfad nicht verfügbar";
    case 0x0B: return "Gateway-Ziel antwortet nicht";
    default: return nullptr;
    }
}

const char* FunctionName(uint8_t function)
{
    switch (function) {
    case 0x01: return "Coils lesen";
    case 0x02: return "Eingänge lesen";
    case 0x03: return "Halteregister lesen";
    case 0x04: return "Eingangsregister lesen";
    case 0x05: return "Coil schreiben";
    case 0x06: return "Register schreiben";
    case 0x0F: return "Coils schreiben";
    case 0x10: return "Register schreiben (mehrere)";
    case 0x17: return "Register lesen/schreiben";
    default: return nullptr;
    }
}

} // namespace monitor::modbus

#include "Modbus.h"

#include <gtest/gtest.h>

#include <string>

using namespace monitor;

namespace {

std::string Hex(const char* text)
{
    std::string bytes;
    for (const char* p = text; *p;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        bytes.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return bytes;
}

} // namespace

// Frames with CRCs from the well-known worked examples, a damaged one, an
// exception answer and truncated ones.
TEST(MonitorModbus, KnownFramesDecode)
{
    struct Case {
        const char* hex;
        bool tooShort, crcOk;
        int address, function;
        bool exception;
        int code;
    } cases[] = {
        {"01 03 00 00 00 0A C5 CD", false, true, 1, 3, false, 0},
        {"11 03 00 6B 00 03 76 87", false, true, 0x11, 3, false, 0},
        {"11 03 06 AE 41 56 52 43 40 49 AD", false, true, 0x11, 3, false, 0},
        {"11 01 00 13 00 25 0E 84", false, true, 0x11, 1, false, 0},
        {"01 06 00 01 00 03 98 0B", false, true, 1, 6, false, 0},
        {"01 10 00 01 00 02 04 00 0A 01 02 92 30", false, true, 1, 16, false, 0},
        {"01 83 02 C0 F1", false, true, 1, 3, true, 2},
        {"01 03 00 00 00 0A C5 CC", false, false, 1, 3, false, 0}, // CRC high byte off by one
        {"01 03 00 00 00 0A CD C5", false, false, 1, 3, false, 0}, // CRC bytes swapped
        {"01 03 00 00 00 0B C5 CD", false, false, 1, 3, false, 0}, // a data bit flipped
        {"01 83 C0", true, false, 1, 3, true, 0},
        {"", true, false, 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        const modbus::Decoded d = modbus::Decode(Hex(c.hex));
        EXPECT_EQ(d.tooShort, c.tooShort);
        EXPECT_EQ(d.crcOk, c.crcOk);
        EXPECT_EQ(d.address, c.address);
        EXPECT_EQ(d.function, c.function);
        EXPECT_EQ(d.exception, c.exception);
        EXPECT_EQ(d.exceptionCodeKnown, c.exception && !c.tooShort);
        if (c.exception && !c.tooShort) {
            EXPECT_EQ(d.exceptionCode, c.code);
        }
    }
    EXPECT_STREQ(modbus::ExceptionName(2), "Unzulässige Datenadresse");
}

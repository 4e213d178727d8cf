#pragma once
// A pseudo-terminal pair standing in for a serial device. The code under test
// opens SlavePath(); the test holds the master (the far end of the cable)
// and a second descriptor on the slave, opened before the code under test
// can claim the slave exclusively, through which it reads the settings the
// kernel holds.

#include <cstdint>
#include <string>

// Line settings of a tty as the kernel holds them, decoded.
struct TtySettings {
    uint32_t inputSpeed = 0;
    uint32_t outputSpeed = 0;
    bool customSpeed = false; // rate given in bits per second (BOTHER)
    int dataBits = 0;
    bool parity = false;      // PARENB
    bool parityOdd = false;   // PARODD
    bool stickParity = false; // CMSPAR: mark (with PARODD) or space
    bool twoStopBits = false; // CSTOPB
    bool hardwareFlow = false; // CRTSCTS
    bool xonOutput = false;   // IXON
    bool xonInput = false;    // IXOFF
    bool parityCheck = false; // INPCK
    uint8_t startChar = 0;    // VSTART
    uint8_t stopChar = 0;     // VSTOP
    // Raw mode: none of the line discipline's processing.
    bool canonical = false, echo = false, signalKeys = false, extendedInput = false;
    bool outputProcessing = false, crToNl = false, nlToCr = false, ignoreCr = false, stripHighBit = false;
    bool localLine = false, receiverOn = false;
    uint8_t vmin = 0xFF, vtime = 0xFF;
};

// Decodes a struct termios2 (passed untyped so that callers need no termios
// header).
TtySettings DecodeTermios2(const void* termios2);

// Rate and frame in one line, as "9600 7E1" (output/input rate when they
// differ), followed by the flow control flags that are on: " rtscts",
// " ixon", " ixoff", " inpck". Lets a test compare all of them at once.
std::string LineSummary(const TtySettings& s);

class TestPty {
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool Ok() const { return master_ >= 0 && observer_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    // The test's own descriptor on the slave (a separate open file
    // description from the one the code under test gets).
    int Observer() const { return observer_; }

    // The far end goes away: the slave is hung up (reads give end of file,
    // writes EIO), as when a USB adapter is pulled out.
    void CloseMaster();

    TtySettings Settings() const;
    // Changes the slave's rate behind the back of whoever has it open.
    void SetSpeed(uint32_t bitsPerSecond);

private:
    int master_ = -1;
    int observer_ = -1;
    std::string slavePath_;
};

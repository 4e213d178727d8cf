#pragma once
// A pseudo-terminal pair standing in for a serial device. The code under test
// opens SlavePath(); the test holds the master (the far end of the cable)
// and a second descriptor on the slave, opened before the code under test
// can claim the slave exclusively, through which it reads the settings the
// kernel holds. That descriptor is never read; with it the master never
// sees a hang-up while the code under test has the slave closed, so polling
// the master does not spin then.

#include <atomic>
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
    // With nonBlockingMaster, reads and writes on the master never wait: for
    // a test or benchmark that serves several ends from one loop.
    explicit TestPty(bool nonBlockingMaster = false);
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

    // Bytes arriving at the device, as from the far end of the cable. Waits
    // for room while `going` (where given) stays set; false on an error or
    // once it is cleared.
    bool Write(const std::string& bytes, const std::atomic<bool>* going = nullptr) const;

    // With a master that never waits: moves what the code under test has
    // transmitted so far into Transmitted().
    void Drain();
    const std::string& Transmitted() const { return transmitted_; }
    void Forget() { transmitted_.clear(); }

private:
    int master_ = -1;
    int observer_ = -1;
    std::string slavePath_;
    std::string transmitted_;
};

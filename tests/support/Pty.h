#pragma once
// A pseudo-terminal standing in for a serial device: the code under test
// opens SlavePath(), the test holds the master (the far end of the cable).
// Its own descriptor on the slave, opened before the code under test can
// claim it, reads the kernel's settings and keeps the master from seeing a
// hang-up (and poll from spinning) while the slave is otherwise closed.

#include <atomic>
#include <cstdint>
#include <string>

struct TtySettings {
    uint32_t outputSpeed = 0;
    // "9600 7E1" ("rate/input rate" when they differ) and the flow flags
    // that are on: " rtscts", " ixon", " ixoff", " inpck".
    std::string line;
    bool canonical = false, echo = false;
};

class TestPty {
public:
    // A master that never waits lets one loop serve several ends.
    explicit TestPty(bool nonBlockingMaster = false);
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool Ok() const { return master_ >= 0 && observer_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    int Observer() const { return observer_; }
    // As when a USB adapter is pulled out: reads give end of file, writes EIO.
    void CloseMaster();

    TtySettings Settings() const;
    // Behind the back of whoever has the slave open.
    void SetSpeed(uint32_t bitsPerSecond);

    // Bytes from the far end; waits for room while `going` (if given) stays
    // set. False on an error or once it is cleared.
    bool Write(const std::string& bytes, const std::atomic<bool>* going = nullptr) const;

    // With a master that never waits: collects what has been transmitted.
    void Drain();
    const std::string& Transmitted() const { return transmitted_; }
    void Forget() { transmitted_.clear(); }

private:
    int master_ = -1, observer_ = -1;
    std::string slavePath_, transmitted_;
};

// termios2 comes from <asm/termbits.h>, which cannot be combined with
// <termios.h>; like the device code, this helper keeps it to its own file.
#include "Pty.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

TtySettings DecodeTermios2(const void* raw)
{
    const auto& t = *static_cast<const termios2*>(raw);
    TtySettings s;
    s.inputSpeed = t.c_ispeed;
    s.outputSpeed = t.c_ospeed;
    s.customSpeed = (t.c_cflag & CBAUD) == BOTHER;
    switch (t.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
    }
    s.parity = t.c_cflag & PARENB;
    s.parityOdd = t.c_cflag & PARODD;
    s.stickParity = t.c_cflag & CMSPAR;
    s.twoStopBits = t.c_cflag & CSTOPB;
    s.hardwareFlow = t.c_cflag & CRTSCTS;
    s.xonOutput = t.c_iflag & IXON;
    s.xonInput = t.c_iflag & IXOFF;
    s.parityCheck = t.c_iflag & INPCK;
    s.startChar = t.c_cc[VSTART];
    s.stopChar = t.c_cc[VSTOP];
    s.canonical = t.c_lflag & ICANON;
    s.echo = t.c_lflag & ECHO;
    s.signalKeys = t.c_lflag & ISIG;
    s.extendedInput = t.c_lflag & IEXTEN;
    s.outputProcessing = t.c_oflag & OPOST;
    s.crToNl = t.c_iflag & ICRNL;
    s.nlToCr = t.c_iflag & INLCR;
    s.ignoreCr = t.c_iflag & IGNCR;
    s.stripHighBit = t.c_iflag & ISTRIP;
    s.localLine = t.c_cflag & CLOCAL;
    s.receiverOn = t.c_cflag & CREAD;
    s.vmin = t.c_cc[VMIN];
    s.vtime = t.c_cc[VTIME];
    return s;
}

std::string LineSummary(const TtySettings& s)
{
    std::string text = std::to_string(s.outputSpeed);
    if (s.inputSpeed != s.outputSpeed)
        text += "/" + std::to_string(s.inputSpeed);
    const char parity = !s.parity ? 'N' : s.stickParity ? (s.parityOdd ? 'M' : 'S') : (s.parityOdd ? 'O' : 'E');
    text += " " + std::to_string(s.dataBits) + parity + (s.twoStopBits ? "2" : "1");
    if (s.hardwareFlow)
        text += " rtscts";
    if (s.xonOutput)
        text += " ixon";
    if (s.xonInput)
        text += " ixoff";
    if (s.parityCheck)
        text += " inpck";
    return text;
}

TestPty::TestPty(bool nonBlockingMaster)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (nonBlockingMaster ? O_NONBLOCK : 0));
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0)
        return;
    slavePath_ = name;
    observer_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

TestPty::~TestPty()
{
    if (observer_ >= 0)
        ::close(observer_);
    if (master_ >= 0)
        ::close(master_);
}

void TestPty::CloseMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

TtySettings TestPty::Settings() const
{
    termios2 t{};
    if (ioctl(observer_, TCGETS2, &t) != 0)
        throw std::runtime_error("TCGETS2 on the pty failed");
    return DecodeTermios2(&t);
}

void TestPty::SetSpeed(uint32_t bitsPerSecond)
{
    termios2 t{};
    if (ioctl(observer_, TCGETS2, &t) != 0)
        throw std::runtime_error("TCGETS2 on the pty failed");
    t.c_cflag = (t.c_cflag & ~(CBAUD | CIBAUD)) | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = bitsPerSecond;
    if (ioctl(observer_, TCSETS2, &t) != 0)
        throw std::runtime_error("TCSETS2 on the pty failed");
}

bool TestPty::Write(const std::string& bytes, const std::atomic<bool>* going) const
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || (going && !going->load(std::memory_order_relaxed)))
            return false;
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}

void TestPty::Drain()
{
    char buf[65536];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;)
        transmitted_.append(buf, static_cast<size_t>(n));
}

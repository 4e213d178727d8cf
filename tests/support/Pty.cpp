// termios2 comes from <asm/termbits.h>, which clashes with <termios.h>; as in
// the device code, it is kept to a file of its own.
#include "Pty.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

TestPty::TestPty(bool nonBlockingMaster)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (nonBlockingMaster ? O_NONBLOCK : 0));
    char name[128];
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 && ptsname_r(master_, name, sizeof name) == 0) {
        slavePath_ = name;
        observer_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
}

TestPty::~TestPty()
{
    if (observer_ >= 0)
        ::close(observer_);
    CloseMaster();
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
    const tcflag_t c = t.c_cflag, i = t.c_iflag;
    const int bits = (c & CSIZE) == CS5 ? 5 : (c & CSIZE) == CS6 ? 6 : (c & CSIZE) == CS7 ? 7 : 8;
    const char parity = !(c & PARENB) ? 'N' : (c & CMSPAR) ? (c & PARODD ? 'M' : 'S') : (c & PARODD ? 'O' : 'E');
    TtySettings s;
    s.outputSpeed = t.c_ospeed;
    s.line = std::to_string(t.c_ospeed) + (t.c_ispeed != t.c_ospeed ? "/" + std::to_string(t.c_ispeed) : "") + " " +
             std::to_string(bits) + parity + (c & CSTOPB ? "2" : "1") + (c & CRTSCTS ? " rtscts" : "") +
             (i & IXON ? " ixon" : "") + (i & IXOFF ? " ixoff" : "") + (i & INPCK ? " inpck" : "");
    s.canonical = t.c_lflag & ICANON;
    s.echo = t.c_lflag & ECHO;
    return s;
}

void TestPty::SetSpeed(uint32_t bitsPerSecond)
{
    termios2 t{};
    ioctl(observer_, TCGETS2, &t);
    t.c_cflag = (t.c_cflag & ~(CBAUD | CIBAUD)) | BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = bitsPerSecond;
    if (ioctl(observer_, TCSETS2, &t) != 0)
        throw std::runtime_error("TCSETS2 on the pty failed");
}

bool TestPty::Write(const std::string& bytes, const std::atomic<bool>* going) const
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) || (going && !going->load())) {
            return false;
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
    return true;
}

void TestPty::Drain()
{
    char buf[65536];
    for (ssize_t n; (n = ::read(master_, buf, sizeof buf)) > 0;)
        transmitted_.append(buf, size_t(n));
}

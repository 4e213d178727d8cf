// A real tty behind a comm handle, programmed through termios2.
//
// termios2 (arbitrary bit rates through BOTHER) comes from <asm/termbits.h>,
// which cannot be combined with <termios.h>; this file is the only one that
// includes it.

#include "CommDevice.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace win::detail {

namespace {

// Drivers round the rate to what their clock divides to; a UART link still
// works with a few percent between the two ends.
constexpr uint64_t RateTolerancePercent = 3;

bool RateMatches(DWORD wanted, DWORD got)
{
    uint64_t diff = wanted > got ? wanted - got : got - wanted;
    return diff * 100 <= uint64_t(wanted) * RateTolerancePercent;
}

DWORD DtrControl(const DCB& dcb) { return (dcb.Flags & fDtrControlMask) >> 4; }
DWORD RtsControl(const DCB& dcb) { return (dcb.Flags & fRtsControlMask) >> 12; }

void SetRtsControl(DCB& dcb, DWORD control)
{
    dcb.Flags = (dcb.Flags & ~fRtsControlMask) | (control << 12);
}

bool WantsHardwareFlow(const DCB& dcb)
{
    return (dcb.Flags & fOutxCtsFlow) || RtsControl(dcb) == RTS_CONTROL_HANDSHAKE;
}

// Settings the tty cannot carry out are refused before anything is touched.
DWORD Validate(const DCB& dcb)
{
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY)
        return EINVAL;
    // 1.5 stop bits exist on a UART only with 5 data bits (CSTOPB then means
    // 1.5), so 2 stop bits cannot be had with 5 data bits.
    if (dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
        (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
        return EINVAL;
    // Without binary mode the driver would have to stop at an end-of-file
    // character; no serial driver has done that for decades.
    if (!(dcb.Flags & fBinary))
        return EINVAL;
    // DSR output flow, DTR handshake and DSR sensitivity have no tty
    // counterpart; accepting them would leave the line uncontrolled.
    if ((dcb.Flags & (fOutxDsrFlow | fDsrSensitivity)) || DtrControl(dcb) == DTR_CONTROL_HANDSHAKE)
        return EINVAL;
    if ((dcb.Flags & (fOutX | fInX)) && dcb.XonChar == dcb.XoffChar)
        return EINVAL;
    return 0;
}

void MakeRaw(termios2& t)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOKE | ISIG | IEXTEN | TOSTOP);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

void Encode(const DCB& dcb, termios2& t)
{
    MakeRaw(t);
    t.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = dcb.BaudRate;

    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    if (dcb.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // One flag covers both directions: the kernel holds output while CTS is
    // low and drives RTS itself.
    if (WantsHardwareFlow(dcb))
        t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~(IXON | IXOFF | INPCK);
    if (dcb.Flags & fOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & fInX)
        t.c_iflag |= IXOFF;
    if (dcb.Flags & fParity)
        t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

// Compares what the driver reports after setting with what was asked for, in
// the fields that change what goes over the wire.
bool Applied(const termios2& wanted, const termios2& got)
{
    constexpr tcflag_t frame = CSIZE | CSTOPB | PARENB | CRTSCTS;
    if ((wanted.c_cflag & frame) != (got.c_cflag & frame))
        return false;
    if ((wanted.c_cflag & PARENB) && (wanted.c_cflag & (PARODD | CMSPAR)) != (got.c_cflag & (PARODD | CMSPAR)))
        return false;
    if ((wanted.c_iflag & (IXON | IXOFF | INPCK)) != (got.c_iflag & (IXON | IXOFF | INPCK)))
        return false;
    if ((wanted.c_iflag & (IXON | IXOFF)) &&
        (wanted.c_cc[VSTART] != got.c_cc[VSTART] || wanted.c_cc[VSTOP] != got.c_cc[VSTOP]))
        return false;
    return RateMatches(wanted.c_ospeed, got.c_ospeed) && RateMatches(wanted.c_ispeed, got.c_ispeed);
}

// Writes into `dcb` the fields the tty holds, keeping the rest. Where the tty
// agrees with `dcb` (a rate within tolerance, hardware flow expressed either
// way), `dcb` is left as it is, so that reading the state back and setting it
// again changes nothing.
void Describe(const termios2& t, DCB& dcb)
{
    if (!RateMatches(dcb.BaudRate, t.c_ospeed))
        dcb.BaudRate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(t.c_cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;

    bool hardwareFlow = t.c_cflag & CRTSCTS;
    if (hardwareFlow != WantsHardwareFlow(dcb)) {
        if (hardwareFlow) {
            dcb.Flags |= fOutxCtsFlow;
            SetRtsControl(dcb, RTS_CONTROL_HANDSHAKE);
        } else {
            dcb.Flags &= ~fOutxCtsFlow;
            if (RtsControl(dcb) == RTS_CONTROL_HANDSHAKE)
                SetRtsControl(dcb, RTS_CONTROL_ENABLE);
        }
    }
    auto setFlag = [&](DWORD flag, bool on) { dcb.Flags = on ? (dcb.Flags | flag) : (dcb.Flags & ~flag); };
    setFlag(fOutX, t.c_iflag & IXON);
    setFlag(fInX, t.c_iflag & IXOFF);
    setFlag(fParity, t.c_iflag & INPCK);
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

// Devices without modem lines (ptys, some USB adapters) answer the modem
// ioctls with one of these; for them the line levels of the settings are
// moot, while an explicit line operation still reports the error.
bool HasNoModemLines(int error)
{
    return error == ENOTTY || error == EINVAL;
}

class TtyDevice final : public CommDevice {
public:
    explicit TtyDevice(int fd) : fd_(fd) {}
    ~TtyDevice() override { CloseFd(); }

    DWORD Init();

    void Close() override
    {
        std::lock_guard lock(mutex_);
        CloseFd();
    }

    DWORD GetState(DCB& dcb) override;
    DWORD SetState(const DCB& dcb) override;
    DWORD Purge(DWORD flags) override;
    DWORD ClearError(DWORD* errors, COMSTAT* stat) override;
    DWORD Escape(DWORD function) override;

private:
    void CloseFd()
    {
        if (fd_ < 0)
            return;
        ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }

    DWORD ApplyLineLevels(const DCB& dcb);

    int fd_;
    // The last control block set successfully: it carries what the tty has
    // no place for (limits, special characters, line control modes).
    DCB settings_{};
    // RTS toggle: RTS rests low; the write path raises it for each
    // transmission and drops it once the transmitter is empty.
    bool rtsToggle_ = false;
};

DWORD TtyDevice::Init()
{
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0)
        return errno;
    MakeRaw(t);
    if (ioctl(fd_, TCSETS2, &t) != 0)
        return errno;
    // Opening a tty has raised DTR and RTS (the kernel does so whenever the
    // rate is not 0); the control block says so until settings arrive.
    settings_.Flags = fBinary | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_ENABLE << 12);
    settings_.BaudRate = t.c_ospeed;
    Describe(t, settings_);
    return 0;
}

DWORD TtyDevice::GetState(DCB& dcb)
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return EBADF;
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0)
        return errno;
    DCB result = settings_;
    Describe(t, result);
    dcb = result;
    return 0;
}

DWORD TtyDevice::SetState(const DCB& dcb)
{
    if (DWORD error = Validate(dcb))
        return error;
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return EBADF;
    termios2 before{};
    if (ioctl(fd_, TCGETS2, &before) != 0)
        return errno;
    termios2 wanted = before;
    Encode(dcb, wanted);
    if (ioctl(fd_, TCSETS2, &wanted) != 0)
        return errno;
    termios2 got{};
    if (ioctl(fd_, TCGETS2, &got) != 0)
        return errno;
    if (!Applied(wanted, got)) {
        // The driver quietly replaced part of the settings (a pty forces 8
        // data bits without parity, a chip clamps the rate). Put the old ones
        // back and refuse, as a driver that cannot do a setting does.
        ioctl(fd_, TCSETS2, &before);
        return EINVAL;
    }
    if (DWORD error = ApplyLineLevels(dcb))
        return error;
    settings_ = dcb;
    rtsToggle_ = RtsControl(dcb) == RTS_CONTROL_TOGGLE && !(got.c_cflag & CRTSCTS);
    return 0;
}

DWORD TtyDevice::ApplyLineLevels(const DCB& dcb)
{
    int raise = 0;
    int drop = 0;
    (DtrControl(dcb) == DTR_CONTROL_ENABLE ? raise : drop) |= TIOCM_DTR;
    // Under CRTSCTS the kernel owns RTS.
    if (!WantsHardwareFlow(dcb))
        (RtsControl(dcb) == RTS_CONTROL_ENABLE ? raise : drop) |= TIOCM_RTS;
    if (drop && ioctl(fd_, TIOCMBIC, &drop) != 0 && !HasNoModemLines(errno))
        return errno;
    if (raise && ioctl(fd_, TIOCMBIS, &raise) != 0 && !HasNoModemLines(errno))
        return errno;
    return 0;
}

DWORD TtyDevice::Purge(DWORD flags)
{
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return EINVAL;
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return EBADF;
    // PURGE_TXABORT / PURGE_RXABORT end pending overlapped transfers; there
    // are none until the transfer code exists.
    bool rx = flags & PURGE_RXCLEAR;
    bool tx = flags & PURGE_TXCLEAR;
    if (rx || tx) {
        int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
        if (ioctl(fd_, TCFLSH, queue) != 0)
            return errno;
    }
    return 0;
}

DWORD TtyDevice::ClearError(DWORD* errors, COMSTAT* stat)
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return EBADF;
    int in = 0;
    int out = 0;
    if (ioctl(fd_, FIONREAD, &in) != 0 || ioctl(fd_, TIOCOUTQ, &out) != 0)
        return errno;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(in);
        stat->cbOutQue = static_cast<DWORD>(out);
    }
    // Line errors are not tracked yet: they need the marked error bytes of
    // the read path and the kernel's error counters.
    if (errors)
        *errors = 0;
    return 0;
}

DWORD TtyDevice::Escape(DWORD function)
{
    std::lock_guard lock(mutex_);
    if (fd_ < 0)
        return EBADF;
    auto modemLine = [this](unsigned long request, int line) -> DWORD {
        return ioctl(fd_, request, &line) == 0 ? 0 : errno;
    };
    auto call = [this](unsigned long request, unsigned long argument) -> DWORD {
        return ioctl(fd_, request, argument) == 0 ? 0 : errno;
    };
    auto rtsIsKernels = [this]() {
        termios2 t{};
        return ioctl(fd_, TCGETS2, &t) == 0 && (t.c_cflag & CRTSCTS);
    };
    switch (function) {
    case SETXOFF: return call(TCXONC, TCOOFF);
    case SETXON: return call(TCXONC, TCOON);
    case SETRTS:
    case CLRRTS:
        // The kernel would overwrite a level set by hand under CRTSCTS.
        if (rtsIsKernels())
            return EINVAL;
        return modemLine(function == SETRTS ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
    case SETDTR: return modemLine(TIOCMBIS, TIOCM_DTR);
    case CLRDTR: return modemLine(TIOCMBIC, TIOCM_DTR);
    case SETBREAK: return call(TIOCSBRK, 0);
    case CLRBREAK: return call(TIOCCBRK, 0);
    default: return EINVAL;
    }
}

} // namespace

std::shared_ptr<CommDevice> OpenTtyDevice(const std::string& path, DWORD& error)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = (errno == ENOENT || errno == ENODEV || errno == ENXIO) ? ERROR_FILE_NOT_FOUND : errno;
        return nullptr;
    }
    auto device = std::make_shared<TtyDevice>(fd);
    // flock is what other serial programs respect; TIOCEXCL keeps out later
    // opens by programs that do not lock (root excepted).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        error = errno;
        return nullptr;
    }
    // An 8250 port without a UART behind it opens, but cannot report its
    // modem lines: it is a placeholder, not a device.
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0 && errno == EIO) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (DWORD initError = device->Init()) {
        error = initError;
        return nullptr;
    }
    return device;
}

} // namespace win::detail

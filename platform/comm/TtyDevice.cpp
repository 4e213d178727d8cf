// A real tty behind a comm handle, programmed through termios2.
//
// termios2 (arbitrary bit rates through BOTHER) comes from <asm/termbits.h>,
// which cannot be combined with <termios.h>; this file is the only one that
// includes it.
//
// The device watcher: one thread per open tty polls the descriptor and an
// eventfd through which the API side wakes it. It moves received bytes into
// the receive queue (decoding the kernel's error marks), feeds queued writes
// to the kernel and completes each once the kernel has passed its bytes on,
// and completes the pending event wait. It sleeps without a time-out unless
// something timing-dependent is pending: a write draining from the kernel,
// the transmitter running empty (TransmitDrain.h has the rule per kind of
// device), or modem lines and error counters to sample while such events
// are asked for.
//
// Devices without modem lines (ptys, some CDC-ACM and rfcomm ports) take
// DTR and RTS and change nothing, as virtual ports do elsewhere.
//
#include "AdapterLatency.h"
#include "DeviceWatcher.h"
#include "DrainedDevice.h"
#include "TransmitDrain.h"
#include "TtyParking.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

namespace win::detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// Modem lines and counters are sampled this often while asked for.
constexpr nanoseconds SampleInterval = std::chrono::milliseconds(2);

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

// CRTSCTS is one flag for both directions, so it is set only where output
// is to wait for CTS. RTS handshake on its own (input flow control) is
// driven by the device from its receive queue instead: with CRTSCTS, an
// adapter whose CTS is not wired would hold every byte back.
bool WantsHardwareFlow(const DCB& dcb)
{
    return dcb.Flags & fOutxCtsFlow;
}

bool WantsRtsFlow(const DCB& dcb)
{
    return !WantsHardwareFlow(dcb) && RtsControl(dcb) == RTS_CONTROL_HANDSHAKE;
}

void MakeRaw(termios2& t)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
    // Breaks and bad characters come marked in the data (\377 \0 \0 and
    // \377 \0 c, a real \377 doubled); the read path turns the marks into
    // the error word and events.
    t.c_iflag |= PARMRK;
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
// the fields that change what goes over the wire: the first one the driver
// did not take, None when it took them all.
commreasons::Setting NotApplied(const termios2& wanted, const termios2& got)
{
    using commreasons::Setting;
    if ((wanted.c_cflag & CSIZE) != (got.c_cflag & CSIZE))
        return Setting::DataBits;
    if ((wanted.c_cflag & PARENB) != (got.c_cflag & PARENB))
        return Setting::Parity;
    if ((wanted.c_cflag & PARENB) && (wanted.c_cflag & (PARODD | CMSPAR)) != (got.c_cflag & (PARODD | CMSPAR)))
        return Setting::Parity;
    if ((wanted.c_cflag & CSTOPB) != (got.c_cflag & CSTOPB))
        return Setting::StopBits;
    if ((wanted.c_cflag & CRTSCTS) != (got.c_cflag & CRTSCTS))
        return Setting::CtsFlow;
    if ((wanted.c_iflag & INPCK) != (got.c_iflag & INPCK))
        return Setting::ParityCheck;
    if ((wanted.c_iflag & (IXON | IXOFF)) != (got.c_iflag & (IXON | IXOFF)))
        return Setting::XonXoff;
    if ((wanted.c_iflag & (IXON | IXOFF)) &&
        (wanted.c_cc[VSTART] != got.c_cc[VSTART] || wanted.c_cc[VSTOP] != got.c_cc[VSTOP]))
        return Setting::XonXoffChars;
    if (!RateMatches(wanted.c_ospeed, got.c_ospeed) || !RateMatches(wanted.c_ispeed, got.c_ispeed))
        return Setting::Rate;
    return Setting::None;
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
        }
    }
    auto setFlag = [&](DWORD flag, bool on) { dcb.Flags = on ? (dcb.Flags | flag) : (dcb.Flags & ~flag); };
    setFlag(fOutX, t.c_iflag & IXON);
    setFlag(fInX, t.c_iflag & IXOFF);
    setFlag(fParity, t.c_iflag & INPCK);
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

// Devices without modem lines (ptys, some CDC-ACM and rfcomm ports) answer
// the modem ioctls with one of these. EINVAL is not among them: it is how a
// driver refuses RTS under CRTSCTS. EIO, EPIPE and ETIMEDOUT are real
// failures of a device that has lines.
bool MeansNoModemLines(int error)
{
    return error == ENOTTY || error == EOPNOTSUPP;
}

// A USB adapter (its tty hangs below a USB device in sysfs) only starts
// sending after the transfer, and its line status, where it has one, comes
// late.
bool IsUsbDevice(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    std::string node = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    char* real = realpath(node.c_str(), nullptr);
    if (!real)
        return false;
    bool usb = std::string(real).find("/usb") != std::string::npos;
    free(real);
    return usb;
}

// The kernel's answers for the transmit-empty rule.
class TtyProbe final : public DrainProbe {
public:
    explicit TtyProbe(int fd) : fd_(fd) {}
    int QueuedBytes() override
    {
        int queued = 0;
        return ioctl(fd_, TIOCOUTQ, &queued) == 0 ? queued : 0;
    }
    std::optional<bool> TransmitterEmpty() override
    {
        unsigned int lineStatus = 0;
        if (ioctl(fd_, TIOCSERGETLSR, &lineStatus) != 0)
            return std::nullopt;
        return (lineStatus & TIOCSER_TEMT) != 0;
    }

private:
    int fd_;
};

std::mutex g_probeMutex;
DrainProbeFactory g_probeFactory;

std::unique_ptr<DrainProbe> MakeProbe(int fd)
{
    std::lock_guard lock(g_probeMutex);
    if (g_probeFactory)
        return g_probeFactory(fd);
    return std::make_unique<TtyProbe>(fd);
}

class TtyDevice final : public DrainedDevice {
public:
    explicit TtyDevice(int fd) : fd_(fd) {}
    ~TtyDevice() override
    {
        DeviceShutdown();
    }

    // Takes the device for this handle alone.
    DWORD Claim();
    // Takes over a descriptor kept from an earlier handle of this device,
    // already claimed, with its settings and line levels as they were.
    void Adopt() { exclusive_ = true; }
    void MarkOpen() { parkable_ = true; }
    int Descriptor() const { return fd_; }
    DWORD Init();
    DWORD StartWatcher();

protected:
    DWORD DeviceGetState(DCB& dcb) override;
    DWORD DeviceSetState(const DCB& dcb) override;
    DWORD DeviceEscape(DWORD function) override;
    DWORD DevicePurge(bool receive, bool transmit) override;
    DWORD DeviceOutQueue() override;
    DWORD DeviceCapabilities() override { return hasModemLines_ ? PCF_DTRDSR | PCF_RTSCTS : 0; }
    void DeviceAbortWrite(PendingWrite& write) override;
    void DeviceSync() override { ReceiveInputLocked(); }
    void DeviceKick() override;
    void DeviceSetRts(bool on) override;
    void DeviceShutdown() override;
    void DeviceLineCounts(journal::LineCounts& counts) override;
    journal::Latency DeviceLatency() override { return latency_.Now(*latencyControl_); }

private:
    void Watch();
    void PassLocked(short revents);
    nanoseconds NextTimeoutLocked(Clock::time_point now);
    void ReceiveInputLocked();
    void DecodeLocked(const uint8_t* data, size_t count);
    void TransmitLocked() override;
    DrainProbe& ProbeLocked() override { return *probe_; }
    void UpdateRtsFlowLocked();
    DWORD ModemLine(unsigned long request, int line);
    bool WantsSamplingLocked() const;
    void SampleLinesLocked(bool baselineOnly);
    DWORD ApplyLineLevels(const DCB& dcb);

    int fd_;
    DeviceWatcher watcher_;
    bool stopping_ = false;

    // What the driver can tell, found out at opening.
    bool hasCounters_ = false;   // TIOCGICOUNT
    bool hasModemStatus_ = false; // TIOCMGET
    // False for devices without modem lines (ptys, some CDC-ACM and rfcomm
    // ports): DTR and RTS are then accepted and change nothing.
    bool hasModemLines_ = true;
    // This handle set TIOCEXCL, so it, and only it, clears it again.
    bool exclusive_ = false;
    // Fully opened: worth keeping for a reopen when closed.
    bool parkable_ = false;

    // Error marks may be split across reads.
    enum class Mark { None, Escape, EscapeNull } mark_ = Mark::None;

    // The kernel's answers (or a test's) about the transmit side.
    std::unique_ptr<DrainProbe> probe_;
    std::unique_ptr<LatencyControl> latencyControl_;
    AdapterLatency latency_;
    serial_icounter_struct openCounters_{}; // the driver's counts at the open

    // RTS handshake without CTS flow: RTS follows the receive queue's fill.
    bool rtsFlow_ = false;
    bool rtsFlowRaised_ = false;

    bool sampling_ = false;
    Clock::time_point nextSample_{};
    serial_icounter_struct counters_{};
    int lines_ = 0;
};

DWORD TtyDevice::Init()
{
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0)
        return errno;
    MakeRaw(t);
    if (ioctl(fd_, TCSETS2, &t) != 0)
        return errno;
    // Output stopped by an earlier session (XOFF set by hand, or an XOFF
    // received) stays stopped in the kernel across closing and opening; a
    // fresh handle starts with output released, as a fresh port does
    // elsewhere. As with SETXON, only a start after a stop of our own lifts
    // both kinds of stop.
    if (ioctl(fd_, TCXONC, TCOOFF) != 0 || ioctl(fd_, TCXONC, TCOON) != 0)
        return errno;
    // Opening a tty raises DTR and RTS unless the rate left behind is B0,
    // as this program leaves it at closing; the control block says which
    // until settings arrive.
    DWORD lines = (t.c_cflag & CBAUD) == B0 ? DTR_CONTROL_DISABLE << 4 | RTS_CONTROL_DISABLE << 12
                                            : DTR_CONTROL_ENABLE << 4 | RTS_CONTROL_ENABLE << 12;
    settings_.Flags = fBinary | lines;
    settings_.BaudRate = t.c_ospeed;
    Describe(t, settings_);
    int64_t charNs = CharacterTimeNs(settings_);
    drain_.SetCharacterTimes(charNs, charNs);

    probe_ = MakeProbe(fd_);
    bool hasLineStatus = probe_->TransmitterEmpty().has_value();
    bool usb = IsUsbDevice(fd_);
    drain_.Configure(!hasLineStatus ? LineStatusKind::None : usb ? LineStatusKind::Cached : LineStatusKind::Exact,
                     usb);
    serial_icounter_struct counters{};
    hasCounters_ = ioctl(fd_, TIOCGICOUNT, &counters) == 0;
    openCounters_ = counters;
    latencyControl_ = MakeTtyLatencyControl(fd_);
    latency_.Open(*latencyControl_);
    // With its timer lowered an FTDI adapter's status is that much fresher,
    // and a driver that never reports "empty" holds TXEN that much shorter.
    if (journal::Latency timer = latency_.Now(*latencyControl_); timer.milliseconds > 0)
        drain_.SetStatusLatency(std::chrono::milliseconds(timer.milliseconds));
    int levels = 0;
    hasModemStatus_ = ioctl(fd_, TIOCMGET, &levels) == 0;
    hasModemLines_ = hasModemStatus_ || !MeansNoModemLines(errno);
    return 0;
}

DWORD TtyDevice::Claim()
{
    // flock is what other serial programs respect; TIOCEXCL keeps out later
    // opens by programs that do not lock (root excepted). A refused open
    // must leave the holder's TIOCEXCL alone: it belongs to the tty, not to
    // a descriptor.
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0 || ioctl(fd_, TIOCEXCL) != 0)
        return errno;
    exclusive_ = true;
    return 0;
}

DWORD TtyDevice::StartWatcher()
{
    return watcher_.Start([this] { Watch(); });
}

void TtyDevice::DeviceShutdown()
{
    bool failed = false;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        failed = FailedLocked();
    }
    watcher_.Join();
    {
        // Only now that nothing polls it may the wake-up descriptor go; a
        // caller may still be inside an operation that wakes.
        std::lock_guard lock(mutex_);
        watcher_.CloseWake();
    }
    if (fd_ >= 0 && latencyControl_ && !failed)
        latency_.Close(*latencyControl_);
    if (fd_ >= 0) {
        // A device that is still there is kept for a reopen, which then
        // moves no line; one that is gone, or was never ours, just closes.
        if (exclusive_ && !failed && parkable_)
            ttyparking::Park(fd_);
        else if (exclusive_)
            ttyparking::Release(fd_);
        else
            ::close(fd_);
        fd_ = -1;
    }
}

void TtyDevice::DeviceKick()
{
    // Take what the kernel takes now, so that a write that fits completes
    // within WriteFile; the watcher then looks at what is left.
    if (!writes_.empty() && !FailedLocked())
        TransmitLocked();
    UpdateRtsFlowLocked();
    watcher_.Wake();
}

// ---- The watcher ------------------------------------------------------------------

void TtyDevice::Watch()
{
    // Wake-ups should come when asked for, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        pollfd fds[2] = {{watcher_.WakeFd(), POLLIN, 0}, {fd_, 0, 0}};
        nfds_t count = 1;
        if (!FailedLocked()) {
            if (!ReceiveQueueFullLocked())
                fds[1].events |= POLLIN;
            if (!writes_.empty() && !FrontWriteDrainingLocked())
                fds[1].events |= POLLOUT;
            count = 2; // hang-up and errors are reported whatever is asked
        }
        nanoseconds timeout = NextTimeoutLocked(Clock::now());
        timespec ts{};
        if (timeout.count() >= 0) {
            ts.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(timeout.count() % 1'000'000'000);
        }
        lock.unlock();
        int ready = ppoll(fds, count, timeout.count() >= 0 ? &ts : nullptr, nullptr);
        lock.lock();
        if (stopping_)
            break;
        if (ready > 0 && (fds[0].revents & POLLIN))
            watcher_.TakeWakeups();
        // What this pass finds goes out as one report.
        BeginReportLocked();
        PassLocked(ready > 0 && count == 2 ? fds[1].revents : 0);
        EndReportLocked();
    }
}

void TtyDevice::PassLocked(short revents)
{
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // The device has gone (a USB adapter pulled out, the far side of a
        // pty closed): it never comes back on this handle.
        FailLocked(EIO);
        return;
    }
    if (revents & POLLIN)
        ReceiveInputLocked();
    if (revents & POLLOUT)
        TransmitLocked();
    if (FailedLocked())
        return;
    UpdateRtsFlowLocked();
    Clock::time_point now = Clock::now();
    CheckWriteDrainedLocked(now);
    bool wantsSampling = WantsSamplingLocked();
    if (wantsSampling && (!sampling_ || now >= nextSample_)) {
        SampleLinesLocked(!sampling_);
        nextSample_ = now + SampleInterval;
    }
    sampling_ = wantsSampling;
    CheckTransmitterLocked(now);
}

nanoseconds TtyDevice::NextTimeoutLocked(Clock::time_point now)
{
    if (FailedLocked())
        return nanoseconds(-1);
    Clock::time_point next = NextDrainCheckLocked();
    if (WantsSamplingLocked())
        next = std::min(next, sampling_ ? nextSample_ : now);
    if (next == Clock::time_point::max())
        return nanoseconds(-1);
    return std::max(nanoseconds(0), next - now);
}

// ---- Receiving ------------------------------------------------------------------------

void TtyDevice::ReceiveInputLocked()
{
    if (fd_ < 0 || FailedLocked())
        return;
    uint8_t buffer[4096];
    // Input stays in the kernel while the receive queue is full, so that
    // the kernel's flow control (IXOFF, CRTSCTS) holds the sender off.
    while (!ReceiveQueueFullLocked()) {
        size_t room = ReceiveQueueLimitLocked() - ReceiveQueueSizeLocked();
        size_t want = std::min(sizeof buffer, room);
        ssize_t n = ::read(fd_, buffer, want);
        if (n > 0) {
            // One read, one report: the journal stamps its bytes together.
            BeginReportLocked();
            DecodeLocked(buffer, static_cast<size_t>(n));
            EndReportLocked();
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            FailLocked(errno);
        if (n <= 0 || static_cast<size_t>(n) < want)
            break;
    }
}

void TtyDevice::DecodeLocked(const uint8_t* data, size_t count)
{
    size_t plain = 0; // start of the run of plain bytes not yet handed on
    for (size_t i = 0; i < count; ++i) {
        uint8_t c = data[i];
        switch (mark_) {
        case Mark::None:
            if (c == 0xFF) {
                ReceiveLocked(data + plain, i - plain);
                mark_ = Mark::Escape;
            }
            continue;
        case Mark::Escape:
            if (c == 0xFF) {
                ReceiveLocked(&c, 1); // a real \377
                mark_ = Mark::None;
            } else if (c == 0) {
                mark_ = Mark::EscapeNull;
            } else {
                // Not a mark after all (PARMRK was off when it came).
                const uint8_t escape = 0xFF;
                ReceiveLocked(&escape, 1);
                ReceiveLocked(&c, 1);
                mark_ = Mark::None;
            }
            break;
        case Mark::EscapeNull:
            if (c == 0)
                ReceiveBreakLocked();
            else
                ReceiveErroredLocked(c, settings_.Parity != NOPARITY ? CE_RXPARITY : CE_FRAME);
            mark_ = Mark::None;
            break;
        }
        plain = i + 1;
    }
    if (mark_ == Mark::None)
        ReceiveLocked(data + plain, count - plain);
}

// ---- Transmitting ---------------------------------------------------------------------

void TtyDevice::TransmitLocked()
{
    while (!writes_.empty() && fd_ >= 0 && !FrontWriteDrainingLocked()) {
        PendingWrite& write = writes_.front();
        ssize_t n = ::write(fd_, write.data.data() + write.taken, write.data.size() - write.taken);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                FailLocked(errno);
            return;
        }
        write.taken += static_cast<size_t>(n);
        drain_.SetPrompt(DtrReleaseArmedLocked());
        drain_.Queued(Clock::now(), static_cast<size_t>(n));
        if (write.taken < write.data.size())
            return; // the kernel is full; POLLOUT tells when it takes more
        FrontWriteTakenLocked();
        CheckWriteDrainedLocked(Clock::now());
    }
}

void TtyDevice::DeviceAbortWrite(PendingWrite& write)
{
    // Bytes of a withdrawn write that the kernel still holds never go out.
    if (write.taken == 0 || fd_ < 0)
        return;
    ioctl(fd_, TCFLSH, TCOFLUSH);
    drain_.Purged(Clock::now());
}

DWORD TtyDevice::DeviceOutQueue()
{
    return probe_ ? static_cast<DWORD>(std::max(probe_->QueuedBytes(), 0)) : 0;
}

// ---- Modem lines and counters -----------------------------------------------------

void TtyDevice::DeviceLineCounts(journal::LineCounts& counts)
{
    serial_icounter_struct now{};
    if (!hasCounters_ || ioctl(fd_, TIOCGICOUNT, &now) != 0) {
        counts.known = false;
        return;
    }
    counts.known = true;
    counts.frame = static_cast<uint64_t>(now.frame - openCounters_.frame);
    counts.parity = static_cast<uint64_t>(now.parity - openCounters_.parity);
    counts.overrun = static_cast<uint64_t>((now.overrun - openCounters_.overrun) +
                                           (now.buf_overrun - openCounters_.buf_overrun));
    counts.breaks = static_cast<uint64_t>(now.brk - openCounters_.brk);
}

bool TtyDevice::WantsSamplingLocked() const
{
    if (FailedLocked())
        return false;
    if ((eventMask_ & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) && (hasCounters_ || hasModemStatus_))
        return true;
    // Overruns are only known from the counters.
    return (eventMask_ & EV_ERR) && hasCounters_;
}

void TtyDevice::SampleLinesLocked(bool baselineOnly)
{
    if (hasCounters_) {
        serial_icounter_struct now{};
        if (ioctl(fd_, TIOCGICOUNT, &now) != 0) {
            hasCounters_ = false;
            return;
        }
        if (!baselineOnly) {
            DWORD events = 0;
            if (now.cts != counters_.cts)
                events |= EV_CTS;
            if (now.dsr != counters_.dsr)
                events |= EV_DSR;
            if (now.dcd != counters_.dcd)
                events |= EV_RLSD;
            if (now.rng != counters_.rng)
                events |= EV_RING;
            DWORD errors = 0;
            if (now.overrun != counters_.overrun)
                errors |= CE_OVERRUN;
            if (now.buf_overrun != counters_.buf_overrun)
                errors |= CE_RXOVER;
            if (errors)
                LineErrorLocked(errors);
            RaiseEventsLocked(events);
        }
        counters_ = now;
        return;
    }
    if (hasModemStatus_) {
        int lines = 0;
        if (ioctl(fd_, TIOCMGET, &lines) != 0) {
            hasModemStatus_ = false;
            return;
        }
        if (!baselineOnly) {
            int changed = lines ^ lines_;
            DWORD events = 0;
            if (changed & TIOCM_CTS)
                events |= EV_CTS;
            if (changed & TIOCM_DSR)
                events |= EV_DSR;
            if (changed & TIOCM_CD)
                events |= EV_RLSD;
            if (changed & TIOCM_RI)
                events |= EV_RING;
            RaiseEventsLocked(events);
        }
        lines_ = lines;
    }
}

// ---- Settings and line operations -------------------------------------------------

DWORD TtyDevice::DeviceGetState(DCB& dcb)
{
    if (fd_ < 0)
        return EBADF;
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0)
        return errno;
    Describe(t, dcb);
    return 0;
}

DWORD TtyDevice::DeviceSetState(const DCB& dcb)
{
    if (fd_ < 0)
        return EBADF;
    termios2 before{};
    if (ioctl(fd_, TCGETS2, &before) != 0)
        return errno;
    termios2 wanted = before;
    Encode(dcb, wanted);
    if (ioctl(fd_, TCSETS2, &wanted) != 0) {
        const DWORD error = errno;
        // Drivers refuse outright mostly a rate their clock cannot make.
        if (error == EINVAL)
            NoteRefusedSetting(commreasons::Setting::Rate, dcb);
        return error;
    }
    // Leaving B0 (as the tty is after opening) raises DTR and RTS in the
    // kernel: the lines go to their levels in the very next call, before
    // anything else, so that a transceiver on DTR is keyed for as short a
    // time as the kernel allows.
    DWORD linesError = ApplyLineLevels(dcb);
    termios2 got{};
    if (ioctl(fd_, TCGETS2, &got) != 0)
        return errno;
    if (commreasons::Setting missed = NotApplied(wanted, got); missed != commreasons::Setting::None) {
        // The driver quietly replaced part of the settings (a pty forces 8
        // data bits without parity, a chip clamps the rate). Put the old ones
        // back and refuse, as a driver that cannot do a setting does.
        NoteRefusedSetting(missed, dcb, got.c_ospeed);
        ioctl(fd_, TCSETS2, &before);
        ApplyLineLevels(settings_);
        return EINVAL;
    }
    if (linesError)
        return linesError;
    // The slower of the asked and the granted rate: the wire time must not
    // be underestimated.
    DCB granted = dcb;
    granted.BaudRate = got.c_ospeed ? got.c_ospeed : dcb.BaudRate;
    drain_.SetCharacterTimes(CharacterTimeNs(dcb), CharacterTimeNs(granted));
    rtsFlow_ = hasModemLines_ && WantsRtsFlow(dcb);
    rtsFlowRaised_ = rtsFlow_; // ApplyLineLevels raised it
    return 0;
}

DWORD TtyDevice::ModemLine(unsigned long request, int line)
{
    if (!hasModemLines_)
        return 0;
    if (ioctl(fd_, request, &line) == 0)
        return 0;
    if (!MeansNoModemLines(errno))
        return errno;
    // Found out only now: accepted and without effect from here on.
    hasModemLines_ = false;
    return 0;
}

DWORD TtyDevice::ApplyLineLevels(const DCB& dcb)
{
    int raise = 0;
    int drop = 0;
    (DtrControl(dcb) == DTR_CONTROL_ENABLE ? raise : drop) |= TIOCM_DTR;
    // Under CRTSCTS the kernel owns RTS; under toggle it rests low; under
    // RTS handshake it starts raised, the receive queue being empty.
    if (!WantsHardwareFlow(dcb)) {
        DWORD rts = RtsControl(dcb);
        (rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE ? raise : drop) |= TIOCM_RTS;
    }
    if (DWORD error = drop ? ModemLine(TIOCMBIC, drop) : 0)
        return error;
    return raise ? ModemLine(TIOCMBIS, raise) : 0;
}

// RTS handshake as a UART driver does it: RTS drops when the receive queue
// is three quarters full and rises again below one half, so the sender
// pauses before anything is lost.
void TtyDevice::UpdateRtsFlowLocked()
{
    if (!rtsFlow_ || fd_ < 0 || FailedLocked())
        return;
    size_t fill = ReceiveQueueSizeLocked();
    size_t limit = ReceiveQueueLimitLocked();
    bool raise = rtsFlowRaised_ ? fill * 4 < limit * 3 : fill * 2 < limit;
    if (raise == rtsFlowRaised_)
        return;
    if (ModemLine(raise ? TIOCMBIS : TIOCMBIC, TIOCM_RTS) == 0)
        rtsFlowRaised_ = raise;
}

void TtyDevice::DeviceSetRts(bool on)
{
    // For RTS toggle; a device without modem lines has no RTS to toggle,
    // and the transfer goes on regardless of a refusal.
    ModemLine(on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
}

DWORD TtyDevice::DevicePurge(bool receive, bool transmit)
{
    if (fd_ < 0)
        return EBADF;
    int queue = receive && transmit ? TCIOFLUSH : receive ? TCIFLUSH : TCOFLUSH;
    if (ioctl(fd_, TCFLSH, queue) != 0)
        return errno;
    if (receive)
        mark_ = Mark::None;
    if (transmit)
        drain_.Purged(Clock::now());
    return 0;
}

DWORD TtyDevice::DeviceEscape(DWORD function)
{
    if (fd_ < 0)
        return EBADF;
    auto call = [this](unsigned long request, unsigned long argument) -> DWORD {
        return ioctl(fd_, request, argument) == 0 ? 0 : errno;
    };
    auto rtsIsKernels = [this]() {
        termios2 t{};
        return ioctl(fd_, TCGETS2, &t) == 0 && (t.c_cflag & CRTSCTS);
    };
    switch (function) {
    case SETXOFF: return call(TCXONC, TCOOFF);
    case SETXON:
        // TCOON alone only undoes TCOOFF; the stop of a received XOFF is
        // lifted only by a start that follows a TCOOFF of our own.
        if (DWORD error = call(TCXONC, TCOOFF))
            return error;
        return call(TCXONC, TCOON);
    case SETRTS:
    case CLRRTS:
        // The kernel would overwrite a level set by hand under CRTSCTS, and
        // the receive queue drives it under RTS handshake.
        if (rtsIsKernels() || RtsControl(settings_) == RTS_CONTROL_HANDSHAKE)
            return EINVAL;
        return ModemLine(function == SETRTS ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
    case SETDTR: return ModemLine(TIOCMBIS, TIOCM_DTR);
    case CLRDTR: return ModemLine(TIOCMBIC, TIOCM_DTR);
    case SETBREAK: return call(TIOCSBRK, 0);
    case CLRBREAK: {
        // A break the device cannot make is not on: ending it succeeds.
        DWORD error = call(TIOCCBRK, 0);
        return MeansNoModemLines(static_cast<int>(error)) ? 0 : error;
    }
    default: return EINVAL;
    }
}

} // namespace

void SetTtyDrainProbeForTests(DrainProbeFactory factory)
{
    std::lock_guard lock(g_probeMutex);
    g_probeFactory = std::move(factory);
}

std::shared_ptr<CommDevice> OpenTtyDevice(const std::string& path, DWORD& error)
{
    std::shared_ptr<TtyDevice> device;
    if (int kept = ttyparking::Take(path); kept >= 0) {
        device = std::make_shared<TtyDevice>(kept);
        device->Adopt();
        // What arrived while nobody listened is not this handle's.
        ioctl(kept, TCFLSH, TCIOFLUSH);
    } else {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            error = (errno == ENOENT || errno == ENODEV || errno == ENXIO) ? ERROR_FILE_NOT_FOUND : errno;
            return nullptr;
        }
        device = std::make_shared<TtyDevice>(fd);
        if (DWORD claimError = device->Claim()) {
            error = claimError;
            return nullptr;
        }
    }
    const int fd = device->Descriptor();
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
    if (DWORD watchError = device->StartWatcher()) {
        error = watchError;
        return nullptr;
    }
    device->MarkOpen();
    return device;
}

} // namespace win::detail

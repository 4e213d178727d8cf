// The loopback plug: the lower half of a comm device that simulates a UART
// whose connector has TX wired to RX, DTR to DSR and DCD, RTS to CTS.
//
// The simulation is computed from the clock: a character that starts at t
// ends at t plus one character time, and the next one in the FIFO starts
// right there. A background thread sleeps until the next moment something
// happens on the line (a stop bit out, a break long enough to be one) and
// brings the state up to that moment; every API call brings it up to the
// present first, so what a caller sees never lags the simulated line.

#include "Loopback.h"

#include "CommDevice.h"
#include "TransmitDrain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <optional>
#include <thread>

namespace win::detail {

namespace {

using loopback::Clock;
using std::chrono::nanoseconds;

constexpr size_t FifoDepth = 16;
constexpr size_t MaxLineChanges = 1024;
constexpr size_t MaxArrivals = 1'000'000;

DWORD RtsControl(const DCB& dcb) { return (dcb.Flags & fRtsControlMask) >> 12; }
DWORD DtrControl(const DCB& dcb) { return (dcb.Flags & fDtrControlMask) >> 4; }

std::mutex& LockDirectoryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string& LockDirectoryOverride()
{
    static std::string directory;
    return directory;
}

class LoopbackDevice;

// The plug open in this process, for the trace functions, and the far end
// that plugs opened from now on get.
std::mutex openPlugMutex;
LoopbackDevice* openPlug = nullptr;
loopback::FarEnd farEndForNext;
bool arrivalsWanted = false;
bool exactReceiveTimes = false;

class LoopbackDevice final : public CommDevice {
public:
    explicit LoopbackDevice(int lockFd) : lockFd_(lockFd)
    {
        // What a UART holds after a reset: 9600 8N1, DTR and RTS up as a
        // tty raises them when opened.
        settings_.BaudRate = 9600;
        settings_.Flags = fBinary | (DTR_CONTROL_ENABLE << 4) | (RTS_CONTROL_ENABLE << 12);
        charTime_ = nanoseconds(CharacterTimeNs(settings_));
        Clock::time_point now = Clock::now();
        SetLinesLocked(true, true, now);
    }
    ~LoopbackDevice() override { DeviceShutdown(); }

    void Start()
    {
        {
            std::lock_guard lock(openPlugMutex);
            openPlug = this;
            farEnd_ = farEndForNext;
            keepArrivals_ = arrivalsWanted;
            exactTimes_ = exactReceiveTimes;
        }
        thread_ = std::thread([this] { Run(); });
    }

    loopback::Trace TraceNow()
    {
        std::lock_guard lock(mutex_);
        AdvanceLocked(Clock::now());
        loopback::Trace trace;
        trace.open = true;
        trace.lastStopBitOut = lastStopBitOut_;
        trace.transmitterEmptied = transmitterEmptied_;
        trace.charactersLooped = charactersLooped_;
        trace.lineChanges.assign(lineChanges_.begin(), lineChanges_.end());
        trace.dtr = dtr_;
        trace.rts = rts_;
        trace.breakOn = breakOn_;
        return trace;
    }

    void SetFarEnd(const loopback::FarEnd& farEnd)
    {
        std::lock_guard lock(mutex_);
        farEnd_ = farEnd;
        request_.clear();
    }

    std::vector<loopback::Arrival> TakeArrivals()
    {
        std::lock_guard lock(mutex_);
        AdvanceLocked(Clock::now());
        keepArrivals_ = true;
        std::vector<loopback::Arrival> out(arrivals_.begin(), arrivals_.end());
        arrivals_.clear();
        return out;
    }

protected:
    DWORD DeviceGetState(DCB&) override { return 0; }

    DWORD DeviceSetState(const DCB& dcb) override
    {
        Clock::time_point now = Clock::now();
        AdvanceLocked(now);
        // A character already shifting keeps its frame; the next ones take
        // the new one.
        charTime_ = nanoseconds(CharacterTimeNs(dcb));
        frameMask_ = static_cast<uint8_t>((1u << dcb.ByteSize) - 1);
        bool dtr = DtrControl(dcb) == DTR_CONTROL_ENABLE;
        bool rts = rts_;
        switch (RtsControl(dcb)) {
        case RTS_CONTROL_ENABLE: rts = true; break;
        case RTS_CONTROL_HANDSHAKE: rts = ReceiveRoomForRts(true); break;
        default: rts = false; break; // disabled, or toggle resting low
        }
        // Input flow by XON/XOFF starts afresh.
        if (!(dcb.Flags & fInX))
            sentXoff_ = false;
        SetLinesLocked(dtr, rts, now);
        return 0;
    }

    DWORD DeviceEscape(DWORD function) override
    {
        Clock::time_point now = Clock::now();
        // Called from inside the simulation too (TXEN let go when the
        // transmitter runs empty), which is up to date already.
        if (!moment_)
            AdvanceLocked(now);
        switch (function) {
        case SETXOFF: xoffBySetting_ = true; return 0;
        case SETXON:
            xoffBySetting_ = false;
            xoffReceived_ = false;
            return 0;
        case SETRTS:
        case CLRRTS:
            // Under handshake the line is the driver's, as on the tty.
            if (RtsControl(settings_) == RTS_CONTROL_HANDSHAKE || (settings_.Flags & fOutxCtsFlow))
                return EINVAL;
            SetLinesLocked(dtr_, function == SETRTS, now);
            return 0;
        case SETDTR:
        case CLRDTR: SetLinesLocked(function == SETDTR, rts_, now); return 0;
        case SETBREAK:
            if (!breakOn_) {
                breakOn_ = true;
                breakStart_ = now;
                breakReported_ = false;
            }
            return 0;
        case CLRBREAK:
            if (breakOn_) {
                breakOn_ = false;
                // Too short for a break: the receiver saw a null character
                // without its stop bit.
                if (!breakReported_)
                    ReceiveErroredLocked(0, CE_FRAME);
            }
            return 0;
        default: return EINVAL;
        }
    }

    DWORD DevicePurge(bool, bool transmit) override
    {
        // The character in the shift register finishes; the FIFO empties.
        if (transmit)
            fifo_.clear();
        return 0;
    }

    void DeviceAbortWrite(PendingWrite&) override
    {
        // What the FIFO holds goes out; the rest of the write never does.
        // Either way the transmitter reports running empty afterwards, at
        // the earliest now.
        busy_ = true;
        abortedAt_ = Clock::now();
    }

    DWORD DeviceOutQueue() override
    {
        return static_cast<DWORD>(fifo_.size() + (shifting_ ? 1 : 0));
    }

    void DeviceSync() override { AdvanceLocked(Clock::now()); }
    // A late thread must not let a new write start back to back with what
    // went out before it was made.
    void DeviceBeforeWrite() override { AdvanceLocked(Clock::now()); }

    void DeviceKick() override
    {
        AdvanceLocked(Clock::now());
        InputFlowLocked();
        wake_.notify_one();
    }

    void DeviceSetRts(bool on) override { SetLinesLocked(dtr_, on, moment_ ? *moment_ : Clock::now()); }

    void DeviceShutdown() override
    {
        {
            std::lock_guard lock(openPlugMutex);
            if (openPlug == this)
                openPlug = nullptr;
        }
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable())
            thread_.join();
        if (lockFd_ >= 0) {
            ::close(lockFd_); // releases the lock
            lockFd_ = -1;
        }
    }

private:
    void Run()
    {
        prctl(PR_SET_TIMERSLACK, 1UL);
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            AdvanceLocked(Clock::now());
            std::optional<Clock::time_point> next = NextMomentLocked();
            if (std::optional<Clock::time_point> end = ReleaseMomentLocked()) {
                // TXEN waits to be let go at the last stop bit: as a driver
                // watching its line status does, wake a little early and
                // keep looking, rather than trust a timer's wake-up.
                const Clock::time_point early = *end - win::detail::TransmitDrain::PromptLead;
                if (Clock::now() < early) {
                    wake_.wait_until(lock, next ? std::min(*next, early) : early);
                    continue;
                }
                lock.unlock();
                while (Clock::now() < *end) {
                    // Spinning, without giving the processor away: a yield
                    // on a busy machine can cost a whole time slice.
                }
                lock.lock();
                continue;
            }
            if (next)
                wake_.wait_until(lock, *next);
            else
                wake_.wait(lock);
        }
    }

    // The next moment the line changes in a way someone must hear of at
    // once: each character while an event wait is pending or input flow
    // control watches the queue; otherwise only when the front write will
    // have been taken and when the line goes quiet. Whatever happened in
    // between is worked out then (or by the next call that looks), in
    // simulated time, so the line itself never waits for the thread.
    std::optional<Clock::time_point> NextMomentLocked() const
    {
        std::optional<Clock::time_point> next;
        if (shifting_) {
            // A kept journal stamps each character when the thread brings
            // it in, as a UART's interrupt would.
            bool eachCharacter = WaitPendingLocked() || (settings_.Flags & fInX) ||
                                 RtsControl(settings_) == RTS_CONTROL_HANDSHAKE || priority_ ||
                                 JournalActiveLocked();
            if (eachCharacter) {
                next = shiftEnd_;
            } else {
                next = shiftEnd_ + charTime_ * static_cast<int64_t>(fifo_.size());
                if (!writes_.empty() && !HeldLocked()) {
                    // Every stop bit out frees one place in the FIFO.
                    size_t remaining = writes_.front().data.size() - writes_.front().taken;
                    size_t room = FifoDepth - fifo_.size();
                    size_t more = remaining > room ? remaining - room - 1 : 0;
                    next = std::min(*next, shiftEnd_ + charTime_ * static_cast<int64_t>(more));
                }
            }
        }
        if (breakOn_ && !breakReported_) {
            Clock::time_point detected = breakStart_ + charTime_;
            next = next ? std::min(*next, detected) : detected;
        }
        if (!farChars_.empty()) {
            Clock::time_point end = farChars_.front().start + charTime_;
            next = next ? std::min(*next, end) : end;
        }
        return next;
    }

    // While a DTR release is armed and everything written is in the
    // transmitter: when its last stop bit will be out.
    std::optional<Clock::time_point> ReleaseMomentLocked() const
    {
        if (!DtrReleaseArmedLocked() || !shifting_ || priority_ || HeldLocked() ||
            !std::all_of(writes_.begin(), writes_.end(),
                         [](const PendingWrite& w) { return w.taken == w.data.size(); }))
            return std::nullopt;
        return shiftEnd_ + charTime_ * static_cast<int64_t>(fifo_.size());
    }

    bool HeldLocked() const
    {
        if ((settings_.Flags & fOutxCtsFlow) && !rts_) // CTS is RTS
            return true;
        return xoffBySetting_ || xoffReceived_;
    }

    // Brings the line up to `now`: characters whose stop bit is out arrive,
    // the FIFO is refilled from the writes and the next character starts.
    void AdvanceLocked(Clock::time_point now)
    {
        if (stopping_)
            return;
        BeginReportLocked();
        AdvanceBatchedLocked(now);
        EndReportLocked();
    }

    void AdvanceBatchedLocked(Clock::time_point now)
    {
        for (;;) {
            if (breakOn_ && !breakReported_ && breakStart_ + charTime_ <= now) {
                breakReported_ = true;
                ReceiveBreakLocked();
            }
            // The far end's characters that ended before ours does (or
            // before now) come in first, in the line's order.
            Clock::time_point ours = shifting_ ? std::min(shiftEnd_, now) : now;
            while (!farChars_.empty() && farChars_.front().start + charTime_ <= ours) {
                FarChar far = farChars_.front();
                farChars_.pop_front();
                if (!breakOn_)
                    ArriveLocked(far.byte, far.start, true);
            }
            FeedLocked();
            if (!shifting_ && !fifo_.empty()) {
                StartLocked(std::max(now, lineFree_));
                continue;
            }
            if (!shifting_) {
                if (busy_ && writes_.empty() && fifo_.empty()) {
                    busy_ = false;
                    ++transmitterEmptied_;
                    AnswerLocked();
                    // RTS toggle drops the line at this moment of the
                    // simulation, not when the thread got round to it.
                    moment_ = std::max(lineFree_, abortedAt_);
                    TransmitterEmptyLocked();
                    moment_.reset();
                }
                return;
            }
            if (shiftEnd_ > now)
                return;
            Clock::time_point end = shiftEnd_;
            shifting_ = false;
            lineFree_ = end;
            lastStopBitOut_ = end;
            uint8_t c = shiftChar_;
            if (farEnd_.answer)
                request_.push_back(static_cast<char>(c));
            // A character sent during a break drowns in it.
            if (!breakOn_)
                ArriveLocked(c, end - charTime_, false);
            FeedLocked();
            if (!fifo_.empty())
                StartLocked(end);
        }
    }

    void StartLocked(Clock::time_point at)
    {
        if (priority_) {
            shiftChar_ = *priority_;
            priority_.reset();
        } else {
            shiftChar_ = fifo_.front();
            fifo_.pop_front();
        }
        shifting_ = true;
        busy_ = true;
        shiftEnd_ = at + charTime_;
    }

    // Moves bytes from the front writes into the FIFO while it has room
    // and the output is not held.
    void FeedLocked()
    {
        while (!writes_.empty() && !HeldLocked() && fifo_.size() < FifoDepth) {
            PendingWrite& write = writes_.front();
            size_t n = std::min(FifoDepth - fifo_.size(), write.data.size() - write.taken);
            fifo_.insert(fifo_.end(), write.data.begin() + static_cast<ptrdiff_t>(write.taken),
                         write.data.begin() + static_cast<ptrdiff_t>(write.taken + n));
            write.taken += n;
            busy_ = true;
            if (write.taken == write.data.size())
                CompleteFrontWriteLocked();
        }
    }

    // The far end answers what we sent, from our last stop bit on.
    void AnswerLocked()
    {
        if (!farEnd_.answer)
            return;
        std::string reply = farEnd_.answer(request_);
        request_.clear();
        Clock::time_point start = std::max(lineFree_ + farEnd_.delay,
                                           farChars_.empty() ? lineFree_ : farChars_.back().start + charTime_);
        for (size_t i = 0; i < reply.size(); ++i) {
            if (farEnd_.pauseBefore)
                start += farEnd_.pauseBefore(i);
            farChars_.push_back({start, static_cast<uint8_t>(reply[i])});
            start += charTime_;
        }
        wake_.notify_one();
    }

    void ArriveLocked(uint8_t c, Clock::time_point start, bool fromFarEnd)
    {
        if (keepArrivals_) {
            if (arrivals_.size() == MaxArrivals)
                arrivals_.pop_front();
            arrivals_.push_back({start, c, fromFarEnd});
        }
        if (!fromFarEnd)
            ++charactersLooped_;
        c &= frameMask_;
        // Output XON/XOFF: the characters are the driver's, not data.
        if (settings_.Flags & fOutX) {
            if (c == static_cast<uint8_t>(settings_.XoffChar)) {
                xoffReceived_ = true;
                return;
            }
            if (c == static_cast<uint8_t>(settings_.XonChar)) {
                xoffReceived_ = false;
                return;
            }
        }
        ReceiveLocked(&c, 1, exactTimes_ ? std::optional<Clock::time_point>(start + charTime_) : std::nullopt);
        InputFlowLocked();
    }

    // RTS under handshake: down when the receive queue is three quarters
    // full, up again below one half.
    bool ReceiveRoomForRts(bool current) const
    {
        size_t fill = ReceiveQueueSizeLocked();
        size_t limit = ReceiveQueueLimitLocked();
        if (fill * 4 >= limit * 3)
            return false;
        if (fill * 2 < limit)
            return true;
        return current;
    }

    void InputFlowLocked()
    {
        Clock::time_point now = Clock::now();
        if (RtsControl(settings_) == RTS_CONTROL_HANDSHAKE)
            SetLinesLocked(dtr_, ReceiveRoomForRts(rts_), now);
        if (settings_.Flags & fInX) {
            size_t fill = ReceiveQueueSizeLocked();
            size_t limit = ReceiveQueueLimitLocked();
            if (!sentXoff_ && fill + settings_.XoffLim >= limit) {
                sentXoff_ = true;
                priority_ = static_cast<uint8_t>(settings_.XoffChar);
            } else if (sentXoff_ && fill <= settings_.XonLim) {
                sentXoff_ = false;
                priority_ = static_cast<uint8_t>(settings_.XonChar);
            }
        }
    }

    void SetLinesLocked(bool dtr, bool rts, Clock::time_point at)
    {
        DWORD events = 0;
        if (dtr != dtr_)
            events |= EV_DSR | EV_RLSD;
        if (rts != rts_)
            events |= EV_CTS;
        if (!events)
            return;
        dtr_ = dtr;
        rts_ = rts;
        if (lineChanges_.size() == MaxLineChanges)
            lineChanges_.pop_front();
        lineChanges_.push_back({at, dtr, rts});
        RaiseEventsLocked(events);
    }

    int lockFd_;
    std::thread thread_;
    std::condition_variable wake_;
    bool stopping_ = false;

    nanoseconds charTime_{};
    uint8_t frameMask_ = 0xFF;
    std::deque<uint8_t> fifo_;
    std::optional<uint8_t> priority_; // XON/XOFF of input flow, ahead of the FIFO
    bool shifting_ = false;
    uint8_t shiftChar_ = 0;
    Clock::time_point shiftEnd_{};
    Clock::time_point lineFree_{};
    Clock::time_point abortedAt_{};
    bool busy_ = false; // something written has not yet gone out
    std::optional<Clock::time_point> moment_; // the simulated time being processed

    bool dtr_ = false;
    bool rts_ = false;
    bool breakOn_ = false;
    bool breakReported_ = false;
    Clock::time_point breakStart_{};
    bool xoffBySetting_ = false;
    bool xoffReceived_ = false;
    bool sentXoff_ = false;

    Clock::time_point lastStopBitOut_{};
    uint64_t transmitterEmptied_ = 0;
    uint64_t charactersLooped_ = 0;
    std::deque<loopback::LineChange> lineChanges_;

    struct FarChar {
        Clock::time_point start;
        uint8_t byte;
    };
    loopback::FarEnd farEnd_;
    std::string request_;         // what we sent since the far end last answered
    std::deque<FarChar> farChars_; // its answer, not yet all arrived
    bool keepArrivals_ = false;
    bool exactTimes_ = false;
    std::deque<loopback::Arrival> arrivals_;
};

int OpenLockFile(const std::string& path, DWORD& error)
{
    // An existing file is opened without O_CREAT: a file of another user in
    // a sticky folder may be locked but not "created" again.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::shared_ptr<CommDevice> OpenLoopbackDevice(DWORD& error)
{
    int lockFd = OpenLockFile(loopback::LockFilePath(), error);
    if (lockFd < 0)
        return nullptr;
    auto device = std::make_shared<LoopbackDevice>(lockFd);
    device->Start();
    return device;
}

} // namespace win::detail

namespace loopback {

void SetLockDirectory(const std::string& directory)
{
    std::lock_guard lock(win::detail::LockDirectoryMutex());
    win::detail::LockDirectoryOverride() = directory;
}

std::string LockFilePath()
{
    std::string directory;
    {
        std::lock_guard lock(win::detail::LockDirectoryMutex());
        directory = win::detail::LockDirectoryOverride();
    }
    if (directory.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        directory = runtime && *runtime ? runtime : "/tmp";
    }
    return directory + "/tarrowin-loopback.lock";
}

void SetExactReceiveTimes(bool exact)
{
    std::lock_guard lock(win::detail::openPlugMutex);
    win::detail::exactReceiveTimes = exact;
}

void SetFarEnd(FarEnd farEnd)
{
    std::lock_guard lock(win::detail::openPlugMutex);
    win::detail::farEndForNext = farEnd;
    if (win::detail::openPlug)
        win::detail::openPlug->SetFarEnd(farEnd);
}

std::vector<Arrival> TakeArrivals()
{
    std::lock_guard lock(win::detail::openPlugMutex);
    win::detail::arrivalsWanted = true;
    if (!win::detail::openPlug)
        return {};
    return win::detail::openPlug->TakeArrivals();
}

Trace CurrentTrace()
{
    std::lock_guard lock(win::detail::openPlugMutex);
    if (!win::detail::openPlug)
        return Trace{};
    return win::detail::openPlug->TraceNow();
}

} // namespace loopback

// The upper half of every serial device: queues, error word, event word and
// the overlapped operations. See CommDevice.h for the completion rules.

#include "CommDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace win::detail {

using Clock = journal::Clock;

namespace {

// What a UART driver holds when the program asked for no particular size.
constexpr DWORD DefaultReceiveQueue = 4096;

DWORD DtrControl(const DCB& dcb) { return (dcb.Flags & fDtrControlMask) >> 4; }
DWORD RtsControl(const DCB& dcb) { return (dcb.Flags & fRtsControlMask) >> 12; }

} // namespace

DWORD ValidateDcb(const DCB& dcb, commreasons::Setting* refused)
{
    using commreasons::Setting;
    auto refuse = [refused](Setting setting) {
        if (refused)
            *refused = setting;
        return DWORD(EINVAL);
    };
    if (dcb.BaudRate == 0)
        return refuse(Setting::Rate);
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return refuse(Setting::DataBits);
    if (dcb.Parity > SPACEPARITY)
        return refuse(Setting::Parity);
    if (dcb.StopBits > TWOSTOPBITS)
        return refuse(Setting::StopBits);
    // 1.5 stop bits exist on a UART only with 5 data bits (CSTOPB then means
    // 1.5), so 2 stop bits cannot be had with 5 data bits.
    if ((dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) || (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
        return refuse(Setting::StopBitsForSize);
    // Without binary mode the driver would have to stop at an end-of-file
    // character; no serial driver has done that for decades.
    if (!(dcb.Flags & fBinary))
        return refuse(Setting::NonBinary);
    // DSR output flow, DTR handshake and DSR sensitivity have no tty
    // counterpart; accepting them would leave the line uncontrolled.
    if (dcb.Flags & (fOutxDsrFlow | fDsrSensitivity))
        return refuse(Setting::DsrFlow);
    if (DtrControl(dcb) == DTR_CONTROL_HANDSHAKE)
        return refuse(Setting::DtrHandshake);
    if ((dcb.Flags & (fOutX | fInX)) && dcb.XonChar == dcb.XoffChar)
        return refuse(Setting::XonXoffChars);
    return 0;
}

int64_t CharacterTimeNs(const DCB& dcb)
{
    // In half bits, so that 1.5 stop bits stay exact.
    int64_t halfBits = 2 * (1 + dcb.ByteSize) + (dcb.Parity != NOPARITY ? 2 : 0);
    halfBits += dcb.StopBits == ONESTOPBIT ? 2 : dcb.StopBits == ONE5STOPBITS ? 3 : 4;
    DWORD rate = dcb.BaudRate ? dcb.BaudRate : 9600;
    return halfBits * 500'000'000LL / rate;
}

// ---- Completion ---------------------------------------------------------------

void CommDevice::CompleteLocked(OVERLAPPED* overlapped, DWORD status, DWORD bytes)
{
    overlapped->Internal = status;
    overlapped->InternalHigh = bytes;
    if (overlapped->hEvent)
        SetEvent(overlapped->hEvent);
}

void CommDevice::CompleteWaitLocked(DWORD events, DWORD status)
{
    if (!waitOverlapped_)
        return;
    *waitEvents_ = events;
    OVERLAPPED* overlapped = waitOverlapped_;
    waitEvents_ = nullptr;
    waitOverlapped_ = nullptr;
    CompleteLocked(overlapped, status, 0);
}

void CommDevice::AbortWritesLocked(DWORD status)
{
    while (!writes_.empty()) {
        PendingWrite& write = writes_.front();
        DeviceAbortWrite(write);
        OVERLAPPED* overlapped = write.overlapped;
        writes_.pop_front();
        CompleteLocked(overlapped, status, 0);
    }
}

void CommDevice::RaiseEventsLocked(DWORD events)
{
    events &= eventMask_;
    if (!events)
        return;
    if (batching_) {
        batched_ |= events;
        return;
    }
    if (waitOverlapped_) {
        DWORD all = events | history_;
        history_ = 0;
        CompleteWaitLocked(all, 0);
    } else {
        history_ |= events;
    }
}

void CommDevice::EndReportLocked()
{
    if (batching_ == 1)
        journal_.EndRead();
    if (batching_ > 0 && --batching_ == 0 && batched_) {
        DWORD events = batched_;
        batched_ = 0;
        RaiseEventsLocked(events);
    }
}

void CommDevice::CompleteFrontWriteLocked()
{
    PendingWrite& write = writes_.front();
    DWORD bytes = static_cast<DWORD>(write.data.size());
    if (write.done)
        *write.done = bytes;
    OVERLAPPED* overlapped = write.overlapped;
    writes_.pop_front();
    CompleteLocked(overlapped, 0, bytes);
}

void CommDevice::TransmitterEmptyLocked()
{
    journal_.TransmitterEmpty(Clock::now());
    if (dtrRelease_ && dtrReleaseWritten_ && writes_.empty()) {
        // Before the event goes out: whoever hears of the empty
        // transmitter finds the bus already let go.
        const bool level = *dtrRelease_;
        dtrRelease_.reset();
        if (DeviceEscape(level ? SETDTR : CLRDTR) == 0) {
            dtrLevel_ = level;
            JournalLinesLocked();
        }
    }
    if (rtsToggle_ && rtsToggleRaised_ && writes_.empty()) {
        DeviceSetRts(false);
        rtsToggleRaised_ = false;
        rtsLevel_ = false;
        JournalLinesLocked();
    }
    RaiseEventsLocked(EV_TXEMPTY);
}

bool CommDevice::WantsTransmitterEmptyLocked() const
{
    return (eventMask_ & EV_TXEMPTY) || rtsToggle_ || dtrRelease_;
}

void CommDevice::FailLocked(DWORD error)
{
    if (failure_)
        return;
    failure_ = error;
    CompleteWaitLocked(0, error);
    AbortWritesLocked(error);
}

// ---- Receiving ------------------------------------------------------------------

DWORD CommDevice::ReceiveQueueLimitLocked() const
{
    return inQueueSize_ ? inQueueSize_ : DefaultReceiveQueue;
}

bool CommDevice::ReceiveQueueFullLocked() const
{
    return rx_.size() >= ReceiveQueueLimitLocked();
}

void CommDevice::ReceiveLocked(const uint8_t* data, size_t count, std::optional<Clock::time_point> readAt)
{
    // As it came off the device: before nulls are stripped or the queue
    // overflows.
    if (readAt)
        journal_.EndRead();
    journal_.Received(data, count, readAt.value_or(Clock::now()));
    if (!batching_ || readAt)
        journal_.EndRead();
    const bool stripNull = settings_.Flags & fNull;
    const uint8_t eventChar = static_cast<uint8_t>(settings_.EvtChar);
    const size_t limit = ReceiveQueueLimitLocked();
    DWORD events = 0;
    for (size_t i = 0; i < count; ++i) {
        uint8_t c = data[i];
        if (c == 0 && stripNull)
            continue;
        if (rx_.size() >= limit) {
            errors_ |= CE_RXOVER;
            continue;
        }
        rx_.push_back(c);
        events |= EV_RXCHAR;
        if (c == eventChar)
            events |= EV_RXFLAG;
    }
    RaiseEventsLocked(events);
}

void CommDevice::ReceiveErroredLocked(uint8_t c, DWORD error)
{
    journal_.LineError(error, Clock::now());
    errors_ |= error;
    if (settings_.Flags & fErrorChar)
        c = static_cast<uint8_t>(settings_.ErrorChar);
    RaiseEventsLocked(EV_ERR);
    ReceiveLocked(&c, 1);
}

void CommDevice::ReceiveBreakLocked()
{
    journal_.LineError(CE_BREAK, Clock::now());
    errors_ |= CE_BREAK;
    RaiseEventsLocked(EV_BREAK);
    // A UART reads a break as a null character with the break flag.
    const uint8_t null = 0;
    ReceiveLocked(&null, 1);
}

void CommDevice::LineErrorLocked(DWORD errors)
{
    journal_.LineError(errors, Clock::now());
    errors_ |= errors;
    if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY))
        RaiseEventsLocked(EV_ERR);
}

// ---- Operations ---------------------------------------------------------------

void CommDevice::Close()
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        CompleteWaitLocked(0, ECANCELED);
        AbortWritesLocked(ECANCELED);
    }
    DeviceShutdown();
}

DWORD CommDevice::GetState(DCB& dcb)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    DCB result = settings_;
    if (DWORD error = DeviceGetState(result))
        return error;
    dcb = result;
    return 0;
}

DWORD CommDevice::SetState(const DCB& dcb)
{
    BeginSettingReason();
    commreasons::Setting refused = commreasons::Setting::None;
    if (DWORD error = ValidateDcb(dcb, &refused)) {
        NoteRefusedSetting(refused, dcb);
        return error;
    }
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    if (DWORD error = DeviceSetState(dcb)) {
        if (!SettingReasonNoted())
            NoteRefusedSetting(commreasons::Setting::Other, dcb);
        return error;
    }
    settings_ = dcb;
    // New settings set DTR by themselves: a release armed before is void.
    dtrRelease_.reset();
    // Toggle needs RTS in the program's hands; under CTS flow the line
    // belongs to the handshake. Setting the block put RTS low.
    rtsToggle_ = RtsControl(dcb) == RTS_CONTROL_TOGGLE && !(dcb.Flags & fOutxCtsFlow);
    rtsToggleRaised_ = false;
    dtrLevel_ = DtrControl(dcb) == DTR_CONTROL_ENABLE;
    if (RtsControl(dcb) != RTS_CONTROL_HANDSHAKE)
        rtsLevel_ = RtsControl(dcb) == RTS_CONTROL_ENABLE;
    if (rtsToggle_ && !writes_.empty()) {
        DeviceSetRts(true);
        rtsToggleRaised_ = true;
        rtsLevel_ = true;
    }
    journal_.Settings(CharacterTimeNs(dcb), Clock::now());
    JournalLinesLocked();
    DeviceKick();
    return 0;
}

DWORD CommDevice::Purge(DWORD flags)
{
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return EINVAL;
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    // Reads complete at once, so PURGE_RXABORT has nothing to end.
    if (flags & PURGE_TXABORT)
        AbortWritesLocked(ECANCELED);
    bool receive = flags & PURGE_RXCLEAR;
    bool transmit = flags & PURGE_TXCLEAR;
    if (receive)
        rx_.clear();
    // The queues of a device that is gone are gone with it.
    if (failure_ || !(receive || transmit))
        return 0;
    if (DWORD error = DevicePurge(receive, transmit))
        return error;
    DeviceKick();
    return 0;
}

DWORD CommDevice::ClearError(DWORD* errors, COMSTAT* stat)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    DeviceSync();
    // The sync may be what finds the device gone.
    if (failure_)
        return failure_;
    if (errors)
        *errors = errors_;
    errors_ = 0;
    if (stat) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(rx_.size());
        DWORD queued = DeviceOutQueue();
        for (const PendingWrite& write : writes_)
            queued += static_cast<DWORD>(write.data.size() - write.taken);
        stat->cbOutQue = queued;
    }
    return 0;
}

DWORD CommDevice::Escape(DWORD function)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    DWORD error = DeviceEscape(function);
    if (error)
        return error;
    if (function == SETDTR || function == CLRDTR) {
        dtrLevel_ = function == SETDTR;
        dtrRelease_.reset(); // the caller has the last word
    }
    if (function == SETRTS || function == CLRRTS)
        rtsLevel_ = function == SETRTS;
    JournalLinesLocked();
    DeviceKick();
    return 0;
}

DWORD CommDevice::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    // Reads here always complete at once with what has been received, and
    // writes are bounded by their caller's wait. Time-outs that ask the
    // device for anything else are refused rather than ignored.
    if (timeouts.ReadIntervalTimeout != MAXDWORD || timeouts.ReadTotalTimeoutMultiplier != 0 ||
        timeouts.ReadTotalTimeoutConstant != 0 || timeouts.WriteTotalTimeoutMultiplier != 0 ||
        timeouts.WriteTotalTimeoutConstant != 0)
        return EINVAL;
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    timeouts_ = timeouts;
    return 0;
}

DWORD CommDevice::Setup(DWORD inQueue, DWORD outQueue)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    // The receive queue is ours and takes this size; the transmit side has
    // no queue of its own (a write completes when the transmitter has taken
    // its bytes), so the transmit size is only kept.
    inQueueSize_ = inQueue;
    outQueueSize_ = outQueue;
    DeviceKick();
    return 0;
}

DWORD CommDevice::SetMask(DWORD mask)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    eventMask_ = mask;
    history_ = 0;
    // A changed mask ends the pending wait with an empty event word.
    CompleteWaitLocked(0, 0);
    DeviceKick();
    return 0;
}

DWORD CommDevice::GetProperties(COMMPROP& properties)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    properties = COMMPROP{};
    properties.dwProvCapabilities = DeviceCapabilities();
    return 0;
}

DWORD CommDevice::WaitEvent(DWORD* events, OVERLAPPED* overlapped)
{
    if (!events || !overlapped)
        return EINVAL;
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    if (waitOverlapped_)
        return EINVAL; // one wait at a time
    DeviceSync();
    // The sync itself may find the device gone; a wait registered now would
    // never end, since nothing watches a failed device any more.
    if (failure_)
        return failure_;
    DWORD ready = history_ & eventMask_;
    history_ = 0;
    if (ready) {
        *events = ready;
        CompleteLocked(overlapped, 0, 0);
        return 0;
    }
    // With an empty mask the wait stays pending until the mask changes or
    // the device closes: nothing can happen that it would report.
    overlapped->Internal = StatusPending;
    overlapped->InternalHigh = 0;
    waitEvents_ = events;
    waitOverlapped_ = overlapped;
    DeviceKick();
    return ERROR_IO_PENDING;
}

DWORD CommDevice::Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    // A line error stops transfers until ClearCommError has been called.
    if ((settings_.Flags & fAbortOnError) && errors_)
        return ECANCELED;
    if (!failure_)
        DeviceSync();
    // Bytes that arrived before the device went are still handed out; only
    // a read that would come back empty reports the loss.
    if (failure_ && rx_.empty())
        return failure_;
    DWORD n = static_cast<DWORD>(std::min<size_t>(count, rx_.size()));
    std::copy_n(rx_.begin(), n, static_cast<uint8_t*>(buffer));
    rx_.erase(rx_.begin(), rx_.begin() + n);
    if (done)
        *done = n;
    if (overlapped)
        CompleteLocked(overlapped, 0, n);
    // Room in the queue may release input flow control.
    if (n && !failure_)
        DeviceKick();
    return 0;
}

DWORD CommDevice::Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped)
{
    if (!overlapped || (count && !buffer))
        return EINVAL;
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    if ((settings_.Flags & fAbortOnError) && errors_)
        return ECANCELED;
    if (count == 0) {
        if (done)
            *done = 0;
        CompleteLocked(overlapped, 0, 0);
        return 0;
    }
    if (done)
        *done = 0;
    overlapped->Internal = StatusPending;
    overlapped->InternalHigh = 0;
    PendingWrite write;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    write.data.assign(bytes, bytes + count);
    write.done = done;
    write.overlapped = overlapped;
    DeviceBeforeWrite();
    journal_.Sent(bytes, count, Clock::now());
    if (dtrRelease_)
        dtrReleaseWritten_ = true;
    if (rtsToggle_ && !rtsToggleRaised_) {
        DeviceSetRts(true);
        rtsToggleRaised_ = true;
        rtsLevel_ = true;
        JournalLinesLocked();
    }
    writes_.push_back(std::move(write));
    // The device takes what it can at once; a write that fits completes here.
    DeviceKick();
    if (overlapped->Internal != StatusPending)
        return static_cast<DWORD>(overlapped->Internal);
    return ERROR_IO_PENDING;
}

DWORD CommDevice::OverlappedResult(OVERLAPPED* overlapped, DWORD* done, bool wait)
{
    if (!overlapped)
        return EINVAL;
    std::unique_lock lock(mutex_);
    while (wait && overlapped->Internal == StatusPending) {
        lock.unlock();
        if (WaitForSingleObject(overlapped->hEvent, INFINITE) != WAIT_OBJECT_0)
            return GetLastError();
        lock.lock();
        if (overlapped->Internal == StatusPending)
            ResetEvent(overlapped->hEvent); // set for something else; wait again
    }
    if (overlapped->Internal == StatusPending)
        return ERROR_IO_INCOMPLETE;
    if (done)
        *done = static_cast<DWORD>(overlapped->InternalHigh);
    return static_cast<DWORD>(overlapped->Internal);
}

DWORD CommDevice::Cancel(OVERLAPPED* overlapped)
{
    std::lock_guard lock(mutex_);
    if (!overlapped || overlapped == waitOverlapped_)
        CompleteWaitLocked(0, ECANCELED);
    for (auto it = writes_.begin(); it != writes_.end();) {
        if (overlapped && it->overlapped != overlapped) {
            ++it;
            continue;
        }
        DeviceAbortWrite(*it);
        OVERLAPPED* cancelled = it->overlapped;
        it = writes_.erase(it);
        CompleteLocked(cancelled, ECANCELED, 0);
    }
    if (!closed_)
        DeviceKick();
    return 0;
}

// ---- The journal -------------------------------------------------------------

void CommDevice::JournalLinesLocked()
{
    journal_.Lines(dtrLevel_, rtsLevel_, Clock::now());
}

DWORD CommDevice::ArmDtrRelease(bool level)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    dtrRelease_ = level;
    dtrReleaseWritten_ = false;
    // The device must now look for the transmitter running empty.
    DeviceKick();
    return 0;
}

DWORD CommDevice::StartJournal(size_t capacity)
{
    std::lock_guard lock(mutex_);
    if (DWORD error = UnusableLocked())
        return error;
    journal_.Start(capacity);
    // Receive times are worth more than the device's idle sleep now.
    DeviceKick();
    return 0;
}

DWORD CommDevice::StopJournal()
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    journal_.Stop();
    return 0;
}

DWORD CommDevice::TakeJournal(std::vector<journal::Record>& out)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    // What the device holds but has not looked at yet belongs in it.
    if (!failure_)
        DeviceSync();
    journal_.Take(out);
    return 0;
}

DWORD CommDevice::LineCounts(journal::LineCounts& counts)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    DeviceLineCounts(counts);
    return 0;
}

DWORD CommDevice::Latency(journal::Latency& latency)
{
    std::lock_guard lock(mutex_);
    if (closed_)
        return EBADF;
    latency = DeviceLatency();
    return 0;
}

} // namespace win::detail

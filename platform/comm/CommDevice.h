#pragma once
// Private to the comm API: the objects that stand behind handles.
//
// Every handle the comm API gives out names one KernelObject in a
// process-wide table. Lookups hand out shared ownership, so an object that
// one thread is using (an event being waited on, a device in the middle of a
// call) stays alive when another thread closes its handle; CloseHandle only
// takes the handle out of the table and calls Close(), which releases what
// the object holds and ends whatever waits on it.
//
// A CommDevice is one serial device behind a handle. The base class is the
// driver's upper half, common to every device: the receive queue, the line
// error word, the event word and the overlapped operations (the event wait,
// reads, writes, their completion and cancelling). A derived device is the
// lower half: the tty (TtyDevice.cpp) moves bytes between the queue and a
// real tty; the loopback plug (Loopback.cpp) simulates a UART with a loopback
// connector; the network port (NetworkPort.cpp) speaks RFC 2217 to a serial
// device server over TCP. Each runs one background thread of its own that completes the
// pending operations.
//
// Error convention: device operations return 0 on success or the error code
// that the API function leaves as the thread's last error (errno values,
// ERROR_IO_PENDING for an overlapped operation that goes on).
//
// Completion rules: a transfer or event wait writes into the caller's
// OVERLAPPED, counter and buffer only until CancelIo (or Close) has returned
// for it; its completion stores the result in the OVERLAPPED (Internal: 0 or
// an error code, InternalHigh: bytes) and then sets OVERLAPPED::hEvent, also
// when it completes at once. All of it happens under the device's mutex, so
// a Cancel that returns has either removed the operation or found it done.

#include "CommApi.h"
#include "CommReasons.h"
#include "JournalKeeper.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace win::detail {

// OVERLAPPED::Internal of an operation that has not completed.
constexpr uintptr_t StatusPending = 0x103;

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once, by CloseHandle, after the handle has left the table.
    virtual void Close() {}
};

class CommDevice : public KernelObject {
public:
    using Clock = journal::Clock;

    ~CommDevice() override = default;

    // Ends every pending operation (the event wait with an empty event word,
    // transfers with ECANCELED), then lets the device release what it holds.
    void Close() final;

    DWORD GetState(DCB& dcb);
    DWORD SetState(const DCB& dcb);
    DWORD Purge(DWORD flags);
    DWORD ClearError(DWORD* errors, COMSTAT* stat);
    DWORD Escape(DWORD function);
    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);
    DWORD Setup(DWORD inQueue, DWORD outQueue);
    DWORD SetMask(DWORD mask);
    DWORD GetProperties(COMMPROP& properties);

    DWORD WaitEvent(DWORD* events, OVERLAPPED* overlapped);
    DWORD Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped);
    DWORD Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped);
    DWORD OverlappedResult(OVERLAPPED* overlapped, DWORD* done, bool wait);
    DWORD Cancel(OVERLAPPED* overlapped);

    // The bus monitor's view (PortJournal.h).
    DWORD StartJournal(size_t capacity);
    DWORD StopJournal();
    DWORD TakeJournal(std::vector<journal::Record>& out);
    DWORD LineCounts(journal::LineCounts& counts);
    DWORD Latency(journal::Latency& latency);
    // LineRelease.h: DTR to `level` once the transmitter runs empty after
    // the next write.
    DWORD ArmDtrRelease(bool level);

protected:
    // One queued write. The bytes are copied at WriteFile, so that a
    // cancelled write can never read the caller's buffer afterwards.
    struct PendingWrite {
        std::vector<uint8_t> data;
        size_t taken = 0; // bytes the transmitter has taken
        DWORD* done = nullptr;
        OVERLAPPED* overlapped = nullptr;
    };

    // ---- The lower half; all called with mutex_ held -----------------------

    // Reads the device's settings into `dcb` (which holds settings_ on entry).
    virtual DWORD DeviceGetState(DCB& dcb) = 0;
    // Applies a block that passed ValidateDcb; on success the base stores it.
    virtual DWORD DeviceSetState(const DCB& dcb) = 0;
    virtual DWORD DeviceEscape(DWORD function) = 0;
    // Empties the device's own queues below the base's receive queue.
    virtual DWORD DevicePurge(bool receive, bool transmit) = 0;
    // Drops the transmitter's copy of the bytes of a cancelled write that
    // have not gone out (called before the write leaves writes_).
    virtual void DeviceAbortWrite(PendingWrite&) {}
    // PCF_ bits of what the device can do.
    virtual DWORD DeviceCapabilities() { return PCF_DTRDSR | PCF_RTSCTS; }
    // Bytes taken from writes but not yet on the line.
    virtual DWORD DeviceOutQueue() { return 0; }
    // Brings the device up to the present before its state is read.
    virtual void DeviceSync() {}
    // Called before a write is queued: a device that works out its line
    // after the fact brings it up to now, so that the write cannot start
    // in the past.
    virtual void DeviceBeforeWrite() {}
    // Something the background thread must look at has changed: a write
    // queued, the mask or the settings changed, queue space freed.
    virtual void DeviceKick() = 0;
    // Sets RTS for RTS toggle.
    virtual void DeviceSetRts(bool on) = 0;
    // The driver's own line error counts since the open; by default those
    // the device reported through the services below.
    virtual void DeviceLineCounts(journal::LineCounts& counts) { counts = journal_.Counts(); }
    virtual journal::Latency DeviceLatency() { return {}; }
    // Called once from Close, without the mutex held: stop the background
    // thread and release the device.
    virtual void DeviceShutdown() = 0;

    // ---- Services for the lower half; mutex_ held --------------------------

    // Events that occurred; those outside the mask are dropped, the rest
    // complete the pending wait or are kept for the next one.
    void RaiseEventsLocked(DWORD events);
    // Events raised between these two go out as one report, as a UART's
    // interrupt reports what happened at one moment together.
    void BeginReportLocked() { ++batching_; }
    void EndReportLocked();
    // Received characters, after the device's own decoding.
    // `readAt`: when the device read them, if it knows better than now; such
    // bytes are a read of their own in the journal.
    void ReceiveLocked(const uint8_t* data, size_t count, std::optional<Clock::time_point> readAt = std::nullopt);
    // One character received with a line error (CE_FRAME / CE_RXPARITY).
    void ReceiveErroredLocked(uint8_t c, DWORD error);
    // A break: CE_BREAK, EV_BREAK and the null character a UART reads.
    void ReceiveBreakLocked();
    // Error bits without a character (overrun, lost input).
    void LineErrorLocked(DWORD errors);
    // The receive queue holds as much as it may; the device stops taking
    // input so that the kernel's (or the line's) flow control takes over.
    bool ReceiveQueueFullLocked() const;
    size_t ReceiveQueueSizeLocked() const { return rx_.size(); }
    DWORD ReceiveQueueLimitLocked() const;
    // The front write's bytes have all been taken by the transmitter.
    void CompleteFrontWriteLocked();
    // The last stop bit of everything written is out.
    void TransmitterEmptyLocked();
    // Whether the device must find out when the transmitter runs empty.
    bool WantsTransmitterEmptyLocked() const;
    // The device is gone (unplugged): pending operations end with `error`,
    // and so does everything after, except purging and closing.
    void FailLocked(DWORD error);
    bool FailedLocked() const { return failure_ != 0; }
    bool RtsToggleLocked() const { return rtsToggle_; }
    // Whether an event wait is pending: events raised now complete it.
    bool WaitPendingLocked() const { return waitOverlapped_ != nullptr; }
    // Whether the device is to let DTR go when its transmitter runs empty:
    // that moment is then worth watching closely.
    bool DtrReleaseArmedLocked() const { return dtrRelease_.has_value(); }
    // Whether someone keeps the journal, so that receive times matter.
    bool JournalActiveLocked() const { return journal_.Active(); }

    std::mutex mutex_;
    DCB settings_{};     // the last block set (or what the device was opened with)
    DWORD eventMask_ = 0;
    std::deque<PendingWrite> writes_;
    JournalKeeper journal_;

private:
    // Why an operation cannot go ahead: EBADF once closed, the failure once
    // the device is gone, 0 while it is usable.
    DWORD UnusableLocked() const { return closed_ ? EBADF : failure_; }
    void CompleteLocked(OVERLAPPED* overlapped, DWORD status, DWORD bytes);
    void CompleteWaitLocked(DWORD events, DWORD status);
    void AbortWritesLocked(DWORD status);
    // Tells the journal where DTR and RTS stand after the settings or a
    // line call changed them.
    void JournalLinesLocked();

    COMMTIMEOUTS timeouts_{};
    DWORD inQueueSize_ = 0;
    DWORD outQueueSize_ = 0;
    std::deque<uint8_t> rx_;
    DWORD errors_ = 0;           // CE_ bits since the last ClearCommError
    DWORD history_ = 0;          // events that occurred while no wait was pending
    int batching_ = 0;
    DWORD batched_ = 0;
    DWORD* waitEvents_ = nullptr;
    OVERLAPPED* waitOverlapped_ = nullptr;
    bool rtsToggle_ = false;
    bool rtsToggleRaised_ = false;
    bool dtrLevel_ = false; // as set by the settings and line calls
    bool rtsLevel_ = false;
    std::optional<bool> dtrRelease_; // armed: the level to release DTR to
    bool dtrReleaseWritten_ = false; // a write has been queued since the arming
    bool closed_ = false;
    DWORD failure_ = 0;
};

// Settings no device here can carry out; 0 when the block is acceptable,
// else EINVAL with the setting that cannot be had in `refused`.
DWORD ValidateDcb(const DCB& dcb, commreasons::Setting* refused = nullptr);

// The reasons of CommReasons.h, kept for the calling thread. An open runs
// between BeginOpenReason and EndOpenReason (called for a failure only); a
// device's open notes what its error code cannot tell. A device that
// refuses a control block notes which setting it could not take.
void BeginOpenReason();
void NoteOpenProblem(commreasons::OpenProblem problem);
void EndOpenReason(const std::string& name, const std::string& path, DWORD error);
void BeginSettingReason();
void NoteRefusedSetting(commreasons::Setting setting, const DCB& asked, DWORD grantedRate = 0,
                        const std::string& serverText = {});
bool SettingReasonNoted();
// One character's time on the line for the block's frame, in nanoseconds.
int64_t CharacterTimeNs(const DCB& dcb);

// Opens the device at `path` (already resolved from a port name). On failure
// returns null and sets `error`; ERROR_FILE_NOT_FOUND means there is no such
// device.
std::shared_ptr<CommDevice> OpenDevice(const std::string& path, DWORD& error);
std::shared_ptr<CommDevice> OpenTtyDevice(const std::string& path, DWORD& error);
// Tests stand in for the kernel's answers on the transmit side (queue count,
// line status) of ttys opened from now on, to play drivers that no pty can
// (output held in the kernel, a stale status); an empty function restores
// the kernel's own answers.
class DrainProbe;
using DrainProbeFactory = std::function<std::unique_ptr<DrainProbe>(int fd)>;
void SetTtyDrainProbeForTests(DrainProbeFactory factory);
std::shared_ptr<CommDevice> OpenLoopbackDevice(DWORD& error);
// A network port: "rfc2217://host:port" ("[v6 address]:port" too).
bool IsNetworkPortPath(const std::string& path);
std::shared_ptr<CommDevice> OpenNetworkDevice(const std::string& path, DWORD& error);
// What the server answered, for FormatMessage(ERROR_PORT_SERVER) on the
// calling thread; set just before failing with that code.
void SetServerAnswer(const std::string& text);
// Time-outs of network ports opened from now on (tests shorten them): the
// connect, and each answer the server owes (negotiation, a line setting).
void SetNetworkTimeoutsForTests(int connectMs, int answerMs);

// The handle table.
HANDLE RegisterObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindObject(HANDLE handle);
std::shared_ptr<CommDevice> FindDevice(HANDLE handle);
// Also finds a device whose handle is being closed, until its Close() has
// returned: CancelIo needs it to know that nothing completes any more.
std::shared_ptr<CommDevice> FindDeviceForCancel(HANDLE handle);

} // namespace win::detail

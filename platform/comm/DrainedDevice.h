#pragma once
// A device whose writes leave through a queue it can only count (a tty's
// kernel buffer, a socket's unacknowledged bytes). A write is done when
// that queue has run empty, not when the queue took it, so that output held
// by flow control keeps the write pending; after the last write the
// transmit-empty moment is the drain rule's for the device's kind.

#include "CommDevice.h"
#include "TransmitDrain.h"

#include <chrono>

namespace win::detail {

class DrainedDevice : public CommDevice {
protected:
    using Clock = std::chrono::steady_clock;

    // The device's answers about its queue and its transmitter.
    virtual DrainProbe& ProbeLocked() = 0;
    // Hands the device more of the front write, as far as it takes it.
    virtual void TransmitLocked() = 0;

    // The front write's bytes have all been taken: it is done once the
    // queue reads empty, which is looked at from now on.
    void FrontWriteTakenLocked();
    bool FrontWriteDrainingLocked() const;
    // Completes the front write once the queue has run empty, then goes on
    // with the next.
    void CheckWriteDrainedLocked(Clock::time_point now);
    // Reports the transmitter empty once the drain rule says so.
    void CheckTransmitterLocked(Clock::time_point now);
    // When the two checks above want to run next; max() for never.
    Clock::time_point NextDrainCheckLocked() const;

    TransmitDrain drain_;
    // `quick`: the queue runs empty faster than the wire (USB, TCP), so the
    // moment is looked for about every millisecond.
    bool quickQueuePoll_ = false;

private:
    Clock::time_point writeCheck_{};
    QueuePoll writePoll_;
};

} // namespace win::detail

// The moment the transmitter is empty; see TransmitDrain.h for the rule per
// kind of device.

#include "TransmitDrain.h"

#include <algorithm>

namespace win::detail {

QueuePoll::nanoseconds QueuePoll::Next(int queued, int64_t charNs, bool quick)
{
    constexpr nanoseconds minWait = TransmitDrain::PollInterval;
    constexpr nanoseconds maxWait = TransmitDrain::MaxHeldWait;
    nanoseconds wait = std::clamp(nanoseconds(charNs * std::max(queued - 1, 0)), minWait,
                                  quick ? TransmitDrain::QuickPoll : maxWait);
    bool unchanged = last_ > 0 && queued >= last_;
    unchanged_ = unchanged ? unchanged_ + 1 : 0;
    last_ = queued;
    // A queue handed on over USB moves in steps; only a count that has not
    // moved for a while is held.
    bool held = unchanged && (!quick || unchanged_ * TransmitDrain::QuickPoll >= maxWait);
    wait_ = held ? std::min(std::max(wait_ * 2, wait), maxWait) : wait;
    return wait_;
}

void TransmitDrain::Configure(LineStatusKind kind, bool usb)
{
    kind_ = kind;
    usb_ = usb;
    network_ = false;
}

void TransmitDrain::SetCharacterTimes(int64_t requestedNs, int64_t grantedNs)
{
    charNs_ = std::max(requestedNs, grantedNs);
}

void TransmitDrain::Queued(Clock::time_point now, size_t bytes)
{
    if (!pending_)
        burst_ = 0;
    pending_ = true;
    burst_ += bytes;
    queueEmptyAt_.reset();
    queuePoll_.Reset();
    wireEnd_ = std::max(wireEnd_, now) + Chars(bytes);
    // The exact status is worth asking for from one character before the
    // computed end; elsewhere the moment the kernel's queue runs empty is
    // what the guard counts from, so it is looked for at once.
    next_ = kind_ == LineStatusKind::Exact ? Toward(std::max(now, wireEnd_ - Chars(1)), now) : now;
}

TransmitDrain::Clock::time_point TransmitDrain::Toward(Clock::time_point moment, Clock::time_point now) const
{
    if (!prompt_)
        return moment;
    return moment - now <= PromptLead ? now : moment - PromptLead;
}

void TransmitDrain::Purged(Clock::time_point now)
{
    if (!pending_)
        return;
    wireEnd_ = now;
    burst_ = 0;
    queueEmptyAt_.reset();
    queuePoll_.Reset();
    next_ = now;
}

TransmitDrain::Clock::time_point TransmitDrain::GuardEnd() const
{
    if (kind_ == LineStatusKind::Exact)
        return wireEnd_;
    size_t backlog = network_ ? burst_ : std::min(burst_, usb_ ? UsbChipBacklog : UartFifoBacklog);
    Clock::time_point end = std::max(wireEnd_, *queueEmptyAt_ + Chars(backlog)) + Chars(1);
    return usb_ ? end + UsbAllowance : end;
}

bool TransmitDrain::Finish()
{
    pending_ = false;
    burst_ = 0;
    queueEmptyAt_.reset();
    return true;
}

bool TransmitDrain::Check(Clock::time_point now, DrainProbe& probe)
{
    if (!pending_)
        return true;
    if (now < next_)
        return false;
    int queued = probe.QueuedBytes();
    if (queued > 0) {
        // Still in the kernel: slower than computed, or held.
        queueEmptyAt_.reset();
        // The guard of a device without an exact status counts from the
        // moment the queue runs empty: find it closely.
        next_ = now + queuePoll_.Next(queued, charNs_, kind_ != LineStatusKind::Exact);
        return false;
    }
    queuePoll_.Reset();
    if (!queueEmptyAt_)
        queueEmptyAt_ = now;
    Clock::time_point guard = GuardEnd();
    if (now < guard) {
        next_ = Toward(guard, now);
        return false;
    }
    if (kind_ == LineStatusKind::None)
        return Finish();
    std::optional<bool> empty = probe.TransmitterEmpty();
    if (!empty) {
        // The status cannot be read after all: the guard of a device
        // without one takes over, counted from now.
        kind_ = LineStatusKind::None;
        queueEmptyAt_ = now;
        next_ = GuardEnd();
        return false;
    }
    if (*empty || (kind_ == LineStatusKind::Cached && now >= guard + 2 * statusLatency_))
        return Finish();
    // Prompt, the status is read without pause for a while after the
    // guard; a driver that stays "not empty" longer is asked at leisure.
    next_ = prompt_ && now < guard + PromptLead ? now : now + PollInterval;
    return false;
}

} // namespace win::detail

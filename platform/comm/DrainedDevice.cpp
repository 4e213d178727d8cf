// Writes done when the device's queue has run empty; see DrainedDevice.h.

#include "DrainedDevice.h"

#include <algorithm>

namespace win::detail {

void DrainedDevice::FrontWriteTakenLocked()
{
    writePoll_.Reset();
    writeCheck_ = Clock::now();
}

bool DrainedDevice::FrontWriteDrainingLocked() const
{
    return !writes_.empty() && writes_.front().taken == writes_.front().data.size();
}

void DrainedDevice::CheckWriteDrainedLocked(Clock::time_point now)
{
    while (FrontWriteDrainingLocked() && now >= writeCheck_) {
        int queued = ProbeLocked().QueuedBytes();
        if (queued > 0) {
            writeCheck_ = now + writePoll_.Next(queued, drain_.CharacterNs(), quickQueuePoll_);
            return;
        }
        CompleteFrontWriteLocked();
        if (!writes_.empty())
            TransmitLocked();
    }
}

void DrainedDevice::CheckTransmitterLocked(Clock::time_point now)
{
    drain_.SetPrompt(DtrReleaseArmedLocked());
    if (!drain_.Pending() || !writes_.empty())
        return;
    if (!WantsTransmitterEmptyLocked()) {
        drain_.Forget();
        return;
    }
    if (drain_.Check(now, ProbeLocked()))
        TransmitterEmptyLocked();
}

DrainedDevice::Clock::time_point DrainedDevice::NextDrainCheckLocked() const
{
    Clock::time_point next = Clock::time_point::max();
    if (FrontWriteDrainingLocked())
        next = writeCheck_;
    if (drain_.Pending() && writes_.empty() && WantsTransmitterEmptyLocked())
        next = std::min(next, drain_.NextCheck());
    return next;
}

} // namespace win::detail

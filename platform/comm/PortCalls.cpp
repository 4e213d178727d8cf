// The calls in the program's own words (the bus monitor's journal, the
// device's own TXEN release), passed to the device behind the handle.

#include "PortJournal.h"

#include "CommDevice.h"
#include "LineRelease.h"

namespace journal {

template <class Call>
static bool OnDevice(win::HANDLE handle, Call call)
{
    std::shared_ptr<win::detail::CommDevice> device = win::detail::FindDevice(handle);
    return device && call(*device) == 0;
}

bool Start(win::HANDLE device, size_t capacity)
{
    return OnDevice(device, [capacity](auto& d) { return d.StartJournal(capacity); });
}

bool Stop(win::HANDLE device)
{
    return OnDevice(device, [](auto& d) { return d.StopJournal(); });
}

size_t Take(win::HANDLE device, std::vector<Record>& out)
{
    size_t before = out.size();
    OnDevice(device, [&out](auto& d) { return d.TakeJournal(out); });
    return out.size() - before;
}

int64_t CharacterNs(const win::DCB& dcb)
{
    return win::detail::CharacterTimeNs(dcb);
}

LineCounts Counts(win::HANDLE device)
{
    LineCounts counts;
    if (!OnDevice(device, [&counts](auto& d) { return d.LineCounts(counts); }))
        counts.known = false;
    return counts;
}

Latency GetLatency(win::HANDLE device)
{
    Latency latency;
    OnDevice(device, [&latency](auto& d) { return d.Latency(latency); });
    return latency;
}

} // namespace journal

namespace linerelease {

bool ArmDtr(win::HANDLE device, bool dtr)
{
    return journal::OnDevice(device, [dtr](auto& d) { return d.ArmDtrRelease(dtr); });
}

} // namespace linerelease

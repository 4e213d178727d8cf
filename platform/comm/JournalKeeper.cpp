#include "JournalKeeper.h"

#include <algorithm>

namespace win::detail {

using journal::Kind;
using journal::Record;
using std::chrono::nanoseconds;

void JournalKeeper::Start(size_t capacity)
{
    capacity_ = std::max<size_t>(capacity, 2);
    records_.clear();
    errorsInRead_.clear();
    lost_ = 0;
    readOpen_ = false;
    // A reader that starts late learns the frame and the lines first.
    Clock::time_point now = Clock::now();
    Push(Kind::Settings, now).charNs = charNs_;
    Record& lines = Push(Kind::Lines, now);
    lines.dtr = dtr_;
    lines.rts = rts_;
}

void JournalKeeper::Stop()
{
    capacity_ = 0;
    records_.clear();
    readOpen_ = false;
    errorsInRead_.clear();
}

void JournalKeeper::Take(std::vector<Record>& out)
{
    EndRead();
    if (lost_) {
        // Said where it happened: before the oldest record still kept.
        Record lost;
        lost.kind = Kind::Lost;
        lost.at = records_.empty() ? Clock::now() : records_.front().at;
        lost.count = lost_;
        out.push_back(std::move(lost));
        lost_ = 0;
    }
    for (Record& record : records_)
        out.push_back(std::move(record));
    records_.clear();
    readOpen_ = false;
}

void JournalKeeper::EndRead()
{
    if (!readOpen_)
        return;
    readOpen_ = false;
    if (errorsInRead_.empty())
        return;
    // Copied: pushing may drop the oldest record, the read itself included.
    const Record read = records_.back();
    for (const ErrorInRead& error : errorsInRead_)
        Push(Kind::LineError, journal::ByteStart(read, error.index)).errors = error.errors;
    errorsInRead_.clear();
}

Record& JournalKeeper::Push(Kind kind, Clock::time_point at)
{
    if (records_.size() >= capacity_) {
        records_.pop_front();
        ++lost_;
    }
    Record& record = records_.emplace_back();
    record.kind = kind;
    record.at = at;
    return record;
}

void JournalKeeper::Received(const uint8_t* data, size_t count, Clock::time_point readAt)
{
    if (!Active() || count == 0)
        return;
    if (!readOpen_ || records_.empty() || records_.back().kind != Kind::Received) {
        Record& record = Push(Kind::Received, readAt);
        record.charNs = charNs_;
        readOpen_ = true;
    }
    Record& record = records_.back();
    record.bytes.append(reinterpret_cast<const char*>(data), count);
    // The last byte's stop bit ended about when the read returned; the
    // others came back to back before it.
    record.at = readAt - nanoseconds(charNs_ * static_cast<int64_t>(record.bytes.size()));
}

void JournalKeeper::Sent(const uint8_t* data, size_t count, Clock::time_point at)
{
    // The wire end is worked out even while nobody keeps the journal, so
    // that a reader who starts in the middle of a burst gets it right.
    wireEnd_ = std::max(wireEnd_, at) + nanoseconds(charNs_ * static_cast<int64_t>(count));
    if (!Active())
        return;
    EndRead();
    Record& record = Push(Kind::Sent, at);
    record.bytes.assign(reinterpret_cast<const char*>(data), count);
    record.charNs = charNs_;
    record.wireEnd = wireEnd_;
}

void JournalKeeper::TransmitterEmpty(Clock::time_point at)
{
    if (!Active())
        return;
    EndRead();
    Push(Kind::TransmitterEmpty, at);
}

void JournalKeeper::Lines(bool dtr, bool rts, Clock::time_point at)
{
    if (dtr == dtr_ && rts == rts_)
        return;
    dtr_ = dtr;
    rts_ = rts;
    if (!Active())
        return;
    EndRead();
    Record& record = Push(Kind::Lines, at);
    record.dtr = dtr;
    record.rts = rts;
}

void JournalKeeper::LineError(uint32_t errors, Clock::time_point at)
{
    counts_.frame += (errors & CE_FRAME) ? 1 : 0;
    counts_.parity += (errors & CE_RXPARITY) ? 1 : 0;
    counts_.overrun += (errors & CE_OVERRUN) ? 1 : 0;
    counts_.breaks += (errors & CE_BREAK) ? 1 : 0;
    if (!Active())
        return;
    if (readOpen_ && !records_.empty()) {
        errorsInRead_.push_back({records_.back().bytes.size(), errors});
        return;
    }
    Push(Kind::LineError, at).errors = errors;
}

void JournalKeeper::Settings(int64_t charNs, Clock::time_point at)
{
    if (charNs == charNs_)
        return;
    charNs_ = charNs;
    if (!Active())
        return;
    EndRead();
    Push(Kind::Settings, at).charNs = charNs;
}

} // namespace win::detail

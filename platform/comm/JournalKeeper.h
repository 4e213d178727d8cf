#pragma once
// The journal of one device (PortJournal.h), kept by the driver's upper
// half under the device's lock. Bytes that one read of the device returns
// are one record even when the device hands them on in pieces (a tty's
// error marks split a read); the device says where a read ends.

#include "PortJournal.h"

#include <deque>
#include <vector>

namespace win::detail {

class JournalKeeper {
public:
    using Clock = journal::Clock;

    bool Active() const { return capacity_ != 0; }
    void Start(size_t capacity);
    void Stop();
    void Take(std::vector<journal::Record>& out);

    // Bytes as they came off the device at `readAt`.
    void Received(const uint8_t* data, size_t count, Clock::time_point readAt);
    // The read that the bytes since the last call came from is over.
    void EndRead();
    void Sent(const uint8_t* data, size_t count, Clock::time_point at);
    void TransmitterEmpty(Clock::time_point at);
    // The lines as they are now; a record only when one moved.
    void Lines(bool dtr, bool rts, Clock::time_point at);
    void LineError(uint32_t errors, Clock::time_point at);
    void Settings(int64_t charNs, Clock::time_point at);

    // Counted whether or not the journal is kept: the line errors since open.
    const journal::LineCounts& Counts() const { return counts_; }

private:
    journal::Record& Push(journal::Kind kind, Clock::time_point at);
    struct ErrorInRead {
        size_t index; // the byte it came with
        uint32_t errors;
    };

    size_t capacity_ = 0;
    std::deque<journal::Record> records_;
    uint64_t lost_ = 0;
    bool readOpen_ = false;
    // Errors of the open read wait for its end: only then are its bytes'
    // times, and so theirs, known.
    std::vector<ErrorInRead> errorsInRead_;
    int64_t charNs_ = 0;
    Clock::time_point wireEnd_{};
    bool dtr_ = false;
    bool rts_ = false;
    journal::LineCounts counts_{true};
};

} // namespace win::detail

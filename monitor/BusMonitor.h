#pragma once
// The bus monitor without its window: takes the port journal's records and
// the window's word on opening and closing the port, and keeps the rows.
//
// The window calls, on its timer: Take the journal's records, Feed them,
// then Tick(now) so that a frame shows as soon as the line has been idle
// for the gap, without waiting for the next byte.
//
// Row order: a frame's row goes in when the frame ends. Events that come
// while a received frame is still open (a line error inside it, TXEN off
// while an answer comes) go in right after it, so the rows stay in the
// order of their first moments. The start of our transmission (TXEN on, or
// the write) ends a received frame first.
//
// Reply time: for the first received frame after one of our writes that is
// not our echo, from TXEN off (when automatic TXEN switching is on and its
// record came after the write) or else from the computed end of our last
// stop bit, to the frame's first byte. It can be negative: an answer that
// started while our transmitter still held the bus.

#include "FrameCutter.h"
#include "PortJournal.h"
#include "RowStore.h"

#include <string>
#include <string_view>
#include <vector>

namespace monitor {

struct MonitorConfig {
    bool modbus = false;         // protocol: none or Modbus RTU
    int64_t userGapNs = 0;       // 0: 3.5 characters, or 1.75 ms above 19200 bit/s
    bool txenInvert = false;     // TXEN is on while DTR is off
    bool txenAuto = false;       // TXEN goes off by itself at transmitter empty
    // How long a frame is kept open past its gap for bytes that are on the
    // wire but not yet read off the device (a USB adapter's latency timer).
    int64_t receiveHoldNs = 2000000;
};

class BusMonitor {
public:
    using Clock = journal::Clock;

    explicit BusMonitor(size_t capacity = RowStore::kDefaultCapacity);

    void Configure(const MonitorConfig& config);
    const MonitorConfig& Config() const { return config_; }

    // `settings` as the user reads it ("COM3 9600 8N1"); `charNs` the time
    // of one character with start, parity and stop bits; 0 bit rate =
    // unknown.
    void PortOpened(Clock::time_point at, std::string_view settings, int64_t charNs, uint32_t bitRate);
    void SettingsChanged(Clock::time_point at, std::string_view settings, int64_t charNs, uint32_t bitRate);
    void PortClosed(Clock::time_point at);

    void Feed(const journal::Record& record);
    void Feed(const std::vector<journal::Record>& records);
    void Tick(Clock::time_point now);

    const RowStore& Rows() const { return store_; }
    RowStore& Rows() { return store_; }
    const Summary& GetSummary() const { return store_.GetSummary(); }

private:
    void OnFrame(CutFrame&& frame);
    void Event(EventKind kind, int64_t atNs, uint32_t detail = 0, std::string_view text = {});
    void Sent(const journal::Record& record);
    void Lines(const journal::Record& record);
    void FlushFrame();

    MonitorConfig config_;
    RowStore store_;
    FrameCutter cutter_;
    int64_t charNs_ = 0;

    struct Pending {
        Row row;
        std::string text;
    };
    std::vector<Pending> pending_; // events held behind the open frame

    int64_t lastFrameEndNs_ = kNoTime;
    bool txenKnown_ = false;
    bool txen_ = false;
    int64_t txenOnNs_ = kNoTime;

    // The last write, for its TX row's later moments and the reply time.
    bool haveTx_ = false;
    uint64_t lastTxSeq_ = 0;
    bool awaitingReply_ = false;
    int64_t replyFromNs_ = 0;
};

} // namespace monitor

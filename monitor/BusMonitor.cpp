#include "BusMonitor.h"

#include "Modbus.h"

#include <algorithm>

namespace monitor {

namespace {

int64_t Ns(journal::Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

} // namespace

BusMonitor::BusMonitor(size_t capacity)
    : store_(capacity), cutter_([this](CutFrame&& frame) { OnFrame(std::move(frame)); })
{
}

void BusMonitor::Configure(const MonitorConfig& config)
{
    config_ = config;
    cutter_.SetUserGapNs(config.userGapNs);
    cutter_.SetReceiveHoldNs(config.receiveHoldNs);
}

void BusMonitor::PortOpened(Clock::time_point at, std::string_view settings, int64_t charNs, uint32_t bitRate)
{
    FlushFrame();
    charNs_ = charNs;
    cutter_.SetBitRate(bitRate);
    txenKnown_ = false;
    txenOnNs_ = kNoTime;
    haveTx_ = false;
    awaitingReply_ = false;
    // The idle time before the first frame on a new port means nothing.
    lastFrameEndNs_ = kNoTime;
    Event(EventKind::PortOpened, Ns(at), 0, settings);
}

void BusMonitor::SettingsChanged(Clock::time_point at, std::string_view settings, int64_t charNs, uint32_t bitRate)
{
    charNs_ = charNs;
    cutter_.SetBitRate(bitRate);
    Event(EventKind::Settings, Ns(at), 0, settings);
}

void BusMonitor::PortClosed(Clock::time_point at)
{
    FlushFrame();
    awaitingReply_ = false;
    Event(EventKind::PortClosed, Ns(at));
}

void BusMonitor::Feed(const std::vector<journal::Record>& records)
{
    for (const journal::Record& record : records)
        Feed(record);
}

void BusMonitor::Feed(const journal::Record& record)
{
    const int64_t at = Ns(record.at);
    switch (record.kind) {
    case journal::Kind::Received:
        cutter_.Received(record);
        break;
    case journal::Kind::Sent:
        Sent(record);
        break;
    case journal::Kind::TransmitterEmpty:
        if (haveTx_ && store_.Has(lastTxSeq_) && store_.At(lastTxSeq_).txEmptyNs == kNoTime)
            store_.At(lastTxSeq_).txEmptyNs = at;
        break;
    case journal::Kind::Lines:
        Lines(record);
        break;
    case journal::Kind::LineError:
        ++store_.MutableSummary().lineErrors;
        Event(EventKind::LineError, at, record.errors);
        break;
    case journal::Kind::Settings:
        // Settings the window did not announce (or not yet): the character
        // time is all the record knows, so the rate is guessed from it.
        if (record.charNs != charNs_) {
            charNs_ = record.charNs;
            cutter_.SetBitRate(0);
            Event(EventKind::Settings, at);
        }
        break;
    case journal::Kind::Lost:
        // Bytes may be missing: the open frame cannot be trusted to go on.
        FlushFrame();
        store_.MutableSummary().lost += record.count;
        Event(EventKind::Lost, at, static_cast<uint32_t>(std::min<uint64_t>(record.count, UINT32_MAX)));
        break;
    }
}

void BusMonitor::Sent(const journal::Record& record)
{
    const int64_t at = Ns(record.at);
    const int64_t wireEnd = Ns(record.wireEnd);
    const int64_t charNs = record.charNs > 0 ? record.charNs : charNs_;
    const int64_t windowStart = (txenKnown_ && txen_ && txenOnNs_ != kNoTime) ? std::min(txenOnNs_, at) : at;
    cutter_.Transmitting(windowStart, wireEnd, charNs, record.bytes);

    Row row;
    row.kind = RowKind::Tx;
    row.startNs = at;
    row.endNs = wireEnd;
    row.gapNs = lastFrameEndNs_ == kNoTime ? kNoTime : at - lastFrameEndNs_;
    if (config_.modbus)
        row.flags |= modbus::Decode(record.bytes).crcOk ? FlagCrcOk : FlagCrcBad;
    lastFrameEndNs_ = std::max(lastFrameEndNs_, wireEnd);
    Summary& summary = store_.MutableSummary();
    ++summary.frames;
    ++summary.txFrames;
    summary.bytes += record.bytes.size();
    lastTxSeq_ = store_.Push(row, record.bytes);
    haveTx_ = true;
    awaitingReply_ = true;
    replyFromNs_ = wireEnd;
}

void BusMonitor::Lines(const journal::Record& record)
{
    const bool txen = record.dtr != config_.txenInvert;
    if (txenKnown_ && txen == txen_)
        return;
    const int64_t at = Ns(record.at);
    txenKnown_ = true;
    txen_ = txen;
    if (txen) {
        // We are about to drive the bus: whatever was coming in has ended.
        FlushFrame();
        txenOnNs_ = at;
        Event(EventKind::TxenOn, at);
        return;
    }
    txenOnNs_ = kNoTime;
    if (haveTx_ && store_.Has(lastTxSeq_) && store_.At(lastTxSeq_).txenOffNs == kNoTime)
        store_.At(lastTxSeq_).txenOffNs = at;
    if (config_.txenAuto && awaitingReply_)
        replyFromNs_ = at;
    Event(EventKind::TxenOff, at);
}

void BusMonitor::Tick(Clock::time_point now)
{
    cutter_.Tick(Ns(now), config_.receiveHoldNs);
}

void BusMonitor::FlushFrame()
{
    cutter_.Flush();
}

void BusMonitor::OnFrame(CutFrame&& frame)
{
    Row row;
    row.kind = RowKind::Rx;
    row.startNs = frame.startNs;
    row.endNs = frame.endNs;
    row.gapNs = lastFrameEndNs_ == kNoTime ? kNoTime : frame.startNs - lastFrameEndNs_;
    lastFrameEndNs_ = std::max(lastFrameEndNs_, frame.endNs);
    Summary& summary = store_.MutableSummary();
    if (frame.echoPart) {
        if (frame.collision) {
            row.flags |= FlagCollision;
            row.detail = frame.collisionAt;
            ++summary.collisions;
        } else {
            row.flags |= FlagEcho;
            ++summary.echoFrames;
        }
    } else {
        ++summary.frames;
        ++summary.rxFrames;
        summary.bytes += frame.bytes.size();
        if (awaitingReply_) {
            row.replyNs = frame.startNs - replyFromNs_;
            summary.reply.Add(row.replyNs);
            awaitingReply_ = false;
        }
    }
    if (config_.modbus) {
        const bool ok = modbus::Decode(frame.bytes).crcOk;
        row.flags |= ok ? FlagCrcOk : FlagCrcBad;
        if (!ok && !frame.echoPart)
            ++summary.crcErrors;
    }
    store_.Push(row, frame.bytes);
    for (Pending& pending : pending_)
        store_.Push(pending.row, pending.text);
    pending_.clear();
}

void BusMonitor::Event(EventKind kind, int64_t atNs, uint32_t detail, std::string_view text)
{
    Row row;
    row.kind = RowKind::Event;
    row.event = kind;
    row.startNs = row.endNs = atNs;
    row.detail = detail;
    if (cutter_.FrameOpen())
        pending_.push_back(Pending{row, std::string(text)});
    else
        store_.Push(row, text);
}

} // namespace monitor

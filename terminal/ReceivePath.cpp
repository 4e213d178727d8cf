// Received bytes reach the receive pane in batches: one line per batch,
// headed by its byte count, at most one per 50 ms quiet period and at least
// one every 200 ms while data flows. Each batch also goes to the Interlink
// peers as an "RCVD" notification, raw.

#include "Unit1.h"

#include "Capture.h"
#include "DecodeText.h"
#include "Interlink.h"
#include "InterlinkFrames.h"

#include <algorithm>
#include <string_view>

namespace {

// A timer's enabled state: setting it to what it already is does nothing,
// so a running deadline keeps counting from its first start.
void SetTimerEnabled(QTimer* timer, bool enabled)
{
    if (timer->isActive() == enabled)
        return;
    if (enabled)
        timer->start();
    else
        timer->stop();
}

} // namespace

void TForm1::ComRxChar(rtl::TObject*, int32_t)
{
    SetTimerEnabled(TimerUpdateMemoIn, false);
    std::string arrived = Com->ReadString();
    // The capture's time of these bytes: when they came off the device.
    const auto readAt = std::chrono::system_clock::now();
    if (!arrived.empty())
        CaptureRecord(terminal::TCaptureKind::RX, arrived, readAt);
    PendingRxText += arrived;
    // Off and on again: the quiet time starts over with every arrival.
    SetTimerEnabled(TimerUpdateMemoIn, true);
    SetTimerEnabled(TimerUpdateFinally, true);
    // Far faster than any serial rate (a pty, a USB bridge): hand the data
    // on in bounded batches so the window keeps answering. At 256000 bit/s
    // a 200 ms batch is about 5 kB, so serial traffic never gets here.
    if (PendingRxText.size() >= kMaxPendingRx)
        TimerUpdateMemoInTimer(TimerUpdateMemoIn);
}

namespace {

// One receive-pane line: the raw byte count, then the bytes as shown.
void AppendPaneLine(std::string& out, std::string_view bytes, bool decode)
{
    out += std::to_string(bytes.size());
    out += " Byte empfangen:";
    if (decode) {
        out += terminal::DecodeText(std::string(bytes));
        return;
    }
    // The pane cannot hold a zero byte.
    out.reserve(out.size() + bytes.size());
    for (char c : bytes) {
        if (c == '\0')
            out += "<0>";
        else
            out.push_back(c);
    }
}

} // namespace

void TForm1::TimerUpdateMemoInTimer(QObject*)
{
    SetTimerEnabled(TimerUpdateMemoIn, false);
    SetTimerEnabled(TimerUpdateFinally, false);

    // A batch is one line. Only data arriving far faster than a serial line
    // makes batches longer than kMaxRxLine; they are shown as several lines,
    // inserted in one go so the pane lays out only what is in view.
    const std::string_view pending(PendingRxText);
    const bool decode = CheckDecode->isChecked();
    std::string text;
    size_t offset = 0;
    do {
        if (offset > 0)
            text += "\r\n";
        const size_t take = std::min(kMaxRxLine, pending.size() - offset);
        AppendPaneLine(text, pending.substr(offset, take), decode);
        offset += take;
    } while (offset < pending.size());
    MemoIn->AddLine(text);

    // The batch is shown: a peer that cannot take the notification must not
    // keep it pending, to be shown and announced again with the next one.
    terminal::TFirstFailure failures;
    for (const std::string& payload : terminal::MakeNotificationPayloads("RCVD", PendingRxText))
        failures.Run([&] { ILSend(payload); });
    PendingRxText.clear();
    failures.Raise();
}

void TForm1::TimerUpdateFinallyTimer(QObject* Sender)
{
    TimerUpdateMemoInTimer(Sender);
}

void TForm1::ILSend(const std::string& Payload)
{
    SendToPeers(terminal::MakeInterlinkFrame(Payload));
}

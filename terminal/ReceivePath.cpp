// Received bytes reach the receive pane in batches: one line per batch,
// headed by its byte count, at most one per 50 ms quiet period and at least
// one every 200 ms while data flows. Each batch also goes to the Interlink
// peers as an "RCVD" notification, raw.

#include "Unit1.h"

#include "DecodeText.h"
#include "Interlink.h"
#include "InterlinkFrames.h"

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
    PendingRxText += Com->ReadString();
    // Off and on again: the quiet time starts over with every arrival.
    SetTimerEnabled(TimerUpdateMemoIn, true);
    SetTimerEnabled(TimerUpdateFinally, true);
}

void TForm1::TimerUpdateMemoInTimer(QObject*)
{
    SetTimerEnabled(TimerUpdateMemoIn, false);
    SetTimerEnabled(TimerUpdateFinally, false);

    std::string line = std::to_string(PendingRxText.size()) + " Byte empfangen:";
    if (CheckDecode->isChecked()) {
        line += terminal::DecodeText(PendingRxText);
    } else {
        // The pane cannot hold a zero byte.
        line.reserve(line.size() + PendingRxText.size());
        for (char c : PendingRxText) {
            if (c == '\0')
                line += "<0>";
            else
                line.push_back(c);
        }
    }
    MemoIn->AddLine(line);

    for (const std::string& payload : terminal::MakeNotificationPayloads("RCVD", PendingRxText))
        ILSend(payload);
    PendingRxText.clear();
}

void TForm1::TimerUpdateFinallyTimer(QObject* Sender)
{
    TimerUpdateMemoInTimer(Sender);
}

void TForm1::ILSend(const std::string& Payload)
{
    SendToPeers(terminal::MakeInterlinkFrame(Payload));
}

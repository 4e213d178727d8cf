// A line typed in the entry field is sent with its escapes expanded, in one
// write, then logged and announced to the Interlink peers.

#include "Unit1.h"

#include "Capture.h"
#include "CodePage.h"
#include "InterlinkFrames.h"
#include "SendEscapes.h"

void TForm1::EditSendKeyPress(QObject*, char& Key)
{
    if (Key == 13) {
        CmdSendClick(EditSend);
        Key = 0;
    }
}

void TForm1::CmdSendClick(QObject*)
{
    std::string text = codepage::ToBytes(EditSend->text());
    if (CheckCRNL->isChecked())
        text += "\r\n";
    // TXEN to transmit first; a refusal here stops the send. A send of no
    // bytes leaves it alone: no transmit-empty event would ever switch it
    // back, and the driver would hold the bus for good.
    const bool keyed = CheckSwitchTXENOnTXEmpty->isChecked() && !terminal::ExpandSendEscapes(text).empty();
    if (keyed)
        SetChecked(CheckTXEN, true);
    SendText(text, keyed);
}

void TForm1::SendText(const std::string& Text, bool Keyed)
{
    SetChecked(CheckBreak, false);
    if (!Com->PortIsOpen())
        CmdOpenClick(CmdOpen);
    const std::string wire = terminal::ExpandSendEscapes(Text);
    // The bus is let go by the device the moment our last stop bit has
    // left, however busy this window is then; the transmit-empty handler
    // only brings the box up to date (its own release finds the line
    // already there).
    // Receive is DTR released, or asserted with the polarity inverted.
    if (Keyed && CheckTXEN->isChecked())
        Com->ReleaseDtrAfterSend(CheckInvTXEN->isChecked());
    if (!Com->WriteString(wire)) {
        LogOut("Fehler beim Senden");
        return;
    }
    CaptureRecord(terminal::TCaptureKind::TX, wire);
    // The bytes are on the wire: a peer that cannot take the notification
    // must not keep them out of the log.
    terminal::TFirstFailure failures;
    for (const std::string& payload : terminal::MakeNotificationPayloads("SENT", wire))
        failures.Run([&] { ILSend(payload); });
    // The TX record above is this line's record in the capture.
    ShowInLog(wire);
    failures.Raise();
}

// TXEN (carried on DTR), RTS, break and the XON/XOFF state, set by hand or
// automatically around user sends, and the port's transmit-empty and break
// events.

#include "Unit1.h"

#include "Capture.h"

void TForm1::CheckTXENClick(QObject*)
{
    // DTR is asserted exactly when TXEN and the invert box differ.
    Com->SetDtrLine(CheckTXEN->isChecked() != CheckInvTXEN->isChecked());
    CheckTXEN->setText(CheckTXEN->isChecked() ? QStringLiteral("&TXEN (Senden)")
                                              : QStringLiteral("&TXEN (Empfangen)"));
    CaptureRecord(terminal::TCaptureKind::EV, CheckTXEN->isChecked() ? "TXEN an" : "TXEN aus");
}

void TForm1::CheckInvTXENClick(QObject*)
{
    Com->SetDtrLine(CheckTXEN->isChecked() != CheckInvTXEN->isChecked());
}

void TForm1::SwitchTXENExecute(QObject*)
{
    SetChecked(CheckTXEN, !CheckTXEN->isChecked());
}

void TForm1::CheckRTSClick(QObject*)
{
    Com->SetRtsLine(CheckRTS->isChecked());
}

void TForm1::CheckBreakClick(QObject*)
{
    Com->SetBreakLine(CheckBreak->isChecked());
    ReOpenCom();
}

void TForm1::CheckXonClick(QObject*)
{
    xonHoldAsked_ = !CheckXon->isChecked();
    Com->SetXonState(CheckXon->isChecked());
}

void TForm1::ComTxEmpty(rtl::TObject*)
{
    if (CheckTXEmpty->isChecked())
        LogOut("TXempty / Sendebuffer leer");
    if (CheckSwitchTXENOnTXEmpty->isChecked())
        SetChecked(CheckTXEN, false);
}

void TForm1::ComBreak(rtl::TObject*)
{
    CaptureRecord(terminal::TCaptureKind::EV, "Break-Event");
    MemoIn->AddLine("Break-Event");
}

// Port configuration: the port list, the line-setting lists, the open and
// close buttons and the log lines of the port's open and close events.

#include "Unit1.h"

#include "Busmonitor.h"
#include "Capture.h"
#include "CodePage.h"
#include "PortReasons.h"

#include <utility>

namespace {

// List position -> property value for the sorted lists, whose positions
// follow the alphabetical order of their texts.
constexpr TVaParity kParityByPosition[] = {paEven, paMark, paNone, paOdd, paSpace};
constexpr TVaFlowControl kFlowByPosition[] = {fcDtrDsr, fcNone, fcRtsCts, fcXonXoff};

template <class T, size_t N>
bool Lookup(const T (&table)[N], int position, T& value)
{
    if (position < 0 || position >= static_cast<int>(N))
        return false;
    value = table[position];
    return true;
}

template <class T>
bool InRange(int position, T last, T& value)
{
    if (position < 0 || position > static_cast<int>(last))
        return false;
    value = static_cast<T>(position);
    return true;
}

} // namespace

template <class F>
void TForm1::TellingWhyPortFails(F&& step)
{
    try {
        step();
    } catch (const rtl::Exception& e) {
        LogPortFailure(e.Message);
        throw;
    }
}

void TForm1::LogPortFailure(const std::string& message)
{
    // The message box keeps the port object's words; the log says why, in
    // the user's terms, where the platform could find out.
    std::string reason;
    if (message.find("Error writing dcb") != std::string::npos)
        reason = terminal::RefusedSettingText(commreasons::LastRefusedSetting());
    else if (message.rfind("Can't open device", 0) == 0 || message.rfind("Invalid port number", 0) == 0)
        reason = terminal::OpenFailureText(commreasons::LastOpenFailure());
    if (!reason.empty())
        LogOut("COM" + std::to_string(Com->PortNum()) + ": " + reason);
}

template <class F>
void TForm1::Reopen(F&& betweenCloseAndOpen)
{
    // The close event puts the buttons in the Closed state, where a failure
    // in between or in the open leaves them.
    Com->ClosePort();
    betweenCloseAndOpen();
    TellingWhyPortFails([this] { Com->OpenPort(); });
    CmdOpen->setEnabled(false);
    CmdClose->setEnabled(true);
}

void TForm1::ComboPortChange(QObject*)
{
    // COM numbers of any length are read whole ("COM12" is port 12).
    auto portNumber = [this] {
        std::string text = ChosenPortName();
        return rtl::StrToInt(text.size() > 3 ? text.substr(3) : std::string());
    };
    // Another pick ends a wait for the device that went away.
    EndWaiting();
    auto takePort = [&] {
        const int32_t number = portNumber();
        // Another port: what was told about the last one no longer holds.
        if (number != Com->PortNum())
            noControlLinesToldFor_.clear();
        Com->SetPortNum(number);
    };
    if (Com->PortIsOpen())
        Reopen(takePort);
    else
        takePort();
}

void TForm1::ComboBaudChange(QObject*)
{
    TVaBaudrate value;
    if (InRange(ComboBaud->currentIndex(), br256000, value))
        TellingWhyPortFails([&] { Com->SetBaudrate(value); });
    ReOpenCom();
}

void TForm1::ComboParityChange(QObject*)
{
    TVaParity value;
    if (Lookup(kParityByPosition, ComboParity->currentIndex(), value))
        TellingWhyPortFails([&] { Com->SetParity(value); });
    ReOpenCom();
}

void TForm1::ComboStopbitsChange(QObject*)
{
    TVaStopbits value;
    if (InRange(ComboStopbits->currentIndex(), sb2, value))
        TellingWhyPortFails([&] { Com->SetStopbits(value); });
    ReOpenCom();
}

void TForm1::ComboDatabitsChange(QObject*)
{
    TVaDatabits value;
    if (InRange(ComboDatabits->currentIndex(), db8, value))
        TellingWhyPortFails([&] { Com->SetDatabits(value); });
    ReOpenCom();
}

void TForm1::ComboFCChange(QObject*)
{
    TVaFlowControl value;
    if (Lookup(kFlowByPosition, ComboFC->currentIndex(), value))
        TellingWhyPortFails([&] { Com->SetFlowControl(value); });
    ReOpenCom();
}

void TForm1::ComboDTRControlChange(QObject*)
{
    TVaDTRControl value;
    if (InRange(ComboDTRControl->currentIndex(), dtrHandshake, value))
        TellingWhyPortFails([&] { Com->SetDTRControl(value); });
    ReOpenCom();
}

void TForm1::ComboRTSControlChange(QObject*)
{
    int position = ComboRTSControl->currentIndex();
    TVaRTSControl value;
    if (InRange(position, rtsToggle, value))
        TellingWhyPortFails([&] { Com->SetRTSControl(value); });
    // With RTS under handshake the line cannot be set by hand.
    CheckRTS->setEnabled(position != 2);
    ReOpenCom();
}

void TForm1::ReOpenCom()
{
    if (Com->PortIsOpen())
        Reopen([] {});
}

void TForm1::CmdOpenClick(QObject*)
{
    CmdOpen->setEnabled(false);
    try {
        TellingWhyPortFails([this] { Com->OpenPort(); });
    } catch (...) {
        CmdOpen->setEnabled(true);
        throw;
    }
    CmdClose->setEnabled(true);
}

void TForm1::CmdCloseClick(QObject*)
{
    if (std::exchange(waiting_, false)) {
        EndWaiting();
        LogOut("COM" + std::to_string(opened_.port) + ": Warten beendet");
    }
    CmdOpen->setEnabled(true);
    Com->ClosePort();
    CmdClose->setEnabled(false);
}

void TForm1::ComOpen(rtl::TObject*)
{
    NotePortOpened();
    // The capture file belongs to the port: started with the first open,
    // and a new one for another port.
    EnsureCaptureFile();
    if (busmonitor_)
        busmonitor_->Attach(MonitoredPort());
    const std::string opened = "Port " + std::to_string(Com->PortNum()) + " offen.";
    CaptureRecord(terminal::TCaptureKind::EV, opened + " (" + PortSettingsText() + ")");
    ShowInLog(opened);
    // A port opens with its output released; a hold the user asked for
    // with the Xon box carries over into the reopened port.
    if (xonHoldAsked_)
        Com->SetXonState(false);
    // Without modem lines TXEN (on DTR) and RTS change nothing, which a
    // technician would otherwise only find out on the bus. Said once per
    // port: a settings change or a break reopens the same port each time.
    const std::string device = Com->ExpandDeviceName();
    if (device != noControlLinesToldFor_ && !Com->ControlLinesAvailable()) {
        noControlLinesToldFor_ = device;
        LogOut("COM" + std::to_string(Com->PortNum()) + ": keine Steuerleitungen (DTR/RTS ohne Wirkung)");
    }
}

void TForm1::ComClose(rtl::TObject*)
{
    // Whoever closed the port (a button, a reopen, the close of the window,
    // a device that vanished), the buttons show it closed.
    CmdOpen->setEnabled(true);
    CmdClose->setEnabled(false);
    if (busmonitor_)
        busmonitor_->Detach();
    LogOut("Port geschlossen");
}

// The bus monitor as the main window drives it: the pane menu item and F2,
// the port it watches, the TXEN boxes it reads TXEN by, and its subkey.

#include "Unit1.h"

#include "Busmonitor.h"
#include "MyRegistry.h"

namespace {

const char* const kBusmonitorKey = "Software\\Brenlow\\Tarrowin\\Busmonitor";

// One character's time on the line: start bit, data bits, parity, stop bits.
int64_t CharacterNs(const TVaComm& com)
{
    const int64_t halfBits = 2 * (1 + 4 + static_cast<int>(com.Databits())) + (com.Parity() != paNone ? 2 : 0) +
                             (com.Stopbits() == sb1 ? 2 : com.Stopbits() == sb15 ? 3 : 4);
    return halfBits * 500'000'000LL / VaBaudrateValue(com.Baudrate());
}

} // namespace

terminal::TMonitoredPort TForm1::MonitoredPort() const
{
    terminal::TMonitoredPort port;
    port.device = Com->DeviceHandle();
    port.settings = PortSettingsText();
    port.charNs = CharacterNs(*Com);
    port.bitRate = VaBaudrateValue(Com->Baudrate());
    return port;
}

void TForm1::PopBusmonitorClick(QObject*)
{
    if (!busmonitor_) {
        busmonitor_ = new terminal::TBusmonitor(this);
        TMyRegistry Reg;
        Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
        if (Reg.OpenKey(kBusmonitorKey, false))
            busmonitor_->Restore(Reg);
        TellBusmonitorTxen();
        if (Com->PortIsOpen())
            busmonitor_->Attach(MonitoredPort());
    }
    busmonitor_->show();
    busmonitor_->raise();
    busmonitor_->activateWindow();
}

void TForm1::TellBusmonitorTxen()
{
    if (busmonitor_)
        busmonitor_->SetTxen(CheckSwitchTXENOnTXEmpty->isChecked(), CheckInvTXEN->isChecked());
}

void TForm1::SaveBusmonitorSettings()
{
    // A user who never opened the monitor gets no subkey.
    if (!busmonitor_)
        return;
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    Reg.OpenKey(kBusmonitorKey, true);
    busmonitor_->Save(Reg);
}

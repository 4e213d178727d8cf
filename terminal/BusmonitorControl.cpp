// The bus monitor as the main window drives it: the pane menu item and F2,
// the port it watches, the TXEN boxes it reads TXEN by, and its subkey.

#include "Unit1.h"

#include "Busmonitor.h"
#include "MyRegistry.h"
#include "PortJournal.h"

namespace {

const char* const kBusmonitorKey = "Software\\Brenlow\\Tarrowin\\Busmonitor";

} // namespace

terminal::TMonitoredPort TForm1::MonitoredPort() const
{
    terminal::TMonitoredPort port;
    port.device = Com->DeviceHandle();
    port.settings = PortSettingsText();
    win::DCB dcb;
    Com->FillDcb(dcb);
    port.charNs = journal::CharacterNs(dcb);
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

// The settings store: eight list positions, ten flags and three texts under
// HKEY_CURRENT_USER\Software\Brenlow\Tarrowin\, read at start-up and written
// at shut-down, always in this order.

#include "Unit1.h"

#include "CodePage.h"
#include "MyRegistry.h"

#include <exception>
#include <utility>

namespace {

const char* const kSettingsKey = "Software\\Brenlow\\Tarrowin\\";
// The panes' own settings, beside the values above: how much text each pane
// keeps (MiB) before its oldest lines leave it.
const char* const kPanesKey = "Software\\Brenlow\\Tarrowin\\Panes\\";
const char* const kCapacityName = "CapacityMiB";
constexpr int32_t kDefaultCapacityMiB = static_cast<int32_t>(terminal::TPaneText::kDefaultCapacity >> 20);

struct ListSetting {
    const char* name;
    QComboBox* Ui::TForm1::*list;
    int32_t defaultPosition;
    void (TForm1::*change)(QObject*); // run after restoring; none for the port list
};

const ListSetting kLists[] = {
    {"PortNumIndex", &Ui::TForm1::ComboPort, 0, nullptr},
    {"BaudRateIndex", &Ui::TForm1::ComboBaud, 1, &TForm1::ComboBaudChange},
    {"FlowControlIndex", &Ui::TForm1::ComboFC, 2, &TForm1::ComboFCChange},
    {"DTRControlIndex", &Ui::TForm1::ComboDTRControl, 0, &TForm1::ComboDTRControlChange},
    {"RTSControlIndex", &Ui::TForm1::ComboRTSControl, 1, &TForm1::ComboRTSControlChange},
    {"ParityIndex", &Ui::TForm1::ComboParity, 2, &TForm1::ComboParityChange},
    {"StopbitsIndex", &Ui::TForm1::ComboStopbits, 0, &TForm1::ComboStopbitsChange},
    {"DatabitsIndex", &Ui::TForm1::ComboDatabits, 4, &TForm1::ComboDatabitsChange},
};

struct FlagSetting {
    const char* name;
    QCheckBox* Ui::TForm1::*box;
    const char* defaultText;
};

const FlagSetting kFlags[] = {
    {"TXEN", &Ui::TForm1::CheckTXEN, "true"},
    {"send #13#10", &Ui::TForm1::CheckCRNL, "true"},
    {"save memos", &Ui::TForm1::CheckSaveMemo, "true"},
    {"decode asc<32", &Ui::TForm1::CheckDecode, "true"},
    {"Invert TXEN", &Ui::TForm1::CheckInvTXEN, "true"},
    {"RTS", &Ui::TForm1::CheckRTS, "false"},
    {"Xon", &Ui::TForm1::CheckXon, "false"},
    {"Break", &Ui::TForm1::CheckBreak, "false"},
    {"TXempty", &Ui::TForm1::CheckTXEmpty, "true"},
    {"AutoSwitch TXEN", &Ui::TForm1::CheckSwitchTXENOnTXEmpty, "true"},
};

// A stored position outside the list leaves it without a selection.
void SelectPosition(QComboBox* list, int32_t position)
{
    list->setCurrentIndex(position >= 0 && position < list->count() ? position : -1);
}

} // namespace

void TForm1::RestoreSettings(TMyRegistry& Reg)
{
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    Reg.OpenKey(kSettingsKey, true);

    // A port the list shows but the port object cannot take (a name that is
    // not COMn) must not cost the settings behind it: they would keep the
    // window's definition state and be saved so at the close. Its error is
    // told once the rest is restored, or before a later error that stops
    // the restore.
    std::exception_ptr portError;
    auto tellPortError = [&] {
        if (portError)
            Guarded([&] { std::rethrow_exception(std::exchange(portError, nullptr)); });
    };
    try {
        for (const ListSetting& s : kLists) {
            SelectPosition(this->*s.list, Reg.ReadIntegerDefault(s.name, s.defaultPosition));
            if (!s.change)
                PreferRememberedPort();
            if (s.change) {
                (this->*s.change)(this->*s.list);
            } else if (ComboPort->currentIndex() >= 0) {
                // The port the list shows is the port that opens.
                try {
                    ComboPortChange(ComboPort);
                } catch (...) {
                    portError = std::current_exception();
                }
            }
        }
        // Each box restored as checked runs its reaction; a refusal stops the
        // restore here, with the box already checked.
        for (const FlagSetting& s : kFlags)
            SetChecked(this->*s.box, Reg.ReadStringDefault(s.name, s.defaultText) == "true");

        RestorePaneCapacity();
        MemoIn->SetText(Reg.ReadStringDefault("MemoIn", ""));
        MemoOut->SetText(Reg.ReadStringDefault("MemoOut", ""));
        EditSend->setText(codepage::ToText(Reg.ReadStringDefault("EditSend", "")));
    } catch (...) {
        tellPortError();
        throw;
    }
    Reg.CloseKey();
    tellPortError();
}

void TForm1::SaveSettings()
{
    // All values reach the file in one rewrite: with full panes each write
    // of its own would write the whole file again.
    reg::TRegistryBatch batch;
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    Reg.OpenKey(kSettingsKey, true);

    for (const ListSetting& s : kLists)
        Reg.WriteInteger(s.name, (this->*s.list)->currentIndex());
    for (const FlagSetting& s : kFlags)
        Reg.WriteString(s.name, (this->*s.box)->isChecked() ? "true" : "false");
    // With "save memos" off the texts are written empty, so texts saved
    // earlier do not come back.
    const bool saveTexts = CheckSaveMemo->isChecked();
    Reg.WriteString("MemoIn", saveTexts ? MemoIn->Text() : std::string());
    Reg.WriteString("MemoOut", saveTexts ? MemoOut->Text() : std::string());
    Reg.WriteString("EditSend", saveTexts ? codepage::ToBytes(EditSend->text()) : std::string());
    Reg.CloseKey();

    // Written back so that a user finds the value to change.
    Reg.OpenKey(kPanesKey, true);
    Reg.WriteInteger(kCapacityName, static_cast<int32_t>(MemoIn->Capacity() >> 20));
    Reg.CloseKey();
    SavePortSettings();
    SaveCaptureSettings();
    SaveBusmonitorSettings();
    batch.Commit();
}

void TForm1::RestorePaneCapacity()
{
    // A missing, unreadable or out-of-range value gives the default; the
    // pane keeps its capacity within its own bounds.
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    int32_t mib = kDefaultCapacityMiB;
    if (Reg.OpenKey(kPanesKey, false))
        mib = Reg.ReadIntegerDefault(kCapacityName, kDefaultCapacityMiB);
    if (mib <= 0)
        mib = kDefaultCapacityMiB;
    for (TMemo* pane : {MemoIn, MemoOut})
        pane->SetCapacity(static_cast<uint64_t>(mib) << 20);
}

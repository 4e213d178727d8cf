// The port list as the machine changes under it, and the open port that
// waits for its device to come back: the list is filled again whenever the
// watch says devices came or went, the chosen entry stays chosen by its
// COM number (a device away while chosen stays listed, marked), and no
// change handler runs for that. An open port whose device goes away waits,
// when the box says so, and opens again with the same settings when the
// same device is back.

#include "Unit1.h"

#include "CodePage.h"
#include "MyRegistry.h"
#include "PortListWatch.h"
#include "SerialDevices.h"

#include <algorithm>
#include <cctype>

namespace {

const char* const kPortKey = "Software\\Brenlow\\Tarrowin\\Port";
const char* const kReconnectName = "Reconnect";
const char* const kChosenName = "Chosen";

constexpr int kPathRole = Qt::UserRole;
constexpr int kPresentRole = Qt::UserRole + 1;

// Case-insensitive comparison of 8-bit names, as a sorted list orders them.
bool LessNoCase(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

std::string PortText(int32_t port)
{
    return "COM" + std::to_string(port);
}

// Where the port object's device name leads: a path as it is; a port name
// through the list ("COM5" -> its by-id link or kernel name).
std::string DevicePathOf(std::string device)
{
    if (device.rfind("\\\\.\\", 0) == 0)
        device.erase(0, 4);
    if (device.empty() || device[0] == '/')
        return device;
    return serialdevices::PathForPort(device);
}

} // namespace

const char* const TForm1::kAbsentMark = " (fehlt)";

std::string TForm1::ChosenPortName() const
{
    if (ComboPort->currentIndex() < 0)
        return {};
    std::string text = codepage::ToBytes(ComboPort->currentText());
    const std::string mark = kAbsentMark;
    if (text.size() > mark.size() && text.compare(text.size() - mark.size(), mark.size(), mark) == 0)
        text.resize(text.size() - mark.size());
    return text;
}

void TForm1::FillPortList()
{
    const std::string chosen = ChosenPortName();
    const QString chosenPath = ComboPort->currentIndex() >= 0 ? ComboPort->currentData(kPathRole).toString() : QString();
    const QString chosenTip = ComboPort->currentIndex() >= 0 ? ComboPort->itemData(ComboPort->currentIndex(), Qt::ToolTipRole).toString() : QString();

    // Sorted by device path; each entry shows its port name and carries the
    // path and what is known of the device as its tool tip.
    std::vector<serialdevices::Entry> list = serialdevices::List();
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return LessNoCase(a.devicePath, b.devicePath);
    });
    bool chosenListed = false;
    for (const auto& entry : list)
        chosenListed = chosenListed || (!chosen.empty() && entry.portName == chosen);

    ComboPort->clear();
    int select = -1;
    auto add = [&](const std::string& port, const std::string& path, const QString& tip, bool present) {
        const bool isChosen = !chosen.empty() && port == chosen;
        ComboPort->addItem(codepage::ToText(port + (isChosen && !present ? kAbsentMark : "")));
        const int at = ComboPort->count() - 1;
        ComboPort->setItemData(at, tip, Qt::ToolTipRole);
        ComboPort->setItemData(at, codepage::ToText(path), kPathRole);
        ComboPort->setItemData(at, present, kPresentRole);
        if (isChosen)
            select = at;
    };
    bool absentAdded = false;
    for (const auto& entry : list) {
        // A chosen device that went away keeps its place among the paths.
        if (!chosenListed && !chosen.empty() && !absentAdded &&
            !LessNoCase(codepage::ToBytes(chosenPath), entry.devicePath)) {
            add(chosen, codepage::ToBytes(chosenPath), chosenTip, false);
            absentAdded = true;
        }
        std::string tip = entry.devicePath;
        if (!entry.description.empty())
            tip += "\n" + entry.description;
        add(entry.portName, entry.devicePath, codepage::ToText(tip), entry.present);
    }
    if (!chosenListed && !chosen.empty() && !absentAdded)
        add(chosen, codepage::ToBytes(chosenPath), chosenTip, false);
    // Filling a list selects nothing; the choice is kept on purpose, and
    // setting it runs no handler.
    ComboPort->setCurrentIndex(select);
}

void TForm1::PortListChanged()
{
    FillPortList();
    if (waiting_)
        TryReconnect(serialdevices::List());
}

void TForm1::RestorePortSettings()
{
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    bool reconnect = true;
    if (Reg.OpenKey(kPortKey, false)) {
        try {
            reconnect = Reg.ReadStringDefault(kReconnectName, "true") == "true";
        } catch (const rtl::Exception&) {
            // A value of another type: the default.
        }
    }
    CheckReconnect->setChecked(reconnect);
}

void TForm1::SavePortSettings()
{
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    Reg.OpenKey(kPortKey, true);
    Reg.WriteString(kReconnectName, CheckReconnect->isChecked() ? "true" : "false");
    Reg.WriteString(kChosenName, ChosenPortName());
}

void TForm1::PreferRememberedPort()
{
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    if (!Reg.OpenKey(kPortKey, false))
        return;
    std::string remembered;
    try {
        remembered = Reg.ReadStringDefault(kChosenName, "");
    } catch (const rtl::Exception&) {
        return;
    }
    if (remembered.empty() || remembered == ChosenPortName())
        return;
    for (int i = 0; i < ComboPort->count(); ++i) {
        if (codepage::ToBytes(ComboPort->itemText(i)) == remembered && ComboPort->itemData(i, kPresentRole).toBool()) {
            ComboPort->setCurrentIndex(i);
            return;
        }
    }
}

void TForm1::NotePortOpened()
{
    // Any open ends a wait: the port is what the user has now.
    EndWaiting();
    opened_ = OpenedDevice{};
    opened_.port = Com->PortNum();
    std::string path;
    try {
        path = DevicePathOf(Com->ExpandDeviceName());
    } catch (const rtl::Exception&) {
    }
    // Only a path can be watched; the loopback plug and a network port
    // cannot go away this way.
    if (path.empty() || path[0] != '/')
        return;
    opened_.path = path;
    for (const auto& entry : serialdevices::List())
        if (entry.devicePath == path)
            opened_.identity = entry.identity;
}

bool TForm1::ComDeviceGone(uint32_t)
{
    if (!CheckReconnect->isChecked() || opened_.path.empty())
        return false;
    waiting_ = true;
    waitToldOther_ = false;
    waitSawGone_ = false;
    identityLooks_ = 0;
    LogOut(PortText(opened_.port) + ": Ger\xe4t entfernt \x96 warte auf R\xfc" "ckkehr");
    // The port is closed; Close Port stays at hand to end the wait.
    CmdClose->setEnabled(true);
    PortListChanged();
    return true;
}

void TForm1::TryReconnect(const std::vector<serialdevices::Entry>& list)
{
    if (!waiting_ || Com->PortIsOpen())
        return;
    const serialdevices::Entry* found = nullptr;
    for (const auto& entry : list)
        if (entry.devicePath == opened_.path && entry.present)
            found = &entry;
    if (!found) {
        waitSawGone_ = true;
        return;
    }
    // A device that failed without leaving is opened again only once it
    // has been away: until then nothing says it works again.
    if (!waitSawGone_)
        return;
    if (!opened_.identity.empty() && found->identity != opened_.identity) {
        // Right after the node appears the kernel may still be binding the
        // driver, whose name is part of what tells the device: looked at
        // again a few times before it counts as another one.
        if (identityLooks_ < 5) {
            ++identityLooks_;
            QTimer::singleShot(300, this, [this] { Guarded([&] { PortListChanged(); }); });
            return;
        }
        // Another adapter under the same kernel name is not the user's.
        if (!std::exchange(waitToldOther_, true))
            LogOut(PortText(opened_.port) + ": ein anderes Ger\xe4t ist jetzt " + opened_.path +
                   " \x96 nicht ge\xf6" "ffnet, warte weiter");
        return;
    }
    const OpenedDevice device = opened_;
    try {
        try {
            Com->OpenPort();
        } catch (const rtl::Exception& e) {
            LogPortFailure(e.Message);
            throw;
        }
    } catch (...) {
        // Still waiting: the next change of the list tries again (udev may
        // not have given the node its group yet).
        waiting_ = true;
        opened_ = device;
        return;
    }
    CmdOpen->setEnabled(false);
    CmdClose->setEnabled(true);
    LogOut(PortText(device.port) + ": wieder verbunden");
}

void TForm1::EndWaiting()
{
    identityLooks_ = 0;
    waiting_ = false;
    waitSawGone_ = false;
    waitToldOther_ = false;
}

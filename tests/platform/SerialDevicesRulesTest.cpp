#include "ConfigFolder.h"
#include "Registry.h"
#include "SerialDevices.h"
#include "WholeFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using serialdevices::Entry;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

namespace {

const char* const kLoopbackDescription = "eingebauter Loopback-Stecker (simulierter Port mit R\xfc" "ckleitung)";

struct Tty {
    bool hardware = true;   // has a `device` link
    std::string type;       // contents of `type`; none when empty
    std::string driver;     // driver of the device itself
    std::string parentDriver;
    std::string product;    // `product` of the device's grandparent (a USB device)
    std::string interface;  // `interface` of the device itself (a USB interface)

    Tty& Virtual() { hardware = false; return *this; }
    Tty& Type(const std::string& t) { type = t; return *this; }
    Tty& Driver(const std::string& d) { driver = d; return *this; }
    Tty& ParentDriver(const std::string& d) { parentDriver = d; return *this; }
    Tty& Product(const std::string& p) { product = p; return *this; }
    Tty& Interface(const std::string& i) { interface = i; return *this; }
};

using Ports = std::vector<std::pair<std::string, std::string>>;

Ports PathsAndPorts(const std::vector<Entry>& list)
{
    Ports out;
    for (const auto& e : list)
        out.emplace_back(e.devicePath, e.portName);
    return out;
}

class SerialDevicesRules : public ConfigFolderTest {
protected:
    void TearDown() override
    {
        ConfigFolderTest::TearDown();
        EXPECT_TRUE(notices_.empty());
    }

    // Lays out a tty as sysfs shows it: /sys/class/tty/<name> links into
    // the device tree, where `device` points at the hardware.
    void AddTty(const std::string& name, const Tty& t = {})
    {
        const std::string usb = sys_ + "/devices/usb1/1-" + name;
        const std::string hw = usb + "/1-" + name + ":1.0/" + name;
        const std::string ttyDir = t.hardware ? hw + "/tty/" + name : sys_ + "/devices/virtual/tty/" + name;
        fs::create_directories(ttyDir);
        fs::create_directory_symlink(ttyDir, sys_ + "/class/tty/" + name);
        if (!t.type.empty())
            WriteWholeFile(ttyDir + "/type", t.type);
        if (!t.hardware)
            return;
        fs::create_directory_symlink(hw, ttyDir + "/device");
        if (!t.driver.empty()) {
            fs::create_directories(sys_ + "/bus/any/drivers/" + t.driver);
            fs::create_directory_symlink(sys_ + "/bus/any/drivers/" + t.driver, hw + "/driver");
        }
        if (!t.parentDriver.empty()) {
            fs::create_directories(sys_ + "/bus/any/drivers/" + t.parentDriver);
            fs::create_directory_symlink(sys_ + "/bus/any/drivers/" + t.parentDriver, fs::path(hw).parent_path() / "driver");
        }
        if (!t.product.empty())
            WriteWholeFile(usb + "/product", t.product + "\n");
        if (!t.interface.empty())
            WriteWholeFile(hw + "/interface", t.interface + "\n");
    }
    void Unplug(const std::string& name)
    {
        fs::remove(sys_ + "/class/tty/" + name);
        fs::remove_all(sys_ + "/devices/usb1/1-" + name);
    }
    static Ports Listed() { return PathsAndPorts(serialdevices::List()); }
    std::string Dev(const std::string& name) const { return dev_ + "/" + name; }
    void WriteRegistry(const std::string& body) { WriteWholeFile(regPath_, "REGEDIT4\n\n" + body); }
};

TEST_F(SerialDevicesRules, LoopbackPlugAloneGetsComOne)
{
    auto list = serialdevices::List();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].devicePath, "loopback");
    EXPECT_EQ(list[0].portName, "COM1");
}

TEST_F(SerialDevicesRules, NewDeviceGetsLowestNumberNotStoredNorUsedByTheUser)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n"
                  "\"/gone/a\"=\"COM1\"\n\"/gone/b\"=\"COM3\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n"
                  "\"/dev/pts/7\"=\"COM2\"\n");
    AddTty("ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{"/dev/pts/7", "COM2"}, {Dev("ttyUSB0"), "COM4"}, {"loopback", "COM5"}}));
}

TEST_F(SerialDevicesRules, TwoDigitNumbersCountAsTaken)
{
    std::string ports = "[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n";
    for (int n = 1; n <= 11; ++n)
        if (n != 10)
            ports += "\"/gone/" + std::to_string(n) + "\"=\"COM" + std::to_string(n) + "\"\n";
    WriteRegistry(ports + "\n[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n\"/dev/rfcomm0\"=\"com10\"\n");
    auto list = serialdevices::List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].devicePath, "loopback");
    EXPECT_EQ(list[1].portName, "COM12");
}

TEST_F(SerialDevicesRules, UserEntriesAreListedByPathNotByNumber)
{
    // Linux form of "\Device\Serial1 = COM2, \Device\Serial0 = COM5".
    reg::TRegistry r;
    r.SetRootKey(reg::HKEY::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(r.OpenKey("hardware\\devicemap\\serialcomm", false));
    r.WriteString("/dev/ttyS1", "COM2");
    r.WriteString("/dev/ttyS0", "COM5");

    auto list = serialdevices::List();
    EXPECT_EQ(PathsAndPorts(list), (Ports{{"/dev/ttyS0", "COM5"}, {"/dev/ttyS1", "COM2"}, {"loopback", "COM1"}}));
    std::vector<std::string> names;
    r.GetValueNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS1", "loopback"}));
    EXPECT_EQ(r.ReadString(names[0]), "COM5");
    EXPECT_EQ(r.ReadString(names[1]), "COM2");
    EXPECT_EQ(serialdevices::PathForPort("COM5"), "/dev/ttyS0");
}

TEST_F(SerialDevicesRules, UserEntryNamesADiscoveredDevice)
{
    AddTty("ttyUSB0", Tty().Driver("ftdi_sio"));
    WriteRegistry("[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n\"" + Dev("ttyUSB0") + "\"=\"COM9\"\n");
    auto list = serialdevices::List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].devicePath, Dev("ttyUSB0"));
    EXPECT_EQ(list[0].portName, "COM9");
    EXPECT_EQ(list[0].description, "ttyUSB0 (ftdi_sio)");
    EXPECT_EQ(list[1].portName, "COM1");
    EXPECT_EQ(ReadWholeFile(regPath_).find("\"" + Dev("ttyUSB0") + "\"=\"COM1\""), std::string::npos)
        << "no second number handed out for a device the user named";
}

TEST_F(SerialDevicesRules, PathForPortComparesWholeNamesIgnoringCase)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n"
                  "\"/dev/a\"=\"COM1\"\n\"/dev/b\"=\"COM10\"\n\"/dev/c\"=\"COM12\"\n");
    EXPECT_EQ(serialdevices::PathForPort("COM10"), "/dev/b");
    EXPECT_EQ(serialdevices::PathForPort("com10"), "/dev/b");
    EXPECT_EQ(serialdevices::PathForPort("COM1"), "/dev/a");
    EXPECT_EQ(serialdevices::PathForPort("COM12"), "/dev/c");
    EXPECT_EQ(serialdevices::PathForPort("COM2"), "loopback");
    EXPECT_EQ(serialdevices::PathForPort("COM100"), "");
    EXPECT_EQ(serialdevices::PathForPort("COM"), "");
    EXPECT_EQ(serialdevices::PathForPort(""), "");
}

TEST_F(SerialDevicesRules, DescriptionNamesDriverAndProduct)
{
    AddTty("ttyUSB0", Tty().Driver("ftdi_sio").Product("FT232R USB UART"));
    // Serial-core ports: the port and controller layers are skipped in
    // favour of the UART's own driver.
    AddTty("ttyS0", Tty().Type("4").Driver("port").ParentDriver("serial8250"));
    AddTty("ttyACM0", Tty().Driver("cdc_acm").Interface("CDC Abstract Control Model"));
    auto list = serialdevices::List();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].description, "ttyACM0 (cdc_acm, CDC Abstract Control Model)");
    EXPECT_EQ(list[1].description, "ttyS0 (serial8250)");
    EXPECT_EQ(list[2].description, "ttyUSB0 (ftdi_sio, FT232R USB UART)");
}

} // namespace

// Serial device discovery: which ttys count as ports, and COM numbers that
// stay with their device from run to run.
#include "ConfigFolder.h"
#include "Registry.h"
#include "SerialDevices.h"
#include "WholeFiles.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using serialdevices::Entry;
using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

namespace {

// How a tty shows in sysfs: hardware (with a `device` link) or virtual, and
// the `type` an 8250 slot reports (none when empty).
struct Tty {
    bool hardware = true;
    std::string type;

    Tty& Virtual() { hardware = false; return *this; }
    Tty& Type(const std::string& t) { type = t; return *this; }
};

using Ports = std::vector<std::pair<std::string, std::string>>;

Ports PathsAndPorts(const std::vector<Entry>& list)
{
    Ports out;
    for (const auto& e : list)
        out.emplace_back(e.devicePath, e.portName);
    return out;
}

class SerialDevicesTest : public ConfigFolderTest {
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
        if (t.hardware)
            fs::create_directory_symlink(hw, ttyDir + "/device");
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

TEST_F(SerialDevicesTest, FindsRealPortsSkipsPlaceholdersAndAddsTheLoopbackPlug)
{
    AddTty("ttyS0", Tty().Type("4\n"));
    AddTty("ttyS1", Tty().Type("0\n")); // 8250 slot without a UART
    AddTty("ttyS2", Tty().Type("0"));
    AddTty("tty0", Tty().Virtual());
    AddTty("ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyS0"), "COM1"}, {Dev("ttyUSB0"), "COM2"}, {"loopback", "COM3"}}));
}

TEST_F(SerialDevicesTest, NumbersAreStoredAndSurviveUnplugging)
{
    AddTty("ttyUSB0");
    AddTty("ttyUSB1");
    serialdevices::List();
    EXPECT_EQ(ReadWholeFile(regPath_),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n\"" + Dev("ttyUSB0") +
                  "\"=\"COM1\"\n\"" + Dev("ttyUSB1") + "\"=\"COM2\"\n\"loopback\"=\"COM3\"\n");

    Unplug("ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyUSB1"), "COM2"}, {"loopback", "COM3"}}));
    AddTty("ttyACM0");
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyACM0"), "COM4"}, {Dev("ttyUSB1"), "COM2"}, {"loopback", "COM3"}}));
    AddTty("ttyUSB0");
    EXPECT_EQ(Listed(),
              (Ports{{Dev("ttyACM0"), "COM4"}, {Dev("ttyUSB0"), "COM1"}, {Dev("ttyUSB1"), "COM2"}, {"loopback", "COM3"}}));
}

TEST_F(SerialDevicesTest, UnwritableConfigurationStillGivesAList)
{
    WriteWholeFile(root_ + "/blocker", "x");
    reg::SetFilePath(root_ + "/blocker/Tarrowin.reg");
    AddTty("ttyUSB0");
    std::vector<Entry> first, second;
    ASSERT_NO_THROW(first = serialdevices::List());
    ASSERT_NO_THROW(second = serialdevices::List());
    EXPECT_EQ(PathsAndPorts(first), (Ports{{Dev("ttyUSB0"), "COM1"}, {"loopback", "COM2"}}));
    EXPECT_EQ(PathsAndPorts(second), PathsAndPorts(first));
    EXPECT_EQ(serialdevices::PathForPort("COM2"), "loopback");
}

TEST_F(SerialDevicesTest, DeviceNodesAreNeverOpened)
{
    AddTty("ttyS0", Tty().Type("4"));
    AddTty("ttyUSB0");
    WriteWholeFile(Dev("ttyS0"), "");
    ASSERT_EQ(mkfifo(Dev("ttyUSB0").c_str(), 0600), 0);
    WriteRegistry("[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n\"" + Dev("ttyS0") + "\"=\"COM7\"\n");

    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_GE(inotify_add_watch(fd, dev_.c_str(), IN_OPEN | IN_ACCESS), 0);
    auto list = serialdevices::List();
    EXPECT_EQ(list.size(), 3u);
    char buf[4096];
    EXPECT_LT(read(fd, buf, sizeof buf), 0) << "a device node was opened during discovery";
    close(fd);
}

} // namespace

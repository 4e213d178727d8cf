// Serial device discovery: which ttys count as ports, and COM numbers that
// stay with their device from run to run.
#include "CommApi.h"
#include "ConfigFolder.h"
#include "Pty.h"
#include "Registry.h"
#include "Rtl.h"
#include "SerialDevices.h"
#include "WholeFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <sys/file.h>
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

// How a tty shows in sysfs: hardware (with a `device` link) or virtual, the
// `type` an 8250 slot reports, and the drivers and names its description is
// made from.
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
    // udev's link for an adapter: /dev/serial/by-id/<id> -> ../../<tty>.
    // Plugging the adapter in again under another name moves the link.
    void LinkById(const std::string& id, const std::string& tty)
    {
        fs::create_directories(dev_ + "/serial/by-id");
        if (!fs::exists(Dev(tty)))
            WriteWholeFile(Dev(tty), ""); // stands in for the node, which is never opened
        fs::remove(ById(id));
        fs::create_symlink("../../" + tty, ById(id));
    }
    static Ports Listed() { return PathsAndPorts(serialdevices::List()); }
    std::string Dev(const std::string& name) const { return dev_ + "/" + name; }
    std::string ById(const std::string& id) const { return dev_ + "/serial/by-id/" + id; }
    std::string P(const std::string& name) const { return root_ + "/p/" + name; }
    void WriteRegistry(const std::string& body) { WriteWholeFile(regPath_, "REGEDIT4\n\n" + body); }
    static std::string UserKey(const std::string& lines)
    {
        return "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n" + lines;
    }
    static std::string Line(const std::string& path, const std::string& port)
    {
        return "\"" + path + "\"=\"" + port + "\"\n";
    }
    static std::string DescriptionOf(const std::vector<Entry>& list, const std::string& path)
    {
        for (const auto& e : list)
            if (e.devicePath == path)
                return e.description;
        return "(not listed)";
    }
};

// What the window does with the list: every name must read as a port number,
// and opening that number must reach the device the entry shows.
void ExpectUsableByTheWindow(const std::vector<Entry>& list)
{
    std::set<int> numbers;
    for (const auto& e : list) {
        SCOPED_TRACE(e.devicePath + " " + e.portName);
        ASSERT_GE(e.portName.size(), 4u);
        EXPECT_EQ(e.portName.substr(0, 3), "COM");
        int n = 0;
        ASSERT_NO_THROW(n = rtl::StrToInt(e.portName.substr(3)));
        EXPECT_GE(n, 1);
        EXPECT_TRUE(numbers.insert(n).second) << "listed twice";
        EXPECT_EQ(serialdevices::PathForPort(e.portName), e.devicePath);
    }
}

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
    LinkById("usb-FTDI_FT232R-if00-port0", "ttyUSB0"); // resolving it must not open the fifo
    WriteRegistry("[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n\"" + Dev("ttyS0") + "\"=\"COM7\"\n");

    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_GE(inotify_add_watch(fd, dev_.c_str(), IN_OPEN | IN_ACCESS), 0);
    auto list = serialdevices::List();
    EXPECT_EQ(list.size(), 3u);
    char buf[4096];
    EXPECT_LT(read(fd, buf, sizeof buf), 0) << "a device node was opened during discovery";
    close(fd);
    EXPECT_EQ(DescriptionOf(list, ById("usb-FTDI_FT232R-if00-port0")), "ttyUSB0");
}

// A name the window cannot read as a number ("ttyACM0") would stop its
// start-up; the device gets a number of its own instead, kept like a found
// device's, and the user's entry stays as written.
TEST_F(SerialDevicesTest, UserEntryWithoutComNameGetsAFreeNumberThatStays)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    AddTty("ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyUSB0"), "COM1"}, {"loopback", "COM2"}}));

    // As socat makes it: a link of the user's choosing to a pty.
    fs::create_directories(root_ + "/p");
    fs::create_symlink(pty.SlavePath(), P("ttyV0"));
    const std::string before = ReadWholeFile(regPath_);
    const std::string userKey = UserKey(Line(P("ttyV0"), "ttyV0"));
    WriteWholeFile(regPath_, before + "\n" + userKey);
    auto list = serialdevices::List();
    EXPECT_EQ(PathsAndPorts(list), (Ports{{Dev("ttyUSB0"), "COM1"}, {P("ttyV0"), "COM3"}, {"loopback", "COM2"}}));
    ExpectUsableByTheWindow(list);
    EXPECT_EQ(DescriptionOf(list, P("ttyV0")), "vom Benutzer als \"ttyV0\" eingetragen");
    EXPECT_EQ(ReadWholeFile(regPath_), before + Line(P("ttyV0"), "COM3") + "\n" + userKey);

    // The number stays when a device that sorts first turns up.
    AddTty("ttyACM0");
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyACM0"), "COM4"},
                               {Dev("ttyUSB0"), "COM1"},
                               {P("ttyV0"), "COM3"},
                               {"loopback", "COM2"}}));

    // The port object reaches the pty by that number (and holds it).
    win::HANDLE h = win::CreateFile("COM3");
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE) << win::FormatMessage(win::GetLastError());
    EXPECT_NE(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0);
    win::CloseHandle(h);
}

// A COM number is 1 or more and fits the window's integer; case and leading
// zeros do not matter. Any other name is treated like "ttyACM0" above.
TEST_F(SerialDevicesTest, ComNamesAreReadByTheirNumber)
{
    WriteRegistry(UserKey(Line(P("a"), "com4") + Line(P("b"), "COM007") + Line(P("c"), "COM0") +
                          Line(P("d"), "COM99999999999") + Line(P("e"), "COM2147483647") + Line(P("f"), "COM 5") +
                          Line(P("g"), "") + "@=\"COM9\"\n"));
    auto list = serialdevices::List();
    EXPECT_EQ(PathsAndPorts(list), (Ports{{P("a"), "COM4"},
                                          {P("b"), "COM7"},
                                          {P("c"), "COM2"},
                                          {P("d"), "COM3"},
                                          {P("e"), "COM2147483647"},
                                          {P("f"), "COM5"},
                                          {"loopback", "COM1"}}));
    ExpectUsableByTheWindow(list);
    EXPECT_EQ(serialdevices::PathForPort("com7"), P("b"));
    EXPECT_EQ(serialdevices::PathForPort("COM07"), P("b"));
    EXPECT_EQ(serialdevices::PathForPort("COM0"), "");
    EXPECT_EQ(serialdevices::PathForPort("COM"), "");
    EXPECT_EQ(DescriptionOf(list, P("a")), "vom Benutzer eingetragen, zurzeit nicht vorhanden");
    EXPECT_EQ(DescriptionOf(list, P("b")), "vom Benutzer als \"COM007\" eingetragen, zurzeit nicht vorhanden");
}

// A COM number names one device: a user's entry beats a number the program
// handed out, the first of two user entries beats the second. The loser is
// lent a free number, nothing is stored for it, and once the clash is gone
// all is as before.
TEST_F(SerialDevicesTest, AClashIsSettledWithoutRewritingTheFile)
{
    AddTty("ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyUSB0"), "COM1"}, {"loopback", "COM2"}}));
    const std::string before = ReadWholeFile(regPath_);
    const std::string users = UserKey(Line(P("z"), "COM1") + Line(P("a"), "com1") + Line(P("b"), "ttyB"));
    WriteWholeFile(regPath_, before + "\n" + users);
    for (int run = 0; run < 2; ++run) {
        auto list = serialdevices::List();
        EXPECT_EQ(PathsAndPorts(list), (Ports{{Dev("ttyUSB0"), "COM3"},
                                              {P("a"), "COM4"},
                                              {P("b"), "COM5"},
                                              {P("z"), "COM1"},
                                              {"loopback", "COM2"}}));
        ExpectUsableByTheWindow(list);
        EXPECT_EQ(DescriptionOf(list, Dev("ttyUSB0")), "ttyUSB0; COM1 ist schon vergeben");
    }
    // Only the number handed out for good (to "ttyB") is stored.
    EXPECT_EQ(ReadWholeFile(regPath_), before + Line(P("b"), "COM5") + "\n" + users);

    WriteWholeFile(regPath_, before);
    EXPECT_EQ(Listed(), (Ports{{Dev("ttyUSB0"), "COM1"}, {"loopback", "COM2"}}));
    EXPECT_EQ(ReadWholeFile(regPath_), before);
}

// COM numbers belong to the adapter, not to the kernel name it happens to
// get. Numbers stored by kernel name before the adapters had links move to
// the links, so the kernel name no longer hands them to the next adapter.
TEST_F(SerialDevicesTest, NumbersFollowTheAdapterThroughItsByIdLink)
{
    const std::string portsKey = "[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n";
    WriteRegistry(portsKey + Line(Dev("ttyUSB0"), "COM3") + Line(Dev("ttyUSB1"), "COM4"));
    AddTty("ttyUSB0");
    AddTty("ttyUSB1");
    LinkById("usb-A", "ttyUSB0");
    LinkById("usb-B", "ttyUSB1");
    const Ports expected{{ById("usb-A"), "COM3"}, {ById("usb-B"), "COM4"}, {"loopback", "COM1"}};
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(ReadWholeFile(regPath_), "REGEDIT4\n\n" + portsKey + Line(ById("usb-A"), "COM3") +
                                           Line(ById("usb-B"), "COM4") + Line("loopback", "COM1"));

    // Plugged in the other order.
    LinkById("usb-A", "ttyUSB1");
    LinkById("usb-B", "ttyUSB0");
    auto list = serialdevices::List();
    EXPECT_EQ(PathsAndPorts(list), expected);
    ExpectUsableByTheWindow(list);
    EXPECT_EQ(fs::canonical(serialdevices::PathForPort("COM3")), fs::canonical(Dev("ttyUSB1")));
    EXPECT_EQ(DescriptionOf(list, ById("usb-A")), "ttyUSB1");

    // B goes, a new adapter C comes in on B's first kernel name.
    fs::remove(ById("usb-B"));
    LinkById("usb-C", "ttyUSB1");
    LinkById("usb-A", "ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{ById("usb-A"), "COM3"}, {ById("usb-C"), "COM2"}, {"loopback", "COM1"}}));

    // A user entry naming the link is that adapter, not a second entry.
    WriteWholeFile(regPath_, ReadWholeFile(regPath_) + "\n" + UserKey(Line(ById("usb-C"), "COM7")));
    EXPECT_EQ(Listed(), (Ports{{ById("usb-A"), "COM3"}, {ById("usb-C"), "COM7"}, {"loopback", "COM1"}}));
}

// Links udev would never make, or a folder that cannot be read, leave the
// devices under their kernel names.
TEST_F(SerialDevicesTest, BrokenByIdFoldersAreSkipped)
{
    AddTty("ttyUSB0");
    WriteWholeFile(Dev("ttyUSB0"), "");
    WriteWholeFile(dev_ + "/serial/by-id", "not a folder");
    const Ports expected{{Dev("ttyUSB0"), "COM1"}, {"loopback", "COM2"}};
    EXPECT_EQ(Listed(), expected);

    fs::remove(dev_ + "/serial/by-id");
    LinkById("to-a-plain-file", "null");
    LinkById("unplugged", "ttyUSB9");
    fs::create_symlink("../../ttyUSB1", ById("dangling"));
    fs::create_symlink("loop", ById("loop"));
    WriteWholeFile(ById("not-a-link"), "");
    EXPECT_EQ(Listed(), expected);
}

TEST_F(SerialDevicesTest, LoopbackPlugAloneGetsComOne)
{
    auto list = serialdevices::List();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].devicePath, "loopback");
    EXPECT_EQ(list[0].portName, "COM1");
}

TEST_F(SerialDevicesTest, NewDeviceGetsLowestNumberNotStoredNorUsedByTheUser)
{
    WriteRegistry("[HKEY_LOCAL_MACHINE\\Software\\Brenlow\\Tarrowin\\Ports]\n"
                  "\"/gone/a\"=\"COM1\"\n\"/gone/b\"=\"COM3\"\n\n"
                  "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\n"
                  "\"/dev/pts/7\"=\"COM2\"\n");
    AddTty("ttyUSB0");
    EXPECT_EQ(Listed(), (Ports{{"/dev/pts/7", "COM2"}, {Dev("ttyUSB0"), "COM4"}, {"loopback", "COM5"}}));
}

TEST_F(SerialDevicesTest, TwoDigitNumbersCountAsTaken)
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

TEST_F(SerialDevicesTest, UserEntriesAreListedByPathNotByNumber)
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

TEST_F(SerialDevicesTest, UserEntryNamesADiscoveredDevice)
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

TEST_F(SerialDevicesTest, PathForPortComparesWholeNamesIgnoringCase)
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

TEST_F(SerialDevicesTest, DescriptionNamesDriverAndProduct)
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

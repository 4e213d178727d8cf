// The program on the kernel's serial drivers, inside the driver-test guest:
// a "SEND" from tarrowin-link carried out on each device and its echo
// announced, the FT232 pulled out while open and plugged in again (with the
// box "automatisch wieder verbinden" unticked and ticked), and a second
// adapter plugged in and pulled out while the program runs.

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "SerialDevices.h"
#include "TerminalFixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

using namespace testsupport;

namespace {

bool InGuest() { return std::getenv("TARROWIN_IN_DRIVER_VM") != nullptr; }

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

ChildProcess::Options Command(std::vector<std::string> argv, const std::vector<std::string>& env)
{
    ChildProcess::Options options;
    options.argv = std::move(argv);
    options.env = env;
    return options;
}

// A line on the console, which the host side reads.
void TellHost(const char* request)
{
    std::printf("\n%s\n", request);
    std::fflush(stdout);
}

// Rows of /proc/net/tcp for the Interlink's port 666 (hex 029A) in a state
// ("0A" listening, "01" established).
int Rows(const char* state)
{
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    int rows = 0;
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st;
        fields >> slot >> local >> remote >> st;
        if (st == state && (local.ends_with(":029A") || remote.ends_with(":029A")))
            ++rows;
    }
    return rows;
}
bool InterlinkListening() { return Rows("0A") > 0; }
int Connections() { return Rows("01"); }

int PortListPosition(const std::string& path)
{
    std::vector<serialdevices::Entry> list = serialdevices::List();
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].devicePath == path)
            return int(i);
    return -1;
}

std::string PortName(const std::string& path)
{
    for (const auto& e : serialdevices::List())
        if (e.devicePath == path)
            return e.portName;
    return {};
}

class DriverProgram : public TerminalFixture, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        if (!InGuest())
            GTEST_SKIP() << "runs in the driver-test guest (make test-drivers)";
        TerminalFixture::SetUp();
        // The guest's own devices, not a fixture's.
        serialdevices::SetDiscoveryRoots("/sys", "/dev");
    }
};

// First-start settings but for the port, which is the device under test:
// automatic TXEN on DTR, CR LF after each send.
TEST_P(DriverProgram, ASendFromTheInterlinkIsTransmittedAndItsEchoAnnounced)
{
    const std::string config = dir.Path() + "/config";
    std::filesystem::create_directories(config + "/Brenlow");
    const std::string settings = config + "/Brenlow/Tarrowin.reg";
    reg::SetFilePath(settings);
    int position = PortListPosition(GetParam());
    ASSERT_GE(position, 0) << GetParam() << " is not in the port list";
    {
        std::ofstream(settings, std::ios::app) << "\r\n[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\r\n"
                                               << "\"PortNumIndex\"=dword:0000000" << position << "\r\n\r\n";
    }
    const auto env = EnvironmentWith({"XDG_CONFIG_HOME=" + config, "QT_QPA_PLATFORM=offscreen"});
    std::string error;
    ChildProcess program;
    ASSERT_TRUE(program.Start(Command({TARROWIN_BINARY}, env), error)) << error;

    // The program listens for the Interlink once its window is shown.
    for (int i = 0; i < 600 && !InterlinkListening() && program.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(InterlinkListening()) << program.Describe();
    ChildProcess monitor;
    ASSERT_TRUE(monitor.Start(Command({TARROWIN_LINK_BINARY, "monitor"}, env), error)) << error;
    // Connected once the server has greeted it: then it has a peer.
    for (int i = 0; i < 200 && Connections() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    ChildProcess send;
    ASSERT_TRUE(send.Start(Command({TARROWIN_LINK_BINARY, "send", "driver test #255#0"}, env), error)) << error;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto seen = [&] {
        monitor.Drain();
        return monitor.Out().find("SENT") != std::string::npos &&
               monitor.Out().find("RCVD") != std::string::npos &&
               monitor.Out().find("driver test <255><0>") != monitor.Out().rfind("driver test <255><0>");
    };
    while (!seen() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(seen()) << monitor.Describe() << program.Describe();

    program.Signal(SIGTERM);
    for (int i = 0; i < 100 && program.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(program.ExitCode(), 0) << program.Describe();
    program.Drain();
    EXPECT_EQ(program.Err().find("Ausnahmefehler"), std::string::npos) << program.Err();
}

INSTANTIATE_TEST_SUITE_P(Devices, DriverProgram, ::testing::Values("/dev/ttyS1", "/dev/ttyUSB0"),
                         [](const auto& info) { return info.param == "/dev/ttyS1" ? "Uart16550" : "Ft232"; });

// Run last: the adapter leaves and comes back.
class DriverUnplug : public DriverProgram {};

TEST_P(DriverUnplug, APulledAdapterIsReportedOnceLeftClosedAndComesBackUnderItsNumber)
{
    const std::string usb = GetParam();
    const std::string before = PortName(usb);
    ASSERT_FALSE(before.empty());
    TForm1& f = Form();
    f.CheckReconnect->setChecked(false);
    f.Com->SetDeviceName(usb);
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen()) << (boxes.empty() ? "" : boxes[0]);

    TellHost("@@UNPLUG");
    ASSERT_TRUE(PumpUntil([&] { return !f.Com->PortIsOpen(); }, 20000)) << "the port stayed open";
    PumpFor(500);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Es trat ein Ausnahmefehler auf:\r\nRead error (", 0), 0u) << boxes[0];
    EXPECT_TRUE(f.CmdOpen->isEnabled());
    EXPECT_FALSE(f.CmdClose->isEnabled());

    TellHost("@@REPLUG");
    ASSERT_TRUE(PumpUntil([&] { return Exists(usb); }, 30000)) << "the adapter did not come back";
    EXPECT_EQ(PortName(usb), before);
    f.CmdOpen->click();
    EXPECT_TRUE(f.Com->PortIsOpen()) << (boxes.size() > 1 ? boxes[1] : "");
    f.CmdClose->click();
}

// Written on a second handle, the bytes go out and the far end's echo
// comes back to the program.
bool WriteFarEnd(int fd, const std::string& bytes)
{
    return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

int ModemLines(int fd)
{
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -1;
}

// Ticked (a first start's choice): the pulled adapter is waited for, and
// when QEMU plugs it in again the port is open within 2 s of its node
// appearing, at the rate it had, with TXEN on receive (DTR low) throughout,
// and bytes cross both ways.
TEST_P(DriverUnplug, APulledAdapterIsWaitedForAndOpensAgainWithItsSettings)
{
    const std::string usb = GetParam();
    TForm1& f = Form();
    ASSERT_TRUE(f.CheckReconnect->isChecked());
    f.SetChecked(f.CheckSwitchTXENOnTXEmpty, false);
    f.SetChecked(f.CheckInvTXEN, false);
    f.SetChecked(f.CheckTXEN, false);
    f.Com->SetDeviceName(usb);
    f.Com->SetFlowControl(fcNone);
    f.Com->SetDTRControl(dtrDisable);
    f.Com->SetBaudrate(br19200);
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen()) << (boxes.empty() ? "" : boxes[0]);

    TellHost("@@UNPLUG");
    ASSERT_TRUE(PumpUntil([&] { return f.WaitingForDevice(); }, 20000)) << f.MemoOut->Text();
    EXPECT_TRUE(boxes.empty()) << boxes[0];
    EXPECT_FALSE(f.Com->PortIsOpen());
    // QEMU takes the device away in steps; its id is free once the node
    // has gone and the guest has let go.
    ASSERT_TRUE(PumpUntil([&] { return !Exists(usb); }, 20000));
    PumpFor(500);

    TellHost("@@REPLUG");
    ASSERT_TRUE(PumpUntil([&] { return Exists(usb); }, 30000)) << "the adapter did not come back";
    const auto appeared = std::chrono::steady_clock::now();
    // The watching handle is opened now, before the program opens the port
    // again: this kernel raises DTR and RTS at every open of a tty not at
    // B0, a second non-blocking one included, so a watch opened later
    // would itself key the transceiver. The program's open that follows
    // must bring DTR down and keep it there.
    int watch = open(usb.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_FALSE(f.Com->PortIsOpen()) << "opened before the watch: the test cannot see DTR without raising it";
    ASSERT_TRUE(PumpUntil([&] { return f.Com->PortIsOpen(); }, 2000)) << f.MemoOut->Text();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - appeared).count();
    std::printf("%s: open again %.0f ms after its node appeared\n", usb.c_str(), ms);
    EXPECT_FALSE(f.WaitingForDevice());
    EXPECT_TRUE(f.CmdClose->isEnabled());

    // The watch changes no line from here on; it samples DTR while bytes
    // cross.
    termios tio{};
    ASSERT_EQ(tcgetattr(watch, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    std::atomic<bool> going{true};
    std::atomic<int> samples{0}, high{0};
    std::thread watcher([&] {
        while (going) {
            if (ModemLines(watch) & TIOCM_DTR)
                ++high;
            ++samples;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // Receiving only: TXEN stays on receive, DTR low.
    ASSERT_TRUE(WriteFarEnd(watch, "from the bus"));
    EXPECT_TRUE(PumpUntil([&] { return f.MemoIn->Text().find("from the bus") != std::string::npos; }, 5000))
        << f.MemoIn->Text();
    going = false;
    watcher.join();
    EXPECT_GT(samples, 10);
    EXPECT_EQ(high, 0);
    // And a send of the program's own crosses and comes back.
    f.EditSend->setText(QStringLiteral("back again"));
    f.CmdSend->click();
    EXPECT_TRUE(PumpUntil([&] { return f.MemoIn->Text().find("back again") != std::string::npos; }, 5000))
        << f.MemoIn->Text();
    close(watch);
    f.CmdClose->click();
}

// A second adapter plugged in while the program runs is listed with a COM
// number of its own without a restart, opens and carries bytes; pulled out,
// it leaves the list.
TEST_P(DriverUnplug, ASecondAdapterAppearsInTheListOpensAndLeavesIt)
{
    TForm1& f = Form();
    const int before = f.ComboPort->count();
    TellHost("@@PLUG2");
    std::string added;
    auto listedNew = [&] {
        for (const auto& e : serialdevices::List())
            if (e.devicePath.rfind("/dev/ttyUSB", 0) == 0 && e.devicePath != GetParam())
                added = e.portName;
        return !added.empty() && f.ComboPort->findText(QString::fromStdString(added)) >= 0;
    };
    ASSERT_TRUE(PumpUntil(listedNew, 30000)) << "no second adapter in the list";
    EXPECT_EQ(f.ComboPort->count(), before + 1);
    const int at = f.ComboPort->findText(QString::fromStdString(added));
    f.ComboPort->setCurrentIndex(at);
    emit f.ComboPort->activated(at);
    f.Com->SetDeviceName("COM%d");
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen()) << (boxes.empty() ? "" : boxes[0]);
    f.EditSend->setText(QStringLiteral("second adapter"));
    f.CmdSend->click();
    EXPECT_TRUE(PumpUntil([&] { return f.MemoIn->Text().find("second adapter") != std::string::npos; }, 5000))
        << f.MemoIn->Text();
    f.CmdClose->click();
    // Chosen no more, it may leave the list.
    f.ComboPort->setCurrentIndex(0);
    emit f.ComboPort->activated(0);

    TellHost("@@UNPLUG2");
    EXPECT_TRUE(PumpUntil([&] { return f.ComboPort->findText(QString::fromStdString(added)) < 0; }, 20000));
    EXPECT_EQ(f.ComboPort->count(), before);
}

INSTANTIATE_TEST_SUITE_P(Devices, DriverUnplug, ::testing::Values("/dev/ttyUSB0"),
                         [](const auto&) { return "Ft232"; });

} // namespace
